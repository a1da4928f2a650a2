// Reading the exchange's answers into quotes, and the pages written from them as the board's own
// scraper reads them.
#include "server/TwseJson.h"
#include "quote/fQuoteDef.h"
#include "server/QuotePage.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <random>

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

// What an answer read to: the outcome and every field of every entry, for comparing two readings.
std::string Reading(const std::string& body) {
    Answer a;
    std::string error;
    bool ok = ParseAnswer(body, a, error);
    std::string r = (ok ? "ok " : "refused ") + error + " delay " + std::to_string(a.userDelayMs) + " time " + a.time +
                    (a.missingArray ? " no array" : "");
    for (const Entry& e : a.stocks)
        for (const std::string& f :
             {e.code, e.market, e.name, e.date, std::to_string(e.secondOfDay), std::to_string(e.trial),
              std::to_string(e.last), std::to_string(e.latestTrade), std::to_string(e.bid), std::to_string(e.ask),
              std::to_string(e.open), std::to_string(e.high), std::to_string(e.low), std::to_string(e.prevClose),
              std::to_string(e.limitUp), std::to_string(e.limitDown), std::to_string(e.volume)})
            r += "|" + f;
    return r;
}

// The part of a parsed answer that is read: the top object's texts and whole numbers, queryTime's
// texts, and the texts of msgArray's objects. Whatever else an answer holds (nesting, values
// that are no texts, keys given twice but for the last) must not change what it reads to.
nlohmann::json ReadPart(const nlohmann::json& doc) {
    auto texts = [](const nlohmann::json& object) {
        nlohmann::json kept = nlohmann::json::object();
        for (const auto& [key, value] : object.items())
            if (value.is_string()) kept[key] = value;
        return kept;
    };
    if (!doc.is_object()) return doc;
    nlohmann::json kept = texts(doc);
    if (auto delay = doc.find("userDelay"); delay != doc.end() && delay->is_number_unsigned())
        kept["userDelay"] = *delay;
    if (auto query = doc.find("queryTime"); query != doc.end() && query->is_object()) kept["queryTime"] = texts(*query);
    if (auto array = doc.find("msgArray"); array != doc.end() && array->is_array()) {
        kept["msgArray"] = nlohmann::json::array();
        for (const nlohmann::json& item : *array)
            if (item.is_object()) kept["msgArray"].push_back(texts(item));
    }
    return kept;
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

// Hostile answers up to the size the gateway takes read as what they hold, and a raised stop
// flag ends a reading.
TEST(TwseAnswer, HostileAnswersReadAsWhatTheyHold) {
    const std::string head = R"({"rtcode":"0000","queryTime":{"sysDate":"20261208","sysTime":"10:00:00"},"msgArray":[)";
    const std::string entry = R"({"c":"2330","ex":"tse","y":"1025.00","z":"1030.00"})";
    const std::size_t cap = 4 << 20;
    Answer answer;
    std::string error;

    // A million empty objects, then a stock: all read, the stock kept.
    std::string empties = head;
    empties.reserve(cap);
    while (empties.size() + 3 + entry.size() + 2 < cap) empties += "{},";
    ASSERT_TRUE(ParseAnswer(empties + entry + "]}", answer, error)) << error;
    ASSERT_EQ(answer.stocks.size(), 1u);
    EXPECT_EQ(answer.stocks[0].last, 103000);
    EXPECT_EQ(answer.stocks[0].secondOfDay, 10 * 3600);

    // Nesting two million deep as a field's value and as an item: the field reads as missing.
    const std::size_t deep = (cap - head.size() - entry.size()) / 2 - 64;
    std::string nested = head + R"({"c":"2330","ex":"tse","y":"1025.00","z":)" + std::string(deep, '[') +
                         std::string(deep, ']') + R"(,"v":"7"},)" + entry + "]}";
    ASSERT_TRUE(ParseAnswer(nested, answer, error)) << error;
    ASSERT_EQ(answer.stocks.size(), 2u);
    EXPECT_EQ(answer.stocks[0].last, 0);
    EXPECT_EQ(answer.stocks[0].volume, 7);
    std::string objects = head;
    for (std::size_t i = 0; i < deep / 3; ++i) objects += R"({"a":)";
    objects += "0" + std::string(deep / 3, '}') + "," + entry + "]}";
    ASSERT_TRUE(ParseAnswer(objects, answer, error)) << error;
    EXPECT_EQ(answer.stocks.size(), 1u);

    // A name of 4 MB is cut to a page's name.
    std::string huge = head + R"({"c":"2330","ex":"tse","y":"1025.00","t":"10:00:00","n":")" +
                       std::string(cap - head.size() - 80, 'x') + R"("}]})";
    ASSERT_TRUE(ParseAnswer(huge, answer, error)) << error;
    ASSERT_EQ(answer.stocks.size(), 1u);
    EXPECT_EQ(answer.stocks[0].name, std::string(16, 'x'));

    // The daily quotes the same.
    std::map<std::string, Cents> published;
    std::string day, daily = "[";
    while (daily.size() + 64 < cap) daily += "{},";
    ASSERT_TRUE(
        ParseDailyCloses(daily + R"({"Date":"1121222","Code":"2330","ClosingPrice":"582.00"}])", published, day, error))
        << error;
    EXPECT_EQ(published, (std::map<std::string, Cents>{{"2330", 58200}}));
    EXPECT_EQ(day, "20231222");

    std::atomic<bool> stop = true;
    EXPECT_FALSE(ParseAnswer(empties + entry + "]}", answer, error, &stop));
    EXPECT_NE(error.find("stopped"), std::string::npos) << error;
    std::map<std::string, Cents> closes;
    std::string date;
    EXPECT_FALSE(ParseDailyCloses(R"([{"Code":"2330","ClosingPrice":"582.00"}])", closes, date, error, &stop));
    EXPECT_TRUE(closes.empty());
}

// Recorded answers bent at random (values swapped for nesting, numbers, nulls and long texts;
// keys repeated; bytes changed or cut): an answer that is no JSON is refused, and any other reads
// exactly as the part of it that is read.
TEST(TwseAnswer, BentAnswersReadAsTheirReadPart) {
    std::vector<std::string> recorded;
    for (const char* file : {"morning.json", "later.json", "nosession.json", "rtcode.json", "ticks.json",
                             "derived-trial-20170724.json", "derived-without-time-20231222.json"})
        recorded.push_back(testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/" + file));
    std::mt19937 random(29);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const std::vector<nlohmann::json> odd = {
        nullptr,
        5000,
        -3,
        1.5,
        true,
        nlohmann::json::array(),
        nlohmann::json::object(),
        nlohmann::json::parse(std::string(40, '[') + std::string(40, ']')),
        nlohmann::json::parse(R"({"c":{"c":"1"}})"),
        nlohmann::json::parse(R"([{"c":"2330","ex":"tse","y":"10.00","t":"10:00:00"}])"),
        "",
        std::string(3000, 'z'),
        "0000",
        "10:00:00",
        "1101",
        "tse",
        "12.5"};
    // A random value somewhere inside doc, and the object or array holding it.
    std::function<void(nlohmann::json&)> bend = [&](nlohmann::json& doc) {
        if (doc.is_object() && !doc.empty()) {
            auto it = std::next(doc.begin(), static_cast<std::ptrdiff_t>(pick(doc.size())));
            if (pick(3) == 0 || !it->is_structured())
                *it = odd[pick(odd.size())];
            else
                bend(*it);
        } else if (doc.is_array() && !doc.empty()) {
            bend(doc[pick(doc.size())]);
        }
    };
    int refused = 0, read = 0;
    for (int round = 0; round < 1500; ++round) {
        std::string text = recorded[pick(recorded.size())];
        nlohmann::json doc = nlohmann::json::parse(text);
        for (std::size_t n = 1 + pick(4); n > 0; --n) bend(doc);
        text = doc.dump();
        if (pick(2) == 0) {  // a key twice, the odd value first, or last after a text or a number
            std::size_t at = text.find("\":", pick(text.size()));
            std::size_t open = at == std::string::npos ? std::string::npos : text.rfind('"', at - 1);
            std::string key = open == std::string::npos ? "" : text.substr(open, at + 2 - open);
            std::string value = odd[pick(odd.size())].dump();
            std::size_t end = at + 2;
            if (!key.empty() && end < text.size() && text[end] == '"' && pick(2)) {
                do ++end;  // past the text, whose quotes inside are escaped
                while (end < text.size() && (text[end] != '"' || text[end - 1] == '\\'));
                if (end < text.size()) text.insert(end + 1, "," + key + value);
            } else if (!key.empty() && end < text.size() && text[end] != '{' && text[end] != '[' && pick(2)) {
                text.insert(std::min(text.find_first_of(",}]", end), text.size()), "," + key + value);
            } else if (!key.empty()) {
                text.insert(open, key + value + ",");
            }
        }
        if (pick(4) == 0) {  // bytes changed or cut
            for (std::size_t n = 1 + pick(3); n > 0; --n) text[pick(text.size())] = "{}[]\",:0a \\"[pick(11)];
            if (pick(2)) text.resize(pick(text.size()));
        }
        SCOPED_TRACE(text.substr(0, 2000));
        nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
        if (parsed.is_discarded()) {
            Answer answer;
            std::string error;
            EXPECT_FALSE(ParseAnswer(text, answer, error));
            ++refused;
        } else {
            EXPECT_EQ(Reading(text), Reading(ReadPart(parsed).dump()));
            ++read;
        }
    }
    EXPECT_GT(refused, 100);
    EXPECT_GT(read, 800);
}
