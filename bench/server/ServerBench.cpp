#include "server/Market.h"
#include "server/QuotePage.h"

#include <benchmark/benchmark.h>

using namespace server;

namespace {

std::vector<Listing> Stocks() {
    std::vector<Listing> v;
    for (int i = 0; i < 300; ++i) v.push_back({std::to_string(1000 + i), "\xA5\x78\xBF\x6E\xB9\x71", 102500, false});
    return v;
}

// A page as a request in the running session asks for it: the stock moves on by a second.
void BM_QuotePageInSession(benchmark::State& state) {
    Market market(Stocks(), 1);
    std::int64_t second = 0;
    std::size_t i = 0, bytes = 0;
    for (auto _ : state) {
        i = (i + 1) % market.Size();
        if (i == 0) second = (second + 1) % MarketClock::SessionLength;
        std::string page = QuotePage(market.Listings()[i], market.QuoteAt(i, second), MarketClock::OpenSecond);
        bytes += page.size();
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_QuotePageInSession);

// The first request of a stock late in an always-open day replays the day from midnight.
void BM_ReplayWholeDay(benchmark::State& state) {
    Market market(Stocks(), 1);
    std::size_t i = 0;
    for (auto _ : state) {
        i = (i + 1) % market.Size();
        market.QuoteAt(i, 86399);
        benchmark::DoNotOptimize(market.QuoteAt(i, 0));  // back to the open: the next call replays
    }
}
BENCHMARK(BM_ReplayWholeDay);

}  // namespace

BENCHMARK_MAIN();
