#include "server/PriceRules.h"

#include <algorithm>
#include <cstdlib>

namespace server {

Cents TickSize(Cents price, bool etf) {
    if (etf) return price < 5000 ? 1 : 5;
    if (price < 1000) return 1;
    if (price < 5000) return 5;
    if (price < 10000) return 10;
    if (price < 50000) return 50;
    if (price < 100000) return 100;
    return 500;
}

Cents TickUp(Cents price, bool etf) { return price + TickSize(price, etf); }

Cents TickDown(Cents price, bool etf) { return price - TickSize(price - 1, etf); }

bool OnGrid(Cents price, bool etf) { return price > 0 && price % TickSize(price, etf) == 0; }

Cents GridFloor(Cents price, bool etf) {
    Cents tick = TickSize(price, etf);
    return price / tick * tick;
}

// Band edges are multiples of the ticks on both sides, so rounding within the band of the
// unrounded limit always lands on the grid.
Cents LimitUp(Cents prevClose, bool etf) {
    Cents tenths = prevClose * 11;  // the limit in tenths of a cent
    Cents tick = TickSize(tenths / 10, etf);
    return tenths / (10 * tick) * tick;
}

Cents LimitDown(Cents prevClose, bool etf) {
    Cents tenths = prevClose * 9;
    Cents tick = TickSize(tenths / 10, etf);
    Cents step = 10 * tick;
    return std::max<Cents>((tenths + step - 1) / step * tick, TickSize(1, etf));
}

int PriceDecimals(Cents price, bool etf) {
    Cents tick = TickSize(price, etf);
    // A price off its band's grid (a live feed's) keeps the decimals it needs.
    Cents unit = price % tick == 0 ? tick : price % 100 == 0 ? 100 : price % 10 == 0 ? 10 : 1;
    if (unit % 100 == 0) return 0;
    if (unit % 10 == 0) return 1;
    return 2;
}

static std::string FormatFixed(Cents value, int decimals) {
    std::string s = std::to_string(value / 100);
    Cents frac = value % 100;
    if (decimals == 1) {
        s += '.';
        s += static_cast<char>('0' + frac / 10);
    } else if (decimals == 2) {
        s += '.';
        s += static_cast<char>('0' + frac / 10);
        s += static_cast<char>('0' + frac % 10);
    }
    return s;
}

std::string FormatPrice(Cents price, bool etf) { return FormatFixed(price, PriceDecimals(price, etf)); }

std::string FormatChange(Cents last, Cents prevClose, bool etf) {
    int decimals = std::max(PriceDecimals(last, etf), PriceDecimals(prevClose, etf));
    return FormatFixed(last > prevClose ? last - prevClose : prevClose - last, decimals);
}

std::string FormatLots(std::int64_t lots) {
    std::string digits = std::to_string(lots < 0 ? -lots : lots);
    std::string out = lots < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

Cents ParsePrice(std::string_view text) {
    Cents whole = 0, frac = 0;
    std::size_t i = 0, intDigits = 0, fracDigits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++intDigits) {
        if (intDigits >= 9) return -1;
        whole = whole * 10 + (text[i] - '0');
    }
    if (intDigits == 0) return -1;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++fracDigits) {
            if (fracDigits >= 2) return -1;
            frac = frac * 10 + (text[i] - '0');
        }
        if (fracDigits == 0) return -1;
    }
    if (i != text.size()) return -1;
    if (fracDigits == 1) frac *= 10;
    return whole * 100 + frac;
}

}  // namespace server
