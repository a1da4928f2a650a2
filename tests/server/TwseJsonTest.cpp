// Reading the exchange's answers into quotes, and the pages written from them as the board's own
// scraper reads them.
#include "server/TwseJson.h"
#include "quote/fQuoteDef.h"
#include "server/QuotePage.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>

#include <map>

using namespace server;
using namespace server::twse;

namespace {

std::map<std::string, Entry> Recorded(const std::string& file) {
    Answer answer;
    std::string error;
    std::string text = testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/" + file);
    EXPECT_TRUE(ParseAnswer(text, answer, error)) << error;
    std::map<std::string, Entry> byCode;
    for (const Entry& e : answer.stocks) byCode[e.code] = e;
    return byCode;
}

struct Scraped {
    bool found = false;
    float ref = 0;
    std::vector<std::string> f;
};

Scraped ScrapeOf(const Entry& e, const Quote& q) {
    Scraped s;
    s.found = ScrapeQuotePage(QuotePage(ToListing(e), q, 0), e.code, s.ref, s.f);
    return s;
}

}  // namespace

TEST(TwseAnswer, ReadsEveryStockOfARecordedBatch) {
    Answer answer;
    std::string error;
    ASSERT_TRUE(ParseAnswer(testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/morning.json"),
                            answer, error));
    EXPECT_EQ(answer.userDelayMs, 5000);
    ASSERT_EQ(answer.stocks.size(), 6u);
    const Entry& tsmc = answer.stocks[0];
    EXPECT_EQ(tsmc.code, "2330");
    EXPECT_EQ(tsmc.market, "tse");
    EXPECT_EQ(tsmc.name, ui::Utf8ToBig5("台積電"));
    EXPECT_EQ(tsmc.date, "20261208");
    EXPECT_EQ(tsmc.secondOfDay, 10 * 3600 + 2 * 60 + 3);
    EXPECT_EQ(tsmc.last, 103000);
    EXPECT_EQ(tsmc.bid, 103000);
    EXPECT_EQ(tsmc.ask, 103500);
    EXPECT_EQ(tsmc.volume, 23456);
    EXPECT_EQ(tsmc.limitUp, 112500);
    EXPECT_EQ(tsmc.limitDown, 92500);
    EXPECT_EQ(answer.stocks[1].last, 0);  // "-": no trade in this snapshot
    EXPECT_EQ(answer.stocks[3].market, "otc");
    EXPECT_EQ(answer.stocks[5].bid, 0);
    EXPECT_EQ(answer.stocks[5].open, 0);
}

TEST(TwseAnswer, RefusesTextThatIsNoGoodAnswer) {
    Answer answer;
    std::string error;
    for (std::string bad :
         {"", "<html>busy</html>", "[]", "{\"msgArray\":[{\"c\":\"2330\",",
          "{\"rtcode\":\"0000\",\"rtmessage\":\"OK\"}", "{\"rtcode\":\"0000\",\"msgArray\":{}}", "{\"msgArray\":[]}"}) {
        EXPECT_FALSE(ParseAnswer(bad, answer, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(ParseAnswer(testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/rtcode.json"),
                             answer, error));
    EXPECT_NE(error.find("5001"), std::string::npos) << error;

    // Nesting far deeper than an answer's neither crashes nor passes.
    std::string deep =
        "{\"rtcode\":\"0000\",\"msgArray\":[" + std::string(200000, '[') + std::string(200000, ']') + "]}";
    EXPECT_TRUE(ParseAnswer(deep, answer, error));
    EXPECT_TRUE(answer.stocks.empty());
}

TEST(TwseAnswer, LeavesOutEntriesAndFieldsThatDoNotRead) {
    const std::string body = R"({"rtcode":"0000","msgArray":[
        {"c":"23|0","ex":"tse","y":"10.00","t":"10:00:00"},
        {"c":"1101","ex":"tse","t":"10:00:00"},
        {"c":"1102","ex":"xyz","y":"10.00","t":"10:00:00"},
        {"c":"1103","ex":"tse","y":"10.00"},
        {"c":"1104","ex":"otc","y":"10.00","tlong":"1796695323000","z":"10.0001","v":"-5",
         "n":"<b>亞泥</b>\r\n","a":"garbage","b":"10.05_10.00_"},
        {"c":1105,"ex":"tse","y":"10.00","t":"10:00:00"}
    ]})";
    Answer answer;
    std::string error;
    ASSERT_TRUE(ParseAnswer(body, answer, error)) << error;
    ASSERT_EQ(answer.stocks.size(), 1u);
    const Entry& e = answer.stocks[0];
    EXPECT_EQ(e.code, "1104");
    EXPECT_EQ(e.secondOfDay, 10 * 3600 + 2 * 60 + 3);  // epoch milliseconds in Taipei time
    EXPECT_EQ(e.last, 0);                              // more precision than a price has
    EXPECT_EQ(e.volume, -1);
    EXPECT_EQ(e.ask, 0);
    EXPECT_EQ(e.bid, 1005);
    EXPECT_EQ(e.name, ui::Utf8ToBig5("b亞泥/b"));  // nothing that could end a page's cell early

    EXPECT_EQ(ParseUpstreamPrice("545.0000"), 54500);
    EXPECT_EQ(ParseUpstreamPrice("36.8500"), 3685);
    EXPECT_EQ(ParseUpstreamPrice("1030"), 103000);
    for (const char* bad : {"-", "", "545.0010", "-1.00", "1e3", ".5", "12.34.00"})
        EXPECT_EQ(ParseUpstreamPrice(bad), -1) << bad;
}

TEST(TwseQuote, TheLastPriceIsATradeTheSnapshotsThenTheEarlierOneThenPzNeverTheBook) {
    auto morning = Recorded("morning.json");
    auto later = Recorded("later.json");

    // 2317 has no trade in the morning snapshot and no pz: the last price is unknown, the book stays.
    Quote q2317 = ToQuote(morning["2317"], nullptr, {});
    EXPECT_EQ(q2317.last, 0);
    EXPECT_EQ(q2317.bid, 10550);
    EXPECT_EQ(q2317.ask, 10600);
    // Later 2330 has no trade: the morning trade stays the last price; open, high, low come along.
    Quote q2330 = ToQuote(morning["2330"], nullptr, {});
    Quote q2330later = ToQuote(later["2330"], &q2330, {morning["2330"].last, 0});
    EXPECT_EQ(q2330later.last, 103000);
    EXPECT_EQ(q2330later.bid, 102500);
    EXPECT_EQ(q2330later.volume, 23460);
    // Later 2454 has a book but still no trade: still unknown, never the bid or the ask.
    Quote q2454 = ToQuote(morning["2454"], nullptr, {});
    Quote q2454later = ToQuote(later["2454"], &q2454, {});
    EXPECT_EQ(q2454later.last, 0);
    EXPECT_EQ(q2454later.bid, 126500);
    EXPECT_EQ(q2454later.open, 0);
    // pz stands in when this server has seen no trade of the day; a trade it has seen comes first.
    Entry withPz = later["2454"];
    withPz.latestTrade = 126000;
    EXPECT_EQ(ToQuote(withPz, nullptr, {}).last, 126000);
    EXPECT_EQ(ToQuote(withPz, nullptr, {125500, 0}).last, 125500);
    // No limits given: the exchange's rule from the previous close.
    Entry noLimits = morning["1101"];
    noLimits.limitUp = noLimits.limitDown = 0;
    Quote q = ToQuote(noLimits, nullptr, {});
    EXPECT_EQ(q.limitUp, 3685);
    EXPECT_EQ(q.limitDown, 3015);
}

TEST(TwseQuote, TheBoardsScraperReadsThePagesAsTheSimulatorWritesThem) {
    auto morning = Recorded("morning.json");
    const std::string up = ui::Utf8ToBig5("△"), down = ui::Utf8ToBig5("▽"), limitUp = ui::Utf8ToBig5("▲");

    Scraped s = ScrapeOf(morning["2330"], ToQuote(morning["2330"], nullptr, {}));
    ASSERT_TRUE(s.found);
    EXPECT_EQ(s.f[qfName], ui::Utf8ToBig5("台積電"));
    EXPECT_EQ(s.f[qfTradeTime], "10:02:03");
    EXPECT_EQ(s.f[qfLast], "1030");
    EXPECT_EQ(s.f[qfBid], "1030");
    EXPECT_EQ(s.f[qfAsk], "1035");
    EXPECT_EQ(s.f[qfChange].rfind(up + "5", 0), 0u) << s.f[qfChange];
    EXPECT_EQ(s.f[qfVolume], "23,456");
    EXPECT_EQ(s.f[qfPrevClose], "1025");
    EXPECT_EQ(s.f[qfOpen], "1020");
    EXPECT_EQ(s.f[qfHigh], "1035");
    EXPECT_EQ(s.f[qfLow], "1015");
    EXPECT_FLOAT_EQ(s.ref, 1025.0f);

    s = ScrapeOf(morning["1101"], ToQuote(morning["1101"], nullptr, {}));
    EXPECT_EQ(s.f[qfName], ui::Utf8ToBig5("台　泥"));
    EXPECT_EQ(s.f[qfLast], "36.85");
    EXPECT_EQ(s.f[qfAsk], "-");  // no ask at the limit
    EXPECT_EQ(s.f[qfChange].rfind(limitUp + "3.35", 0), 0u) << s.f[qfChange];

    s = ScrapeOf(morning["6488"], ToQuote(morning["6488"], nullptr, {}));
    EXPECT_EQ(s.f[qfLast], "480.5");
    EXPECT_EQ(s.f[qfChange].rfind(down + "19.5", 0), 0u) << s.f[qfChange];
    EXPECT_FLOAT_EQ(QuoteValue(s.f[qfChange]), -19.5f);
    EXPECT_EQ(s.f[qfVolume], "1,234");

    s = ScrapeOf(morning["0050"], ToQuote(morning["0050"], nullptr, {}));
    EXPECT_EQ(s.f[qfLast], "185.35");
    EXPECT_EQ(s.f[qfPrevClose], "184.90");

    // No trade known: shown as before a first trade, the change without a mark, the book as it is.
    s = ScrapeOf(morning["2454"], ToQuote(morning["2454"], nullptr, {}));
    for (int field : {qfLast, qfBid, qfAsk, qfOpen, qfHigh, qfLow}) EXPECT_EQ(s.f[field], "-") << field;
    EXPECT_EQ(s.f[qfChange], "");  // no mark, no figure
    EXPECT_EQ(s.f[qfVolume], "0");
    s = ScrapeOf(morning["2317"], ToQuote(morning["2317"], nullptr, {}));
    EXPECT_EQ(s.f[qfLast], "-");
    EXPECT_EQ(s.f[qfChange], "");  // no mark, no figure
    EXPECT_EQ(s.f[qfBid], "105.5");
}

TEST(TwseDailyCloses, ReadsTheListedAndTheOverTheCounterShapesAndRefusesOthers) {
    std::map<std::string, Cents> closes;
    std::string date, error;
    ASSERT_TRUE(ParseDailyCloses(
        testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/derived-daily-closes-20231222.json"),
        closes, date, error))
        << error;
    EXPECT_EQ(date, "20231222");
    EXPECT_EQ(closes["2330"], 58200);
    EXPECT_EQ(closes["0050"], 13210);
    // The over-the-counter shape adds to what is there; entries without a price are left out.
    ASSERT_TRUE(ParseDailyCloses(R"([{"Date":"1121222","SecuritiesCompanyCode":"6488","Close":"480.50"},)"
                                 R"({"Date":"1121222","SecuritiesCompanyCode":"6499","Close":"----"}])",
                                 closes, date, error));
    EXPECT_EQ(closes.size(), 3u);
    EXPECT_EQ(closes["6488"], 48050);
    EXPECT_FALSE(ParseDailyCloses(R"({"stat":"OK"})", closes, date, error));
    EXPECT_FALSE(ParseDailyCloses("<html>", closes, date, error));
}
