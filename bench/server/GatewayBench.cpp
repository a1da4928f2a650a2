// The gateway's own work: turning one upstream answer of 100 stocks into pages (once per
// interval), and answering a board from the cache (once per page request).
#include "server/QuotePage.h"
#include "server/TwseJson.h"
#include "server/TwseSource.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <future>
#include <thread>

using namespace server;

namespace {

constexpr int Stocks = 100;

std::string Code(int i) { return std::to_string(1101 + i); }

// An answer as the service gives it for Stocks listed stocks.
std::string Answer() {
    std::string a = "{\"msgArray\":[";
    for (int i = 0; i < Stocks; ++i) {
        if (i) a += ",";
        a += "{\"c\":\"" + Code(i) +
             "\",\"n\":\"台積電\",\"ex\":\"tse\",\"d\":\"20261208\",\"t\":\"10:02:03\",\"tlong\":\"1796695323000\","
             "\"z\":\"1030.0000\",\"y\":\"1025.0000\",\"o\":\"1020.0000\",\"h\":\"1035.0000\",\"l\":\"1015.0000\","
             "\"v\":\"23456\",\"u\":\"1125.0000\",\"w\":\"925.0000\","
             "\"a\":\"1035.0000_1040.0000_1045.0000_1050.0000_1055.0000_\","
             "\"b\":\"1030.0000_1025.0000_1020.0000_1015.0000_1010.0000_\"}";
    }
    return a + "],\"userDelay\":5000,\"rtcode\":\"0000\",\"rtmessage\":\"OK\"}";
}

void BM_AnswerToPages(benchmark::State& state) {
    const std::string body = Answer();
    for (auto _ : state) {
        twse::Answer answer;
        std::string error;
        twse::ParseAnswer(body, answer, error);
        for (const twse::Entry& e : answer.stocks)
            benchmark::DoNotOptimize(QuotePage(twse::ToListing(e), twse::ToQuote(e, nullptr, {}), 0));
    }
    state.SetItemsProcessed(state.iterations() * Stocks);
}
BENCHMARK(BM_AnswerToPages)->Unit(benchmark::kMicrosecond);

// A gateway filled from a loopback stand-in of the service, shared by the benchmark's threads.
struct Filled {
    httplib::Server upstream;
    std::thread thread;
    std::unique_ptr<TwseSource> source;

    Filled() {
        std::string body = Answer();
        upstream.Get("/q", [body](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, "application/json");
        });
        int port = upstream.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { upstream.listen_after_bind(); });
        TwseSource::Options o;
        o.upstream = "http://127.0.0.1:" + std::to_string(port) + "/q";
        o.log = [](const std::string&) {};
        source = std::make_unique<TwseSource>(o);
        for (int i = 0; i < Stocks; ++i) source->Page(Code(i), [](std::string) {});
        std::promise<std::string> last;
        source->Page(Code(Stocks - 1), [&](std::string p) { last.set_value(std::move(p)); });
        last.get_future().wait();
    }
    ~Filled() {
        source.reset();
        upstream.stop();
        thread.join();
    }
};

void BM_CachedPage(benchmark::State& state) {
    static Filled* filled = nullptr;
    if (state.thread_index() == 0) filled = new Filled;
    int i = static_cast<int>(state.thread_index());
    std::size_t bytes = 0;
    for (auto _ : state) {
        i = (i + 1) % Stocks;
        filled->source->Page(Code(i), [&](std::string p) { bytes += p.size(); });
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    if (state.thread_index() == 0) {
        delete filled;
        filled = nullptr;
    }
}
BENCHMARK(BM_CachedPage)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
