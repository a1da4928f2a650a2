#pragma once
// The HTML pages of the quote server, in Big5.
//
// A quote page carries the stock's row one cell per line, in this order, each line ending in
// a closing tag right after its value (the board cuts each value up to the first "</" of its
// line):
//   anchor line   <td ...><a href="/q/bc?s=CODE">CODE + name + </a>...   (nothing closes before)
//   +1  time of the last trade, hh:mm:ss         <td align="center" bgcolor="#FFFfff" nowrap>
//   +2  last price                               <td align="center" bgcolor="#FFFfff" nowrap><b>
//   +3  bid, +4 ask                              plain cell
//   +5  change: a colour tag, the mark (△ ▽, ▲ ▼ at the limits; none when unchanged), the
//       figure, then only closing tags
//   +6  volume in lots with thousands commas, +7 previous close, +8 open, +9 high, +10 low
// Before a stock's first trade its prices show "-", its volume 0; so does any price of 0. A last
// price of 0 (a live feed that has not told one) leaves the change cell without a mark, as before
// the first trade.
#include "server/Market.h"
#include "server/Universe.h"

#include <string>
#include <string_view>

namespace server {

// The time of day of a session second: "hh:mm:ss", wrapping at midnight.
std::string FormatTimeOfDay(std::int64_t secondOfDay);

std::string QuotePage(const Listing& stock, const Quote& quote, int openSecondOfDay);
// The page for a code the server does not know: the same frame, a message, no quote row.
std::string UnknownStockPage(std::string_view code);
// The page for a stock whose quote cannot be had at the moment (a live feed that is down): the
// same frame, a message, no quote row.
std::string UnavailablePage(std::string_view code);
// True for a page of UnavailablePage: it is served with the status 503.
bool IsUnavailablePage(std::string_view page);
// A short page for an HTTP error status (404, 400, 500).
std::string ErrorPage(int status);

// The content type all pages are served with.
inline constexpr const char* PageContentType = "text/html; charset=big5";

}  // namespace server
