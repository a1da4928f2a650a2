#include "server/TwseJson.h"

#include "ui/core/Big5.h"

#include <nlohmann/json.hpp>

namespace server::twse {

namespace {

using nlohmann::json;

// Nesting deeper than an answer has is dropped while parsing, so a hostile answer cannot make
// the parser's result arbitrarily deep.
constexpr int MaxDepth = 8;
// Names longer than this many characters are cut.
constexpr std::size_t MaxNameChars = 16;

// The text of a string field, empty when absent or not a string.
std::string Text(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return {};
    return it->get<std::string>();
}

Cents Price(const json& object, const char* key) {
    Cents p = ParseUpstreamPrice(Text(object, key));
    return p > 0 ? p : 0;
}

// The first price of a "545.0000_546.0000_..._" list.
Cents BestOf(const json& object, const char* key) {
    std::string list = Text(object, key);
    Cents p = ParseUpstreamPrice(std::string_view(list).substr(0, list.find('_')));
    return p > 0 ? p : 0;
}

// "hh:mm:ss" as seconds since midnight, -1 when it is not such a time.
int SecondOfDay(const std::string& t) {
    if (t.size() != 8 || t[2] != ':' || t[5] != ':') return -1;
    int parts[3];
    for (int i = 0; i < 3; ++i) {
        char a = t[static_cast<std::size_t>(i * 3)], b = t[static_cast<std::size_t>(i * 3 + 1)];
        if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
        parts[i] = (a - '0') * 10 + (b - '0');
    }
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return -1;
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

// Epoch milliseconds as a second of the day in Taipei (UTC+8, no daylight saving).
int TaipeiSecondOfDay(const std::string& tlong) {
    if (tlong.empty() || tlong.size() > 15 || tlong.find_first_not_of("0123456789") != std::string::npos) return -1;
    long long ms = std::stoll(tlong);
    return static_cast<int>((ms / 1000 + 8 * 3600) % 86400);
}

// A name as a page can carry it: no markup or control characters, at most MaxNameChars
// characters, in Big5.
std::string SafeName(const std::string& utf8) {
    std::string kept;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < utf8.size() && chars < MaxNameChars;) {
        auto c = static_cast<unsigned char>(utf8[i]);
        std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (i + len > utf8.size()) break;
        bool drop = len == 1 && (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&' || c == '"');
        if (!drop) {
            kept.append(utf8, i, len);
            ++chars;
        }
        i += len;
    }
    return ui::Trim(ui::Utf8ToBig5(kept));
}

}  // namespace

Cents ParseUpstreamPrice(std::string_view text) {
    std::size_t dot = text.find('.');
    if (dot != std::string_view::npos && dot + 3 < text.size()) {
        std::string_view extra = text.substr(dot + 3);
        if (extra.find_first_not_of('0') != std::string_view::npos) return -1;
        text = text.substr(0, dot + 3);
    }
    return ParsePrice(text);
}

bool ValidCode(std::string_view code) {
    if (code.empty() || code.size() > 8) return false;
    for (char c : code)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    return true;
}

namespace {

bool IsDate(const std::string& d) { return d.size() == 8 && d.find_first_not_of("0123456789") == std::string::npos; }

// One stock of msgArray; false for an item that is no usable quote. The answer's own date and
// second of the day (-1: none) stand in for an entry's that are missing.
bool ParseEntry(const json& item, Entry& e, const std::string& answerDate, int answerSecond) {
    e.code = Text(item, "c");
    e.market = Text(item, "ex");
    e.prevClose = Price(item, "y");
    e.secondOfDay = SecondOfDay(Text(item, "t"));
    if (e.secondOfDay < 0) e.secondOfDay = TaipeiSecondOfDay(Text(item, "tlong"));
    if (e.secondOfDay < 0) e.secondOfDay = answerSecond;
    if (!ValidCode(e.code) || (e.market != "tse" && e.market != "otc") || e.prevClose <= 0 || e.secondOfDay < 0)
        return false;
    e.name = SafeName(Text(item, "n"));
    e.date = Text(item, "d");
    if (!IsDate(e.date)) e.date = answerDate;
    e.trial = Text(item, "ts") == "1";
    e.last = Price(item, "z");
    e.latestTrade = Price(item, "pz");
    e.open = Price(item, "o");
    e.high = Price(item, "h");
    e.low = Price(item, "l");
    e.bid = BestOf(item, "b");
    e.ask = BestOf(item, "a");
    e.limitUp = Price(item, "u");
    e.limitDown = Price(item, "w");
    std::string v = Text(item, "v");
    if (!v.empty() && v.size() <= 15 && v.find_first_not_of("0123456789") == std::string::npos)
        e.volume = std::stoll(v);
    return true;
}

}  // namespace

bool ParseAnswer(std::string_view body, Answer& answer, std::string& error) {
    answer = {};
    json::parser_callback_t shallow = [](int depth, json::parse_event_t, json&) { return depth <= MaxDepth; };
    json doc = json::parse(body.begin(), body.end(), shallow, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "the answer is not a JSON object";
        return false;
    }
    auto array = doc.find("msgArray");
    answer.missingArray = array == doc.end() || !array->is_array();
    std::string rtcode = Text(doc, "rtcode");
    if (rtcode != "0000") {
        std::string message = SafeName(Text(doc, "rtmessage"));
        error =
            "rtcode \"" + rtcode.substr(0, 16) + "\"" + (message.empty() ? "" : " (" + ui::Big5ToUtf8(message) + ")");
        return false;
    }
    if (answer.missingArray) {
        error = "the answer has no msgArray";
        return false;
    }
    if (auto delay = doc.find("userDelay"); delay != doc.end()) {
        if (delay->is_number_unsigned() && delay->get<std::uint64_t>() < 3600 * 1000)
            answer.userDelayMs = static_cast<int>(delay->get<std::uint64_t>());
        else if (delay->is_string())
            answer.userDelayMs = std::max(0, std::atoi(Text(doc, "userDelay").substr(0, 7).c_str()));
    }

    std::string date;
    int second = -1;
    if (auto query = doc.find("queryTime"); query != doc.end() && query->is_object()) {
        std::string time = Text(*query, "sysTime");
        date = Text(*query, "sysDate");
        second = SecondOfDay(time);
        if (IsDate(date) && second >= 0)
            answer.time = date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + " " + time;
        if (!IsDate(date)) date.clear();
    }

    for (const json& item : *array) {
        Entry e;
        if (item.is_object() && ParseEntry(item, e, date, second)) answer.stocks.push_back(std::move(e));
    }
    return true;
}

Quote ToQuote(const Entry& e, const Quote* earlier, const Seen& seen) {
    Quote q;
    bool etf = e.code.rfind("00", 0) == 0;
    q.traded = true;
    q.tradeSecond = e.secondOfDay;
    q.prevClose = e.prevClose;
    q.limitUp = e.limitUp > 0 ? e.limitUp : LimitUp(e.prevClose, etf);
    q.limitDown = e.limitDown > 0 ? e.limitDown : LimitDown(e.prevClose, etf);
    q.bid = e.bid;
    q.ask = e.ask;
    auto keep = [&](Cents now, Cents Quote::*field) { return now > 0 ? now : earlier ? earlier->*field : 0; };
    q.open = keep(e.open, &Quote::open);
    q.high = keep(e.high, &Quote::high);
    q.low = keep(e.low, &Quote::low);
    q.volume = e.volume >= 0 ? e.volume : earlier ? earlier->volume : 0;
    Cents trade = e.trial ? 0 : e.last;
    if (e.secondOfDay >= CloseSecond) {
        q.last = trade > 0 ? trade : seen.close;
    } else {
        bool continuous = !e.trial && e.secondOfDay >= OpenSecond && e.secondOfDay < ClosingAuctionSecond;
        q.last = trade > 0 ? trade : seen.trade > 0 ? seen.trade : continuous ? e.latestTrade : 0;
    }
    // A trial snapshot tells no trade: the time stays the last trade's.
    if (e.trial && earlier) q.tradeSecond = earlier->tradeSecond;
    return q;
}

void See(const Entry& e, Seen& seen) {
    if (e.trial || e.last <= 0) return;
    seen.trade = e.last;
    if (e.secondOfDay >= CloseSecond) seen.close = e.last;
}

bool ParseDailyCloses(std::string_view body, std::map<std::string, Cents>& closes, std::string& date,
                      std::string& error) {
    json::parser_callback_t shallow = [](int depth, json::parse_event_t, json&) { return depth <= MaxDepth; };
    json doc = json::parse(body.begin(), body.end(), shallow, /*allow_exceptions=*/false);
    if (doc.is_discarded() || !doc.is_array()) {
        error = "the daily quotes are not a JSON array";
        return false;
    }
    for (const json& item : doc) {
        if (!item.is_object()) continue;
        std::string code = Text(item, "Code");
        if (code.empty()) code = Text(item, "SecuritiesCompanyCode");
        std::string close = Text(item, "ClosingPrice");
        if (close.empty()) close = Text(item, "Close");
        Cents price = ParseUpstreamPrice(close);
        if (!ValidCode(code) || price <= 0) continue;
        closes[code] = price;
        std::string roc = Text(item, "Date");
        if (date.empty() && roc.size() == 7 && roc.find_first_not_of("0123456789") == std::string::npos)
            date = std::to_string(std::stoi(roc.substr(0, 3)) + 1911) + roc.substr(3);
    }
    return true;
}

Listing ToListing(const Entry& e) {
    Listing l;
    l.code = e.code;
    l.name = e.name;
    l.prevClose = e.prevClose;
    l.etf = e.code.rfind("00", 0) == 0;
    return l;
}

}  // namespace server::twse
