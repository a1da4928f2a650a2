// Scraping a realistic quote page, and one forced refresh cycle over ten stocks against the
// bundled quote server on loopback.
//   quote_bench [--benchmark_filter=...]
#include "quote/QuotePages.h"
#include "quote/fQuoteDef.h"
#include "server/QuotePage.h"
#include "ui/core/Application.h"
#include "ui/core/DateTime.h"

#include <QElapsedTimer>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

#ifdef QB_HAVE_SERVER_PROCESS
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#endif

namespace {

// About 30 KB: a page header, a long table of other rows and scripts, then the quote row.
std::string RealisticPage() {
    quotetest::PageQuote q;
    std::string filler;
    while (filler.size() < 24000)
        filler += "<tr><td class=\"menu\"><a href=\"/q/ts?s=2317\">" + ui::Utf8ToBig5("走勢圖") + "</a></td><td>" +
                  ui::Utf8ToBig5("成交明細") + "</td><td>&nbsp;</td></tr>\r\n";
    std::string page = quotetest::QuotePage(q);
    std::size_t row = page.find("<tr>\r\n<td width");
    page.insert(row, filler);
    page += std::string(4000, ' ') + "\r\n<script>var x = 1;</script>\r\n";
    return page;
}

// The page the bundled quote server serves for a traded stock (about 2.6 KB).
std::string ServerPage() {
    server::Listing stock{"2330", ui::Utf8ToBig5("台積電"), 107000, false};
    server::Quote quote;
    quote.traded = true;
    quote.tradeSecond = 5465;
    quote.last = quote.ask = 108500;
    quote.bid = 108000;
    quote.open = 107500;
    quote.high = 109000;
    quote.low = 107000;
    quote.volume = 23456;
    quote.prevClose = 107000;
    quote.limitUp = 117500;
    quote.limitDown = 96300;
    return server::QuotePage(stock, quote, 9 * 3600);
}

// Argument 0: the quote server's own page; 1: a page padded to about 30 KB.
std::string Page(const benchmark::State& state) { return state.range(0) == 0 ? ServerPage() : RealisticPage(); }

void BM_ScrapeQuotePage(benchmark::State& state) {
    const std::string page = Page(state);
    float ref = 0;
    std::vector<std::string> fields;
    for (auto _ : state) {
        bool ok = ScrapeQuotePage(page, "2330", ref, fields);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
    state.counters["page_bytes"] = static_cast<double>(page.size());
    if (!ScrapeQuotePage(page, "2330", ref, fields)) state.SkipWithError("the page holds no quote");
}
BENCHMARK(BM_ScrapeQuotePage)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The floor for the scrape: one memmem pass over the same page for the stock's anchor.
void BM_MemmemPass(benchmark::State& state) {
    const std::string page = Page(state);
    const std::string anchor = "href=\"/q/bc?s=2330\">2330";
    for (auto _ : state) {
        const void* hit = ::memmem(page.data(), page.size(), anchor.data(), anchor.size());
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_MemmemPass)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

#ifdef QB_HAVE_SERVER_PROCESS
// One forced cycle over ten stocks. The cycle pauses 50 ms after every stock by design; the
// figure reported as "beyond_pauses_ms" is the time the ten downloads and scrapes take on top.
void BM_ForcedCycleTenStocks(benchmark::State& state) {
    testsupport::ServerProcess server;
    if (!server.Start({"--seed", "7", "--always-open"})) {
        state.SkipWithError("quote-server did not start");
        return;
    }
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    testsupport::TempDir dir;
    {
        std::ofstream f(dir.file("STOCKLIST.TXT"), std::ios::binary);
        f << "2330\r\n2317\r\n2454\r\n2412\r\n2882\r\n2881\r\n1301\r\n2002\r\n2303\r\n0050\r\n";
    }
    testsupport::WorkingDir cwd(dir.path());
    // Inside the trading window, so every forced cycle fetches every stock.
    IsWeekend = false;
    auto oldClock = ui::SetClock([] { return ui::EncodeDateTime(2026, 12, 8, 10, 0, 0); });
    TStockObjList list;
    list.Suspend(true);
    int updates = 0;
    list.OnUpdate = [&](TStockObjList*, int, TStockObj*) { ++updates; };
    double beyond = 0;
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        list.Refresh(true);
        beyond += t.nsecsElapsed() / 1e6 - 10 * TStockObjList::PauseAfterStockMs;
    }
    state.counters["beyond_pauses_ms"] = beyond / static_cast<double>(state.iterations());
    state.counters["updates"] = updates;
    ui::SetClock(oldClock);
}
BENCHMARK(BM_ForcedCycleTenStocks)->Unit(benchmark::kMillisecond)->Iterations(10);

// One stock's download and scrape from the quote server: ten of these are the cycle's work.
void BM_FetchOneStock(benchmark::State& state) {
    testsupport::ServerProcess server;
    if (!server.Start({"--seed", "7", "--always-open"})) {
        state.SkipWithError("quote-server did not start");
        return;
    }
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    TStockObj stock("2330");
    float ref = 0;
    std::vector<std::string> fields;
    for (auto _ : state) {
        bool ok = stock.FetchQuote("2330", ref, fields);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_FetchOneStock)->Unit(benchmark::kMicrosecond)->UseRealTime();
#endif

// The clock the board reads several times a second, beside the system call under it.
void BM_Now(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ui::Now());
}
BENCHMARK(BM_Now);

void BM_IsMarketTime(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(IsMarketTime());
}
BENCHMARK(BM_IsMarketTime);

void BM_ClockGettime(benchmark::State& state) {
    for (auto _ : state) {
        struct timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_ClockGettime);

}  // namespace

// Prints as usual and keeps the CPU time per iteration of each benchmark for the ratios (wall
// time swings with the machine's load).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                Times[run.run_name.str()] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> Times;
};

int main(int argc, char** argv) {
    ui::TCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* arg : {"0", "1"}) {
        double scrape = reporter.Times[std::string("BM_ScrapeQuotePage/") + arg],
               pass = reporter.Times[std::string("BM_MemmemPass/") + arg];
        if (scrape > 0 && pass > 0)
            std::printf("Scrape (%s page): %.2f us CPU per page, %.1fx one memmem pass over it (%.2f us)\n",
                        *arg == '0' ? "server's" : "padded", scrape * 1e6, scrape / pass, pass * 1e6);
    }
    double now = reporter.Times["BM_Now"], market = reporter.Times["BM_IsMarketTime"],
           gettime = reporter.Times["BM_ClockGettime"];
    if (now > 0 && gettime > 0)
        std::printf("Clock, CPU time: Now %.0f ns (%.1fx clock_gettime), IsMarketTime %.0f ns (%.1fx)\n", now * 1e9,
                    now / gettime, market * 1e9, market / gettime);
    benchmark::Shutdown();
    return 0;
}
