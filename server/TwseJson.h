#pragma once
// Reading the exchange's real-time quote service (getStockInfo.jsp): its JSON answer turned into
// the quotes the pages show.
//
// An answer is an object with "rtcode" ("0000" on success), "rtmessage", "userDelay" (the
// milliseconds the service asks its clients to wait between requests), "queryTime" (its clock:
// "sysDate" yyyymmdd, "sysTime" hh:mm:ss) and "msgArray", one object
// per stock whose fields are texts: c code, n short name, ex "tse" or "otc", z last trade price
// ("-" when the snapshot carries no trade, which is most snapshots), pz the price of the latest
// trade the service knows, y previous close, o open, h high, l low, v volume in lots, a / b the
// best asks / bids joined by "_" (best first), u / w the limits, t "hh:mm:ss" of the snapshot, d
// "yyyymmdd", tlong epoch milliseconds, ts "1" for a snapshot of a call auction's trial matching
// (before the open, 08:30 to 09:00, and in the closing auction, 13:25 to 13:30), whose z and pz
// are the trial price, no trade. Prices are decimal texts ("545.0000").
#include "server/Market.h"
#include "server/Universe.h"

#include <atomic>
#include <cstdint>
#include <map>
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
    int secondOfDay = 0;    // time of the snapshot, Taipei time
    bool trial = false;     // a trial matching of a call auction: last and latestTrade are no trades
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

// Reads an answer, in one pass whose time grows with the answer's size, whatever its nesting.
// False with a one-line reason for text that is no JSON object, an rtcode other than "0000", or
// no msgArray. An entry without t and tlong takes the time (and one without d the date) of the
// answer's queryTime. Entries without a code of letters and digits, a market, a previous close
// or any time are left out; so are fields that do not read. Once *stop turns true the reading
// ends soon, false.
bool ParseAnswer(std::string_view body, Answer& answer, std::string& error, const std::atomic<bool>* stop = nullptr);

// A decimal text as cents: "545.0000" -> 54500. Digits beyond the second decimal must be
// zeros. -1 for "-", an empty text or anything else.
Cents ParseUpstreamPrice(std::string_view text);

// A stock code the service can be asked about: 1 to 8 ASCII letters and digits.
bool ValidCode(std::string_view code);

// The trades of a stock's day seen so far.
struct Seen {
    Cents trade = 0;  // the last trade of the day seen (z of a snapshot that is no trial)
    Cents close = 0;  // the closing trade: z of a snapshot after the closing auction
};

// The second of the day the closing auction ends, and the one it starts.
inline constexpr int CloseSecond = 13 * 3600 + 30 * 60;
inline constexpr int ClosingAuctionSecond = 13 * 3600 + 25 * 60;
inline constexpr int OpenSecond = 9 * 3600;

// The quote a page shows for an entry, given the quote shown for the same stock on the same
// day before (or null) and the trades of that day seen so far. The last price is always a
// trade, never a trial price nor the book:
//  - in the session (before 13:30): the entry's trade, else the last one seen, else the
//    entry's "pz" when the entry is a snapshot of continuous trading (09:00 to 13:25, no trial),
//    else none;
//  - after the close (13:30 on): the closing trade, the entry's or one seen before, else none
//    (pz may differ from the official close, and the last trade seen before the auction is
//    not the close).
// None is 0, which the page shows without a price and without a change. Fields the entry lacks
// keep the earlier quote's values. The time is a second of the day (write the page with an
// opening second of 0).
Quote ToQuote(const Entry& entry, const Quote* earlier, const Seen& seen);

// What an entry adds to the trades seen on its day.
void See(const Entry& entry, Seen& seen);

// Reads the exchange's published daily quotes of all stocks (open data: a JSON array of objects
// with "Date" as a ROC date "1150326", the code as "Code" or "SecuritiesCompanyCode", the close as
// "ClosingPrice" or "Close") into closes by code, adding to what closes holds; date is the
// yyyymmdd of the first entry that has one. False with a reason for text that is no such array
// (closes and date are then left as they were), and soon once *stop turns true.
bool ParseDailyCloses(std::string_view body, std::map<std::string, Cents>& closes, std::string& date,
                      std::string& error, const std::atomic<bool>* stop = nullptr);

// The listing a page is written for: code, name, previous close, ETF ticks for "00" codes.
Listing ToListing(const Entry& entry);

}  // namespace server::twse
