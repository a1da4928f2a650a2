// The gateway's own work: turning one upstream answer of 100 stocks into pages (once per
// interval), and answering a board from the cache (once per page request); reading hostile
// answers up to the size the gateway takes, and how long the gateway takes to stop while it
// reads one.
#include "server/QuotePage.h"
#include "server/TwseJson.h"
#include "server/TwseSource.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
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

// Hostile answers, each no larger than the gateway takes.
enum Hostile {
    EmptyObjects20k,
    EmptyObjects320k,
    EmptyObjectsAtCap,
    DeepArraysAtCap,
    DeepObjectsAtCap,
    HugeName,
    StocksAtCap
};

std::string HostileAnswer(int kind) {
    const std::string head = "{\"rtcode\":\"0000\",\"msgArray\":[", tail = "]}";
    const std::size_t room = TwseSource::MaxAnswerBytes - head.size() - tail.size();
    std::string body;
    auto emptyObjects = [&](std::size_t n) {
        body.reserve(n * 3);
        for (std::size_t i = 0; i < n; ++i) body += i ? ",{}" : "{}";
    };
    switch (kind) {
    case EmptyObjects20k:
        emptyObjects(20000);
        break;
    case EmptyObjects320k:
        emptyObjects(320000);
        break;
    case EmptyObjectsAtCap:
        emptyObjects((room + 1) / 3);
        break;
    case DeepArraysAtCap:
        body = std::string(room / 2, '[') + std::string(room / 2, ']');
        break;
    case DeepObjectsAtCap: {
        std::size_t depth = room / 6;
        for (std::size_t i = 0; i < depth; ++i) body += "{\"a\":";
        body += "0" + std::string(depth, '}');
        break;
    }
    case StocksAtCap:  // each a stock nobody asked for
        while (body.size() + 60 < room)
            body += (body.empty() ? "" : ",") + std::string(R"({"c":"1101","ex":"tse","y":"1","t":"10:00:00"})");
        break;
    case HugeName:
        body = "{\"c\":\"2330\",\"ex\":\"tse\",\"y\":\"10.00\",\"t\":\"10:00:00\",\"n\":\"";
        body += std::string(room - body.size() - 2, 'x') + "\"}";
        break;
    }
    return head + body + tail;
}

const char* const HostileNames[] = {"20k empty objects",     "320k empty objects",     "4 MB of empty objects",
                                    "4 MB of nested arrays", "4 MB of nested objects", "a 4 MB name",
                                    "4 MB of stocks"};

void BM_HostileAnswer(benchmark::State& state) {
    const std::string body = HostileAnswer(static_cast<int>(state.range(0)));
    state.SetLabel(HostileNames[state.range(0)]);
    for (auto _ : state) {
        twse::Answer answer;
        std::string error;
        benchmark::DoNotOptimize(twse::ParseAnswer(body, answer, error));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_HostileAnswer)->DenseRange(EmptyObjects20k, StocksAtCap)->Unit(benchmark::kMillisecond)->Iterations(3);

// The gateway ended (as SIGTERM ends the server) while it reads the hostile answer at its cap:
// the time from the start of the stop to its end, stopping at a different moment of the
// answer's reading in each iteration.
void BM_StopWhileReadingHostileAnswer(benchmark::State& state) {
    const std::string body = HostileAnswer(static_cast<int>(state.range(0)));
    std::atomic<int> asked = 0;
    httplib::Server upstream;
    upstream.Get("/q", [&](const httplib::Request&, httplib::Response& res) {
        ++asked;
        res.set_content(body, "application/json");
    });
    int port = upstream.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { upstream.listen_after_bind(); });
    double slowest = 0;
    int round = 0;
    for (auto _ : state) {
        TwseSource::Options o;
        o.upstream = "http://127.0.0.1:" + std::to_string(port) + "/q";
        o.dailyCloses.clear();
        o.log = [](const std::string&) {};
        auto source = std::make_unique<TwseSource>(o);
        int before = asked;
        source->Page("2330", [](std::string) {});
        while (asked == before) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(round++ * 37 % 300));
        auto start = std::chrono::steady_clock::now();
        source.reset();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        slowest = std::max(slowest, took.count());
    }
    state.counters["slowest_ms"] = slowest * 1000;
    state.SetLabel(HostileNames[state.range(0)]);
    upstream.stop();
    serving.join();
}
BENCHMARK(BM_StopWhileReadingHostileAnswer)
    ->Arg(EmptyObjectsAtCap)
    ->Arg(DeepArraysAtCap)
    ->Arg(StocksAtCap)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(12);

}  // namespace
