#pragma once
// The simulated market as a page source: every page is rendered at once from the market's
// state at the clock's moment. The market of an earlier day (shown outside the session) is the
// one seeded with the seed less the days since.
#include "server/Market.h"
#include "server/PageSource.h"
#include "server/Universe.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace server {

class SimulatorSource : public PageSource {
public:
    SimulatorSource(std::vector<Listing> universe, std::uint64_t seed, MarketClock::Options clock);

    void Page(const std::string& code, std::function<void(std::string page)> done) override;
    // {"source":"simulator","stocks":N,"seed":S,"time":"hh:mm:ss"}: time is the market
    // clock's time of day.
    std::string Status() override;

    // The page for a stock code at this moment.
    std::string PageNow(const std::string& code);
    std::size_t StockCount() const { return FMarket.Size(); }

private:
    // The market of the session daysBack days ago.
    Market& MarketOf(int daysBack);

    std::uint64_t FSeed;
    std::vector<Listing> FUniverse;
    Market FMarket;
    MarketClock FClock;
    std::mutex FEarlierLock;
    std::map<int, std::unique_ptr<Market>> FEarlier;
};

}  // namespace server
