// Reading a cell's text as a number.
#include "grid/RichStringGrid.h"

#include <QLocale>
#include <charconv>

namespace grid {

TNumberFormat TNumberFormat::Locale() {
    QLocale locale;  // the system locale unless the program set another default
    auto single = [](const QString& s) -> char {
        return s.size() == 1 && s.at(0).unicode() > 0x20 && s.at(0).unicode() < 0x7f
                   ? static_cast<char>(s.at(0).unicode())
                   : '\0';
    };
    TNumberFormat f;
    f.DecimalSeparator = single(locale.decimalPoint());
    f.ThousandSeparator = single(locale.groupSeparator());
    return f;
}

std::optional<double> ReadCellNumber(std::string_view text, TNumberFormat format) {
    auto isSep = [&](char ch) {
        return ch != '\0' && (ch == format.DecimalSeparator || ch == format.ThousandSeparator);
    };
    auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
    bool negative = text.size() >= 2 && text.front() == '(' && text.back() == ')';
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (n - i >= 2) {
        char ch = text[i];
        if (isDigit(ch) || ch == 'E' || ch == 'e' || isSep(ch)) break;
        if (ch == '-') negative = true;
        ++i;
    }
    std::string taken;
    for (; i < n; ++i) {
        char ch = text[i];
        if (ch != '\0' && ch == format.ThousandSeparator) continue;
        if (ch != '\0' && ch == format.DecimalSeparator) {
            taken += '.';
            continue;
        }
        if (isDigit(ch) || ch == '+' || ch == '-' || ch == '.' || ch == 'E' || ch == 'e') {
            taken += ch;
            continue;
        }
        break;
    }
    if (taken.empty() || taken == "-") return 0.0;
    const char* first = taken.data();
    const char* last = taken.data() + taken.size();
    if (*first == '+') ++first;  // from_chars takes no plus sign
    double value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) return std::nullopt;
    return negative ? -value : value;
}

}  // namespace grid
