#include "server/SimulatorSource.h"

#include "server/QuotePage.h"

namespace server {

SimulatorSource::SimulatorSource(std::vector<Listing> universe, std::uint64_t seed, MarketClock::Options clock)
    : FSeed(seed), FMarket(std::move(universe), seed), FClock(clock) {}

std::string SimulatorSource::PageNow(const std::string& code) {
    long index = FMarket.Find(code);
    if (index < 0) return UnknownStockPage(code);
    SessionTime now = FClock.Now();
    Quote q = FMarket.QuoteAt(static_cast<std::size_t>(index), now.second);
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
