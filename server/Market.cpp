#include "server/Market.h"

#include "ui/core/Holidays.h"

#include <algorithm>
#include <cmath>

namespace server {

namespace {

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A small, fast generator whose sequence is the same on every platform (the standard
// distributions are not), so a seed means the same market everywhere.
class Random {
public:
    Random() = default;
    explicit Random(std::uint64_t seed) : FState(seed) {}
    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(SplitMix(FState) >> 11) * 0x1.0p-53; }
    // Standard normal (Box-Muller; always draws two numbers).
    double Normal() {
        double u1 = 1.0 - Uniform(), u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }
    // Exponential with the given mean.
    double Exponential(double mean) { return -std::log(1.0 - Uniform()) * mean; }

private:
    std::uint64_t FState = 0;
};

std::uint64_t HashCode(std::string_view code) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : code) h = (h ^ c) * 1099511628211ull;
    return h;
}

int SecondOfDay(ui::TDateTime dt) {
    ui::TimeParts t = ui::DecodeTime(dt);
    return t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

// ---- MarketClock

MarketClock::MarketClock(Options options)
    : FOptions(options), FStart(ui::Now()), FStartSecondOfDay(SecondOfDay(FStart)) {
    if (!(FOptions.speed > 0)) FOptions.speed = 1.0;
}

SessionTime MarketClock::Regular(ui::TDateTime local) {
    std::int64_t second = SecondOfDay(local) - OpenSecond;
    if (!ui::IsClosedDay(local) && second >= 0) return {std::min<std::int64_t>(second, SessionLength), OpenSecond, 0};
    // The last trading day before this one, or this one when it trades and its session is over.
    int back = 1;
    while (back < 60 && ui::IsClosedDay(local - back)) ++back;
    return {SessionLength, OpenSecond, back};
}

SessionTime MarketClock::Now() const {
    if (FOptions.fixedSecondOfDay >= 0) {
        if (FOptions.alwaysOpen) return {FOptions.fixedSecondOfDay, 0, 0};
        std::int64_t second = FOptions.fixedSecondOfDay - OpenSecond;
        if (second < 0) return {SessionLength, OpenSecond, 1};
        return {std::min<std::int64_t>(second, SessionLength), OpenSecond, 0};
    }
    if (!FOptions.alwaysOpen) return Regular(ui::Now());
    double elapsed = (ui::Now() - FStart) * 86400.0 * FOptions.speed;
    return {FStartSecondOfDay + static_cast<std::int64_t>(std::floor(std::max(0.0, elapsed))), 0, 0};
}

// ---- Market

struct Market::Stock {
    Random random;
    std::int64_t simulatedTo = -1;  // every trade up to this session second is in `quote`
    std::int64_t nextTrade = 0;
    std::int64_t trades = 0;
    double gapMean = 10;  // mean seconds between trades
    double lotMean = 5;   // mean lots per trade
    Cents dayTarget = 0;  // where the day is heading
    Cents target = 0;     // the price the walk drifts to now
    bool lastUp = false;  // the last move was up: the trade took the ask
    Quote quote;
};

namespace {

Cents Step(Cents price, int ticks, const Quote& q, bool etf) {
    for (; ticks > 0 && price < q.limitUp; --ticks) price = TickUp(price, etf);
    for (; ticks < 0 && price > q.limitDown; ++ticks) price = TickDown(price, etf);
    return std::clamp(price, q.limitDown, q.limitUp);
}

// A price on the grid about `sigma` (a fraction, normally distributed) from `from`, within the
// limits; with allowLimit, now and then a limit itself, so a few stocks run to it.
Cents PickTarget(Random& r, Cents from, double sigma, bool allowLimit, const Quote& q, bool etf) {
    double roll = r.Uniform();
    double move = r.Normal() * sigma;
    if (allowLimit && roll < 0.02) return q.limitUp;
    if (allowLimit && roll < 0.03) return q.limitDown;
    Cents raw = static_cast<Cents>(std::llround(static_cast<double>(from) * (1.0 + move)));
    return GridFloor(std::clamp(raw, q.limitDown, q.limitUp), etf);
}

}  // namespace

Market::Market(std::vector<Listing> listings, std::uint64_t seed) : FListings(std::move(listings)), FSeed(seed) {
    for (std::size_t i = 0; i < FListings.size(); ++i) {
        FIndex.emplace(FListings[i].code, i);
        FStocks.push_back(std::make_unique<Stock>());
        Reset(i);
    }
}

Market::~Market() = default;

long Market::Find(std::string_view code) const {
    auto it = FIndex.find(std::string(code));
    return it == FIndex.end() ? -1 : static_cast<long>(it->second);
}

void Market::Reset(std::size_t index) {
    const Listing& l = FListings[index];
    Stock& s = *FStocks[index];
    std::uint64_t mix = FSeed ^ HashCode(l.code);
    s = Stock{};
    s.random = Random(SplitMix(mix));
    s.quote.prevClose = l.prevClose;
    s.quote.limitUp = LimitUp(l.prevClose, l.etf);
    s.quote.limitDown = LimitDown(l.prevClose, l.etf);
    s.gapMean = std::exp(s.random.Uniform() * std::log(12.0)) * 3.0;  // 3 to 36 s
    s.lotMean = std::exp(s.random.Uniform() * std::log(60.0));        // 1 to 60 lots
    s.dayTarget = s.target = PickTarget(s.random, l.prevClose, 0.015, true, s.quote, l.etf);
}

void Market::Trade(std::size_t index) {
    const Listing& l = FListings[index];
    Stock& s = *FStocks[index];
    Quote& q = s.quote;
    std::int64_t lots = 1 + static_cast<std::int64_t>(s.random.Exponential(s.lotMean));
    if (!q.traded) {
        // The opening auction: a small gap from the previous close.
        double gap = s.random.Normal() * 0.004 * static_cast<double>(l.prevClose);
        int ticks = static_cast<int>(std::lround(gap / static_cast<double>(TickSize(l.prevClose, l.etf))));
        q.last = Step(l.prevClose, ticks, q, l.etf);
        q.open = q.high = q.low = q.last;
        q.traded = true;
        s.lastUp = q.last >= l.prevClose;
        lots *= 8;
    } else {
        double pull = static_cast<double>(s.target - q.last) / static_cast<double>(l.prevClose);
        double pUp = std::clamp(0.5 + 25.0 * pull, 0.1, 0.9);
        double still = s.random.Uniform();
        double dir = s.random.Uniform();
        double size = s.random.Uniform();
        if (still >= 0.35) {
            int ticks = size < 0.1 ? 2 : 1;
            s.lastUp = dir < pUp;
            q.last = Step(q.last, s.lastUp ? ticks : -ticks, q, l.etf);
        }
        q.high = std::max(q.high, q.last);
        q.low = std::min(q.low, q.last);
    }
    // One tick between bid and ask, the last price on the side the trade took, and both
    // within the limits.
    bool atAsk = q.last == q.limitUp || (q.last != q.limitDown && s.lastUp);
    q.bid = atAsk ? TickDown(q.last, l.etf) : q.last;
    q.ask = atAsk ? q.last : TickUp(q.last, l.etf);
    q.volume += lots;
    q.tradeSecond = s.nextTrade;
    // Now and then the stock wanders off its day's level, and back.
    if (++s.trades % 250 == 0) s.target = PickTarget(s.random, s.dayTarget, 0.006, false, q, l.etf);
    s.nextTrade += 1 + static_cast<std::int64_t>(s.random.Exponential(s.gapMean));
}

Quote Market::QuoteAt(std::size_t index, std::int64_t second) {
    std::lock_guard<std::mutex> lock(FLock);
    Stock& s = *FStocks[index];
    if (second < s.simulatedTo && s.quote.traded && s.quote.tradeSecond > second) Reset(index);
    while (s.nextTrade <= second) Trade(index);
    s.simulatedTo = std::max(s.simulatedTo, second);
    return s.quote;
}

}  // namespace server
