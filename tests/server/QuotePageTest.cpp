#include "server/QuotePage.h"
#include "QuoteReader.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>

using namespace server;
using pagescraper::Scrape;

namespace {

const std::string TaiNi = ui::Utf8ToBig5("台泥");  // 4 bytes: the board pads it
const std::string TaiNiPadded = ui::Utf8ToBig5("台　泥");
const std::string Tsmc = ui::Utf8ToBig5("台積電");

Quote Traded(Cents prev, Cents last, bool etf = false) {
    Quote q;
    q.traded = true;
    q.prevClose = prev;
    q.limitUp = LimitUp(prev, etf);
    q.limitDown = LimitDown(prev, etf);
    q.last = q.bid = last;
    q.ask = TickUp(last, etf);
    q.open = prev;
    q.high = std::max(prev, last);
    q.low = std::min(prev, last);
    q.volume = 23456;
    q.tradeSecond = 3723;  // 10:02:03 in a session opening at 09:00
    return q;
}

}  // namespace

TEST(QuotePage, TheBoardCutsEveryFieldOfTheQuote) {
    Listing l{"2330", Tsmc, 102500, false};
    Quote q = Traded(102500, 103000);
    q.open = 102000;
    q.low = 101500;
    std::string page = QuotePage(l, q, MarketClock::OpenSecond);
    auto f = Scrape(page, "2330");
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)[0], Tsmc);
    EXPECT_EQ((*f)[1], "10:02:03");
    EXPECT_EQ((*f)[2], "1030");
    EXPECT_EQ((*f)[3], "1030");
    EXPECT_EQ((*f)[4], "1035");
    EXPECT_EQ((*f)[5], ui::Utf8ToBig5("△5</font></td>"));  // the board keeps what follows the figure
    EXPECT_EQ((*f)[6], "23,456");
    EXPECT_EQ((*f)[7], "1025");
    EXPECT_EQ((*f)[8], "1020");
    EXPECT_EQ((*f)[9], "1030");
    EXPECT_EQ((*f)[10], "1015");

    // The page is Big5 HTML of a few KB with its anchor once.
    EXPECT_NE(page.find("charset=big5"), std::string::npos);
    EXPECT_GT(page.size(), 2000u);
    std::string anchor = "href=\"/q/bc?s=2330\">2330";
    EXPECT_EQ(page.find(anchor), page.rfind(anchor));
    EXPECT_FALSE(Scrape(page, "233"));
}

TEST(QuotePage, ChangeMarksGiveTheBoardThePreviousCloseAsReference) {
    struct Case {
        Cents prev, last;
        bool etf;
        const char* mark;
    };
    for (Case c : {Case{102500, 103000, false, "△"}, Case{102500, 101000, false, "▽"}, Case{102500, 112500, false, "▲"},
                   Case{102500, 92300, false, "▼"}, Case{5000, 4995, false, "▽"}, Case{3785, 4163, true, "▲"},
                   Case{3350, 3350, false, ""}}) {
        Listing l{"1101", TaiNi, c.prev, c.etf};
        auto f = Scrape(QuotePage(l, Traded(c.prev, c.last, c.etf), MarketClock::OpenSecond), "1101");
        ASSERT_TRUE(f);
        SCOPED_TRACE(std::to_string(c.last));
        EXPECT_EQ((*f)[0], TaiNiPadded);
        std::string mark = ui::Utf8ToBig5(c.mark);
        EXPECT_EQ((*f)[5].substr(0, mark.size()), mark);
        EXPECT_EQ((*f)[5].empty(), mark.empty());
        double last = QuoteValue((*f)[2]);
        EXPECT_NEAR(last, c.last / 100.0, 1e-3);  // the board reads prices as floats
        EXPECT_NEAR(last - QuoteValue((*f)[5]), QuoteValue((*f)[7]), 1e-3);
        EXPECT_NEAR(QuoteValue((*f)[7]), c.prev / 100.0, 1e-3);
    }
}

TEST(QuotePage, BeforeTheFirstTradeOnlyThePreviousCloseIsAPrice) {
    Quote q;
    q.prevClose = 3350;
    q.limitUp = LimitUp(3350, false);
    q.limitDown = LimitDown(3350, false);
    auto f = Scrape(QuotePage({"1101", TaiNi, 3350, false}, q, MarketClock::OpenSecond), "1101");
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)[2], "-");
    EXPECT_EQ(QuoteValue((*f)[2]), 0);  // no reference price for the board
    EXPECT_EQ((*f)[5], "");
    EXPECT_EQ((*f)[6], "0");
    EXPECT_EQ((*f)[7], "33.50");
    for (int j : {1, 3, 4, 8, 9, 10}) EXPECT_EQ((*f)[j], "-") << j;
}

TEST(QuotePage, UnknownCodesGetNoQuoteRowAndCannotInjectOne) {
    for (std::string code : {"9999", "", "<b>", "2330\">2330"}) {
        EXPECT_FALSE(Scrape(UnavailablePage(code), code)) << code;
        std::string page = UnknownStockPage(code);
        EXPECT_FALSE(Scrape(page, code)) << code;
        EXPECT_EQ(page.find("href=\"/q/bc?s="), std::string::npos) << code;
    }
    EXPECT_NE(UnknownStockPage("<b>").find("&lt;b&gt;"), std::string::npos);
    EXPECT_NE(ErrorPage(404).find("404 Not Found"), std::string::npos);
    EXPECT_EQ(FormatTimeOfDay(0), "00:00:00");
    EXPECT_EQ(FormatTimeOfDay(86400 + 13 * 3600 + 30 * 60 + 5), "13:30:05");
}
