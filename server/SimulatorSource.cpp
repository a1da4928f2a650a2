#include "server/SimulatorSource.h"

#include "server/QuotePage.h"

namespace server {

SimulatorSource::SimulatorSource(std::vector<Listing> universe, std::uint64_t seed, MarketClock::Options clock)
    : FSeed(seed), FUniverse(universe), FMarket(std::move(universe), seed), FClock(clock) {}

Market& SimulatorSource::MarketOf(int daysBack) {
    if (daysBack == 0) return FMarket;
    std::lock_guard<std::mutex> g(FEarlierLock);
    std::unique_ptr<Market>& m = FEarlier[daysBack];
    if (!m) m = std::make_unique<Market>(FUniverse, FSeed - static_cast<std::uint64_t>(daysBack));
    return *m;
}

std::string SimulatorSource::PageNow(const std::string& code) {
    long index = FMarket.Find(code);
    if (index < 0) return UnknownStockPage(code);
    SessionTime now = FClock.Now();
    Quote q = MarketOf(now.daysBack).QuoteAt(static_cast<std::size_t>(index), now.second);
    return QuotePage(FMarket.Listings()[static_cast<std::size_t>(index)], q, now.openSecondOfDay);
}

void SimulatorSource::Page(const std::string& code, std::function<void(std::string page)> done) { done(PageNow(code)); }

std::string SimulatorSource::Status() {
    SessionTime now = FClock.Now();
    return "{\"source\":\"simulator\",\"stocks\":" + std::to_string(FMarket.Size()) +
           ",\"seed\":" + std::to_string(FSeed) + ",\"time\":\"" + FormatTimeOfDay(now.openSecondOfDay + now.second) +
           "\"}";
}

}  // namespace server
