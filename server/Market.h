#pragma once
// The simulated market behind the quote pages.
//
// Every stock trades on its own random stream, seeded from the market's seed and the stock's
// code, so a quote is a function of (seed, code, session second) alone: two servers with the
// same seed show the same page at the same moment, however often they were asked before.
// The day opens with a trade of every stock at the first second; after that each stock trades
// at random moments of its own, with its own pace and lot sizes, in a walk of one or two ticks
// that drifts towards a daily target, never past the day's limits.
#include "server/PriceRules.h"
#include "server/Universe.h"
#include "ui/core/DateTime.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace server {

struct Quote {
    bool traded = false;           // false until the stock's first trade of the session
    std::int64_t tradeSecond = 0;  // session second of the last trade
    Cents last = 0, bid = 0, ask = 0, open = 0, high = 0, low = 0;
    std::int64_t volume = 0;  // lots (張) traded so far
    Cents prevClose = 0, limitUp = 0, limitDown = 0;
};

// A moment of a session: seconds since it opened and the local time of the open, which turns
// session seconds into the time of day a page shows; daysBack says which day's session it is
// (0 today, 1 yesterday, ...).
struct SessionTime {
    std::int64_t second = 0;
    int openSecondOfDay = 0;
    int daysBack = 0;
};

// Maps the local clock (ui::Now()) onto the session.
//  - Regular: 09:00:00 to 13:30:00 on trading days (ui::IsClosedDay: no weekends, no listed
//    holidays). Outside the session the market shows the last session's close, as the
//    exchange's pages do: before the open the previous trading day's, after the close today's,
//    on a closed day the last trading day's.
//  - Always open: the session opened at midnight of the day the clock was created and never
//    closes; speed > 1 runs it faster than the wall clock.
//  - A fixed time of day (seconds since midnight, weekday) freezes the clock for repeatable pages;
//    before the open it shows the close of the day before.
class MarketClock {
public:
    static constexpr int OpenSecond = 9 * 3600;
    static constexpr int SessionLength = 4 * 3600 + 30 * 60;

    struct Options {
        bool alwaysOpen = false;
        double speed = 1.0;
        int fixedSecondOfDay = -1;  // -1: the running clock
    };

    explicit MarketClock(Options options);
    SessionTime Now() const;

    // The regular session at a local date-time.
    static SessionTime Regular(ui::TDateTime local);

private:
    Options FOptions;
    ui::TDateTime FStart;
    int FStartSecondOfDay;
};

class Market {
public:
    Market(std::vector<Listing> listings, std::uint64_t seed);
    ~Market();
    Market(const Market&) = delete;
    Market& operator=(const Market&) = delete;

    std::size_t Size() const { return FListings.size(); }
    const std::vector<Listing>& Listings() const { return FListings; }
    // The index of the stock with this code, or -1.
    long Find(std::string_view code) const;

    // The quote of stock index after every trade up to session second `second`. Asking for an
    // earlier moment than before replays the stock's day from the open. Thread-safe.
    Quote QuoteAt(std::size_t index, std::int64_t second);

private:
    struct Stock;
    void Reset(std::size_t index);
    void Trade(std::size_t index);

    std::vector<Listing> FListings;
    std::vector<std::unique_ptr<Stock>> FStocks;
    std::unordered_map<std::string, std::size_t> FIndex;
    std::uint64_t FSeed;
    std::mutex FLock;
};

}  // namespace server
