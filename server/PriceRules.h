#pragma once
// Prices of the Taiwan exchanges as the quote server keeps them: whole cents (hundredths of a
// dollar), so tick arithmetic is exact. Ticks depend on the price band; ETFs have bands of
// their own. Daily limits are 10% either side of the previous close, rounded inward to a tick.
#include <cstdint>
#include <string>
#include <string_view>

namespace server {

using Cents = std::int64_t;

// The tick of the band that holds price: the step to the next price up.
Cents TickSize(Cents price, bool etf);
// One tick up from price, and one tick down (which uses the band below when price sits on a
// band's lower edge: 50.00 goes down to 49.95, up to 50.10).
Cents TickUp(Cents price, bool etf);
Cents TickDown(Cents price, bool etf);
// True when price is positive and a whole number of its band's ticks.
bool OnGrid(Cents price, bool etf);
// The highest grid price not above price (price > 0).
Cents GridFloor(Cents price, bool etf);

// Highest price at or below 110% of prevClose, lowest at or above 90% of it, both on the grid.
Cents LimitUp(Cents prevClose, bool etf);
Cents LimitDown(Cents prevClose, bool etf);

// Decimals a price of this band is shown with: 2 for ticks of 0.01 and 0.05, 1 for 0.1 and
// 0.5, none for 1 and 5. A price off the band's grid gets as many as it needs (1001.5 in the
// band of 5: 1), so it is never shown rounded.
int PriceDecimals(Cents price, bool etf);
std::string FormatPrice(Cents price, bool etf);
// |last - prevClose| with as many decimals as either price needs, without a sign.
std::string FormatChange(Cents last, Cents prevClose, bool etf);
// A whole number with thousands commas: 12,345.
std::string FormatLots(std::int64_t lots);

// Reads "1025", "33.5" or "15.15" into cents; -1 when the text is not such a number (no sign,
// at most two decimals).
Cents ParsePrice(std::string_view text);

}  // namespace server
