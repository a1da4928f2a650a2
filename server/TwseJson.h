#pragma once
// Reading the exchange's real-time quote service (getStockInfo.jsp): its JSON answer turned into
// the quotes the pages show.
//
// An answer is an object with "rtcode" ("0000" on success), "rtmessage", "userDelay" (the
// milliseconds the service asks its clients to wait between requests), "queryTime" (its clock:
// "sysDate" yyyymmdd, "sysTime" hh:mm:ss) and "msgArray", one object
// per stock whose fields are texts: c code, n short name, ex "tse" or "otc", z last trade price
// ("-" when the snapshot carries no trade, which is most snapshots, and all through the closing
// call auction), pz the price of the latest trade the service knows, y previous close, o open, h high, l low, v volume
// in lots, a / b the best asks / bids joined by "_" (best first), u / w the limits, t "hh:mm:ss" of the last trade, d
// "yyyymmdd", tlong epoch milliseconds. Prices are decimal texts ("545.0000").
#include "server/Market.h"
#include "server/Universe.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace server::twse {

// One stock of an answer. Prices are in cents, 0 where the answer has none.
struct Entry {
    std::string code;       // "2330"
    std::string market;     // "tse" or "otc"
    std::string name;       // Big5, safe to write into a page; may be empty
    std::string date;       // "yyyymmdd"; empty when the answer has none
    int secondOfDay = 0;    // time of the last trade, Taipei time
    Cents last = 0;         // 0: no trade in this snapshot
    Cents latestTrade = 0;  // "pz"; 0 when not given
    Cents bid = 0, ask = 0, open = 0, high = 0, low = 0;
    Cents prevClose = 0, limitUp = 0, limitDown = 0;
    std::int64_t volume = -1;  // -1: none given
};

struct Answer {
    std::vector<Entry> stocks;
    int userDelayMs = 0;        // 0 when not given
    std::string time;           // the service's clock at the answer, "yyyy-mm-dd hh:mm:ss"; empty when not given
    bool missingArray = false;  // a JSON object without msgArray: the service wants a session
};

// Reads an answer. False with a one-line reason for text that is no JSON object, an rtcode
// other than "0000", or no msgArray. Entries without a code of letters and digits, a market,
// a previous close or a time are left out; so are fields that do not read.
bool ParseAnswer(std::string_view body, Answer& answer, std::string& error);

// A decimal text as cents: "545.0000" -> 54500. Digits beyond the second decimal must be
// zeros. -1 for "-", an empty text or anything else.
Cents ParseUpstreamPrice(std::string_view text);

// A stock code the service can be asked about: 1 to 8 ASCII letters and digits.
bool ValidCode(std::string_view code);

// The quote a page shows for an entry, given the quote shown for the same stock on the same
// day before (or null) and the price of the stock's last trade seen that day (0: none). The
// last price is always a trade: the entry's, else that earlier trade, else the entry's "pz",
// else none (0, which the page shows as not traded yet); the book never stands in for it.
// Fields the entry lacks keep the earlier quote's values.
// The time is a second of the day (write the page with an opening second of 0).
Quote ToQuote(const Entry& entry, const Quote* earlier, Cents earlierTrade);

// The listing a page is written for: code, name, previous close, ETF ticks for "00" codes.
Listing ToListing(const Entry& entry);

}  // namespace server::twse
