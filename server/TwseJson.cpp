#include "server/TwseJson.h"

#include "ui/core/Big5.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace server::twse {

namespace {

using nlohmann::json;

// Names longer than this many characters are cut.
constexpr std::size_t MaxNameChars = 16;
// The fewest bytes an entry of msgArray takes: {"c":"1","ex":"tse","y":"1"},
constexpr std::size_t SmallestEntryBytes = 29;

// Reads a JSON text as a stream of events in one pass, its time linear in the text's size
// whatever the nesting (which costs the parser a bit a level): only what a reader asks for is
// kept, and values nested deeper than that are passed over, never built. Readers say where they stand through
// Depth(): 0 outside the top value, 1 inside it, and so on. A raised stop flag ends the reading.
class EventReader : public nlohmann::json_sax<json> {
public:
    explicit EventReader(const std::atomic<bool>* stop) : FStop(stop) {}
    // Whether the reading ended because the stop flag was raised.
    bool Stopped() const { return FStopped; }

    bool null() override { return Scalar(nullptr); }
    bool boolean(bool) override { return Scalar(nullptr); }
    bool number_integer(number_integer_t) override { return Scalar(nullptr); }
    bool number_unsigned(number_unsigned_t n) override { return Scalar(nullptr, &n); }
    bool number_float(number_float_t, const string_t&) override { return Scalar(nullptr); }
    bool string(string_t& s) override { return Scalar(&s); }
    bool binary(binary_t&) override { return Scalar(nullptr); }
    bool start_object(std::size_t) override { return Open(true); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_object() override { return Close(true); }
    bool end_array() override { return Close(false); }
    bool key(string_t& name) override { return Going() && Key(name); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

protected:
    int Depth() const { return FDepth; }
    // A scalar value at Depth(): a text, or a whole number (which is no text), or another value.
    virtual bool Value(std::string* text, const number_unsigned_t* whole) = 0;
    // A key of the object at Depth().
    virtual bool Key(std::string& name) = 0;
    // A container begins at Depth() (before it is entered) or ends at Depth() (after it is left).
    virtual bool Begin(bool object) = 0;
    virtual bool End(bool object) = 0;

private:
    bool Going() {
        if (FStop && FStop->load(std::memory_order_relaxed)) FStopped = true;
        return !FStopped;
    }
    bool Scalar(std::string* text, const number_unsigned_t* whole = nullptr) { return Going() && Value(text, whole); }
    bool Open(bool object) {
        if (!Going() || !Begin(object)) return false;
        ++FDepth;
        return true;
    }
    bool Close(bool object) {
        --FDepth;
        return Going() && End(object);
    }

    const std::atomic<bool>* FStop;
    bool FStopped = false;
    int FDepth = 0;
};

// A price field as cents, 0 when it has none.
Cents Price(std::string_view text) {
    Cents p = ParseUpstreamPrice(text);
    return p > 0 ? p : 0;
}

// The first price of a "545.0000_546.0000_..._" list.
Cents BestOf(std::string_view list) { return Price(list.substr(0, list.find('_'))); }

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

// The fields of a msgArray item that a quote is read from: texts, empty when absent or no text
// (of a key given twice, the last counts).
struct ItemFields {
    std::string c, ex, y, t, tlong, n, d, ts, z, pz, o, h, l, b, a, u, w, v;

    // The field a key names, null for keys that are not read.
    std::string* Named(std::string_view key) {
        static const std::pair<std::string_view, std::string ItemFields::*> names[] = {
            {"c", &ItemFields::c},         {"ex", &ItemFields::ex}, {"y", &ItemFields::y}, {"t", &ItemFields::t},
            {"tlong", &ItemFields::tlong}, {"n", &ItemFields::n},   {"d", &ItemFields::d}, {"ts", &ItemFields::ts},
            {"z", &ItemFields::z},         {"pz", &ItemFields::pz}, {"o", &ItemFields::o}, {"h", &ItemFields::h},
            {"l", &ItemFields::l},         {"b", &ItemFields::b},   {"a", &ItemFields::a}, {"u", &ItemFields::u},
            {"w", &ItemFields::w},         {"v", &ItemFields::v}};
        if (key.size() > 5) return nullptr;
        for (const auto& [name, field] : names)
            if (name == key) return &(this->*field);
        return nullptr;
    }
};

// One stock of msgArray; false for an item that is no usable quote. An entry without t and tlong
// is left with a secondOfDay of -1, and one without a date with an empty one, for the answer's
// queryTime to fill in.
bool ParseEntry(const ItemFields& item, Entry& e) {
    e.code = item.c;
    e.market = item.ex;
    e.prevClose = Price(item.y);
    e.secondOfDay = SecondOfDay(item.t);
    if (e.secondOfDay < 0) e.secondOfDay = TaipeiSecondOfDay(item.tlong);
    if (!ValidCode(e.code) || (e.market != "tse" && e.market != "otc") || e.prevClose <= 0) return false;
    e.name = SafeName(item.n);
    e.date = IsDate(item.d) ? item.d : std::string();
    e.trial = item.ts == "1";
    e.last = Price(item.z);
    e.latestTrade = Price(item.pz);
    e.open = Price(item.o);
    e.high = Price(item.h);
    e.low = Price(item.l);
    e.bid = BestOf(item.b);
    e.ask = BestOf(item.a);
    e.limitUp = Price(item.u);
    e.limitDown = Price(item.w);
    const std::string& v = item.v;
    if (!v.empty() && v.size() <= 15 && v.find_first_not_of("0123456789") == std::string::npos)
        e.volume = std::stoll(v);
    return true;
}

// Reads an answer of the quote service: the top object's rtcode, rtmessage, userDelay,
// queryTime and msgArray, whose object items become entries as they end. Of a key given twice,
// the last counts, as for the items' fields.
class AnswerReader : public EventReader {
public:
    using EventReader::EventReader;

    bool topIsObject = false;
    std::string rtcode, rtmessage;
    int userDelayMs = 0;
    bool haveArray = false;
    bool haveQueryTime = false;
    std::string sysTime, sysDate;
    std::vector<Entry> entries;

private:
    // What the current key of the top object, or of queryTime, names.
    enum class Top { Other, RtCode, RtMessage, UserDelay, MsgArray, QueryTime };
    enum class Query { Other, Time, Date };

    bool Value(std::string* text, const number_unsigned_t* whole) override {
        if (Depth() == 0) return false;  // no object: no need to read on
        if (Depth() == 1) {
            if (top == Top::RtCode && text) rtcode = std::move(*text);
            if (top == Top::RtMessage && text) rtmessage = std::move(*text);
            if (top == Top::UserDelay && whole && *whole < 3600 * 1000) userDelayMs = static_cast<int>(*whole);
            if (top == Top::UserDelay && text) userDelayMs = std::max(0, std::atoi(text->substr(0, 7).c_str()));
        } else if (Depth() == 2 && inQueryTime && text) {
            if (query == Query::Time) sysTime = std::move(*text);
            if (query == Query::Date) sysDate = std::move(*text);
        } else if (Depth() == 3 && inItem && field && text) {
            *field = std::move(*text);
        }
        return true;
    }

    bool Key(std::string& name) override {
        if (Depth() == 1) {
            top = name == "rtcode"      ? Top::RtCode
                  : name == "rtmessage" ? Top::RtMessage
                  : name == "userDelay" ? Top::UserDelay
                  : name == "msgArray"  ? Top::MsgArray
                  : name == "queryTime" ? Top::QueryTime
                                        : Top::Other;
            // The value that follows replaces whatever an earlier one of the key gave.
            if (top == Top::RtCode) rtcode.clear();
            if (top == Top::RtMessage) rtmessage.clear();
            if (top == Top::UserDelay) userDelayMs = 0;
            if (top == Top::MsgArray) {
                haveArray = false;
                entries.clear();
            }
            if (top == Top::QueryTime) {
                haveQueryTime = false;
                sysTime.clear();
                sysDate.clear();
            }
        } else if (Depth() == 2 && inQueryTime) {
            query = name == "sysTime" ? Query::Time : name == "sysDate" ? Query::Date : Query::Other;
            if (query == Query::Time) sysTime.clear();
            if (query == Query::Date) sysDate.clear();
        } else if (Depth() == 3 && inItem) {
            field = item.Named(name);
            if (field) field->clear();
        }
        return true;
    }

    bool Begin(bool object) override {
        if (Depth() == 0) {
            topIsObject = object;
            return object;  // anything else is no answer: no need to read on
        }
        if (Depth() == 1 && top == Top::MsgArray && !object) inArray = haveArray = true;
        if (Depth() == 1 && top == Top::QueryTime && object) inQueryTime = haveQueryTime = true;
        if (Depth() == 2 && inArray && object) {
            inItem = true;
            item = {};
            field = nullptr;
        }
        if (Depth() == 3 && inItem) field = nullptr;  // a field that is no text
        return true;
    }

    bool End(bool) override {
        if (Depth() == 1) inArray = inQueryTime = false;
        if (Depth() == 2 && inItem) {
            inItem = false;
            Entry e;
            if (ParseEntry(item, e)) entries.push_back(std::move(e));
        }
        return true;
    }

    Top top = Top::Other;
    Query query = Query::Other;
    bool inArray = false, inQueryTime = false, inItem = false;
    ItemFields item;
    std::string* field = nullptr;  // of the item's current key
};

// Reads the published daily quotes: an array of objects, of which Date, Code or
// SecuritiesCompanyCode, and ClosingPrice or Close are kept as each ends, for those that have a
// code and a price.
class DailyClosesReader : public EventReader {
public:
    using EventReader::EventReader;

    struct Item {
        std::string code;
        Cents close = 0;
        std::string date;
    };
    bool topIsArray = false;
    std::vector<Item> items;

private:
    enum Field { Code, CompanyCode, ClosingPrice, Close, Date, Fields };

    bool Value(std::string* text, const number_unsigned_t*) override {
        if (Depth() == 0) return false;  // no array: no need to read on
        if (Depth() == 2 && inItem && field && text) *field = std::move(*text);
        return true;
    }
    bool Key(std::string& name) override {
        if (Depth() != 2 || !inItem) return true;
        field = name == "Code"                    ? &fields[Code]
                : name == "SecuritiesCompanyCode" ? &fields[CompanyCode]
                : name == "ClosingPrice"          ? &fields[ClosingPrice]
                : name == "Close"                 ? &fields[Close]
                : name == "Date"                  ? &fields[Date]
                                                  : nullptr;
        if (field) field->clear();
        return true;
    }
    bool Begin(bool object) override {
        if (Depth() == 0) {
            topIsArray = !object;
            return topIsArray;
        }
        if (Depth() == 1 && object) {
            inItem = true;
            for (std::string& f : fields) f.clear();
            field = nullptr;
        }
        if (Depth() == 2 && inItem) field = nullptr;  // a field that is no text
        return true;
    }
    bool End(bool) override {
        if (Depth() == 1 && inItem) {
            inItem = false;
            // Only codes with a price are kept, so that a hostile text costs no memory for its
            // empty objects.
            std::string& code = fields[Code].empty() ? fields[CompanyCode] : fields[Code];
            Cents close = ParseUpstreamPrice(fields[ClosingPrice].empty() ? fields[Close] : fields[ClosingPrice]);
            if (ValidCode(code) && close > 0) items.push_back({std::move(code), close, std::move(fields[Date])});
        }
        return true;
    }

    bool inItem = false;
    std::string fields[Fields];
    std::string* field = nullptr;  // of the item's current key
};

// Runs a reader over body; false when the text is no JSON or the reader refused it.
bool Read(std::string_view body, EventReader& reader) { return json::sax_parse(body.begin(), body.end(), &reader); }

}  // namespace

bool ParseAnswer(std::string_view body, Answer& answer, std::string& error, const std::atomic<bool>* stop) {
    answer = {};
    AnswerReader reader(stop);
    // Room for as many entries as the text could hold, so that none is moved as they come: pages
    // of it that no entry fills are never touched.
    reader.entries.reserve(body.size() / SmallestEntryBytes + 1);
    if (!Read(body, reader) || !reader.topIsObject) {
        error = reader.Stopped() ? "the reading was stopped" : "the answer is not a JSON object";
        return false;
    }
    answer.missingArray = !reader.haveArray;
    if (reader.rtcode != "0000") {
        std::string message = SafeName(reader.rtmessage);
        error = "rtcode \"" + reader.rtcode.substr(0, 16) + "\"" +
                (message.empty() ? "" : " (" + ui::Big5ToUtf8(message) + ")");
        return false;
    }
    if (answer.missingArray) {
        error = "the answer has no msgArray";
        return false;
    }
    answer.userDelayMs = reader.userDelayMs;

    // The answer's own clock stands in for an entry's missing time and date.
    std::string date;
    int second = -1;
    if (reader.haveQueryTime) {
        date = reader.sysDate;
        second = SecondOfDay(reader.sysTime);
        if (IsDate(date) && second >= 0)
            answer.time = date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + " " + reader.sysTime;
        if (!IsDate(date)) date.clear();
    }
    for (Entry& e : reader.entries) {
        if (e.secondOfDay < 0) e.secondOfDay = second;
        if (e.date.empty()) e.date = date;
    }
    std::erase_if(reader.entries, [](const Entry& e) { return e.secondOfDay < 0; });
    answer.stocks = std::move(reader.entries);
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
                      std::string& error, const std::atomic<bool>* stop) {
    DailyClosesReader reader(stop);
    if (!Read(body, reader) || !reader.topIsArray) {
        error = reader.Stopped() ? "the reading was stopped" : "the daily quotes are not a JSON array";
        return false;
    }
    for (const DailyClosesReader::Item& item : reader.items) {
        closes[item.code] = item.close;
        const std::string& roc = item.date;
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
