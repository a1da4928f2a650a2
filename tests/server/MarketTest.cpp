#include "server/Market.h"
#include "QuoteReader.h"
#include "server/QuotePage.h"
#include "server/SimulatorSource.h"
#include "ui/core/Holidays.h"

#include <gtest/gtest.h>

#include <set>

using namespace server;

namespace {

std::vector<Listing> SomeStocks() {
    return {{"2330", "TSMC", 102500, false},  {"2409", "AUO", 1515, false}, {"2323", "CMC", 985, false},
            {"2303", "UMC", 4835, false},     {"0050", "ETF", 18050, true}, {"0056", "ETF", 3785, true},
            {"3008", "LARGAN", 234500, false}};
}

// Every property a quote keeps at any moment of the day.
void ExpectConsistent(const Listing& l, const Quote& q, std::int64_t second) {
    SCOPED_TRACE(l.code + " at " + std::to_string(second));
    ASSERT_EQ(q.limitUp, LimitUp(l.prevClose, l.etf));
    ASSERT_EQ(q.limitDown, LimitDown(l.prevClose, l.etf));
    ASSERT_EQ(q.traded, second >= 0);
    if (!q.traded) return;
    ASSERT_LE(q.tradeSecond, second);
    for (Cents p : {q.last, q.bid, q.ask, q.open, q.high, q.low}) {
        ASSERT_TRUE(OnGrid(p, l.etf)) << p;
        ASSERT_TRUE(p >= q.limitDown && p <= q.limitUp) << p;
    }
    ASSERT_EQ(q.ask, TickUp(q.bid, l.etf));
    ASSERT_TRUE(q.last == q.bid || q.last == q.ask);
    ASSERT_TRUE(q.low <= q.last && q.last <= q.high && q.low <= q.open && q.open <= q.high);
}

}  // namespace

TEST(Market, WalksTheDayOnTheGridWithinTheLimits) {
    Market m(SomeStocks(), 7);
    std::set<Cents> seenPrices;
    for (std::size_t i = 0; i < m.Size(); ++i) {
        const Listing& l = m.Listings()[i];
        Quote before = m.QuoteAt(i, -1);
        ExpectConsistent(l, before, -1);
        int trades = 0;
        // At most one trade a second, so a second-by-second walk sees every one.
        for (std::int64_t t = 0; t <= MarketClock::SessionLength; ++t) {
            Quote q = m.QuoteAt(i, t);
            ExpectConsistent(l, q, t);
            if (q.volume == before.volume) {
                ASSERT_EQ(q.last, before.last);
                continue;
            }
            ++trades;
            ASSERT_EQ(q.tradeSecond, t);
            ASSERT_GT(q.volume, before.volume);
            if (before.traded) {
                ASSERT_EQ(q.open, before.open);
                // One or two ticks a trade.
                Cents p = before.last;
                int steps = 0;
                while (p < q.last) p = TickUp(p, l.etf), ++steps;
                while (p > q.last) p = TickDown(p, l.etf), ++steps;
                ASSERT_LE(steps, 2) << l.code << " " << before.last << " -> " << q.last;
            }
            seenPrices.insert(q.last);
            before = q;
        }
        EXPECT_GT(trades, 100) << l.code;
    }
    EXPECT_GT(seenPrices.size(), 40u);
}

TEST(Market, SomeStocksRunToTheirLimits) {
    std::vector<Listing> many;
    for (int i = 0; i < 300; ++i) many.push_back({std::to_string(1000 + i), "X", 5000, false});
    Market m(std::move(many), 1);
    int up = 0, down = 0;
    for (std::size_t i = 0; i < m.Size(); ++i) {
        Quote q = m.QuoteAt(i, MarketClock::SessionLength);
        up += q.high == q.limitUp;
        down += q.low == q.limitDown;
    }
    EXPECT_GT(up, 0);
    EXPECT_GT(down, 0);
    EXPECT_LT(up + down, 60);
}

TEST(Market, TheSeedAloneDecidesTheQuotes) {
    Market a(SomeStocks(), 42), b(SomeStocks(), 42), c(SomeStocks(), 43);
    // a is asked often, b once at the end and then earlier (a replay), c has another seed.
    for (std::int64_t t = 0; t <= 9000; t += 3) a.QuoteAt(0, t);
    b.QuoteAt(0, 12000);
    int differs = 0;
    for (std::size_t i = 0; i < a.Size(); ++i) {
        for (std::int64_t t : {std::int64_t(0), std::int64_t(4567), std::int64_t(9000)}) {
            Quote qa = a.QuoteAt(i, t), qb = b.QuoteAt(i, t), qc = c.QuoteAt(i, t);
            EXPECT_EQ(qa.last, qb.last);
            EXPECT_EQ(qa.volume, qb.volume);
            EXPECT_EQ(qa.tradeSecond, qb.tradeSecond);
            EXPECT_EQ(qa.high, qb.high);
            differs += qa.volume != qc.volume;
        }
    }
    EXPECT_GT(differs, 10);
    EXPECT_EQ(a.Find("0050"), 4);
    EXPECT_EQ(a.Find("9999"), -1);
}

TEST(MarketClock, MapsTheLocalClockOntoTheSession) {
    auto at = [](int d, int h, int mi, int s) {
        return MarketClock::Regular(ui::EncodeDateTime(2024, 3, d, h, mi, s));
    };
    // 2024-03-04 is a Monday, 2024-03-09 a Saturday; the 6th, a Wednesday, is a holiday here.
    ui::SetHolidays(ui::THolidays::Parse("2024-03-06\n"));
    auto session = [](const SessionTime& t) { return std::make_pair(t.daysBack, t.second); };
    const std::int64_t close = MarketClock::SessionLength;
    EXPECT_EQ(session(at(4, 8, 59, 59)), std::make_pair(3, close));  // before the open: Friday's close
    EXPECT_EQ(session(at(4, 9, 0, 0)), std::make_pair(0, std::int64_t{0}));
    EXPECT_EQ(session(at(4, 10, 30, 15)), std::make_pair(0, std::int64_t{5415}));
    EXPECT_EQ(session(at(4, 13, 30, 0)), std::make_pair(0, close));
    EXPECT_EQ(session(at(4, 18, 0, 0)), std::make_pair(0, close));
    EXPECT_EQ(session(at(5, 7, 0, 0)), std::make_pair(1, close));
    EXPECT_EQ(session(at(6, 10, 0, 0)), std::make_pair(1, close));  // the holiday: Tuesday's close
    EXPECT_EQ(session(at(7, 7, 0, 0)), std::make_pair(2, close));   // the morning after: Tuesday's
    EXPECT_EQ(session(at(9, 10, 0, 0)), std::make_pair(1, close));  // Saturday: Friday's
    EXPECT_EQ(at(4, 10, 0, 0).openSecondOfDay, MarketClock::OpenSecond);
    ui::SetHolidays({});

    ui::TDateTime now = ui::EncodeDateTime(2024, 3, 9, 20, 0, 0);
    auto old = ui::SetClock([&] { return now; });
    MarketClock open({true, 1.0, -1}), fast({true, 60.0, -1}), fixed({false, 1.0, 11 * 3600}),
        fixedOpen({true, 1.0, 11 * 3600});
    now += 30 * ui::OneSecond;
    EXPECT_EQ(open.Now().second, 20 * 3600 + 30);
    EXPECT_EQ(open.Now().openSecondOfDay, 0);
    EXPECT_EQ(fast.Now().second, 20 * 3600 + 1800);
    EXPECT_EQ(fixed.Now().second, 2 * 3600);  // a weekday, whatever the date
    EXPECT_EQ(fixedOpen.Now().second, 11 * 3600);
    ui::SetClock(old);
}

TEST(SimulatorSource, AnswersAtOnceWithTheMarketsPageAndSaysWhatItIs) {
    MarketClock::Options at1015;
    at1015.fixedSecondOfDay = 10 * 3600 + 15 * 60;
    SimulatorSource source(SomeStocks(), 7, at1015);
    Market market(SomeStocks(), 7);

    std::string page;
    int calls = 0;
    source.Page("2330", [&](std::string p) {
        page = std::move(p);
        ++calls;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(page, QuotePage(SomeStocks()[0], market.QuoteAt(0, 75 * 60), MarketClock::OpenSecond));
    source.Page("9999", [&](std::string p) { page = std::move(p); });
    EXPECT_EQ(page, UnknownStockPage("9999"));

    EXPECT_EQ(source.Status(), "{\"source\":\"simulator\",\"stocks\":7,\"seed\":7,\"time\":\"10:15:00\"}");
}

// Outside its session the simulator shows the last session's close, read by the board's scraper:
// at 07:00 the previous trading day's (the market of the seed a day less), at 20:00 today's.
TEST(SimulatorSource, OutsideTheSessionShowsTheLastSessionsClose) {
    ui::TDateTime now = ui::EncodeDateTime(2024, 3, 5, 7, 0, 0);  // a Tuesday
    auto old = ui::SetClock([&] { return now; });
    SimulatorSource source(SomeStocks(), 100, {});
    Market yesterday(SomeStocks(), 99), today(SomeStocks(), 100);
    const std::vector<Listing> stocks = SomeStocks();
    const std::int64_t close = MarketClock::SessionLength;
    for (ui::TDateTime at : {ui::EncodeDateTime(2024, 3, 5, 7, 0, 0), ui::EncodeDateTime(2024, 3, 5, 20, 0, 0)}) {
        now = at;
        Market& shown = at < ui::EncodeDateTime(2024, 3, 5, 12, 0, 0) ? yesterday : today;
        for (std::size_t i = 0; i < stocks.size(); ++i) {
            const Listing& l = stocks[i];
            std::string page = source.PageNow(l.code);
            std::optional<pagescraper::Fields> f = pagescraper::Scrape(page, l.code);
            ASSERT_TRUE(f) << l.code;
            Quote q = shown.QuoteAt(i, close);
            EXPECT_EQ(page, QuotePage(l, q, MarketClock::OpenSecond)) << l.code;
            EXPECT_NE((*f)[qfLast], "-") << l.code;
            EXPECT_NE((*f)[qfVolume], "0") << l.code;
            EXPECT_NE((*f)[qfOpen], "-") << l.code;
            EXPECT_LE((*f)[qfTradeTime], "13:30:00") << l.code;
        }
    }
    EXPECT_NE(source.PageNow("2330"), QuotePage(stocks[0], yesterday.QuoteAt(0, close), MarketClock::OpenSecond));
    ui::SetClock(old);
}
