#pragma once
// The board's reading of a quote page, written out here from its rules so the server's pages
// are checked against the reader rather than against the server's own code: find the first
// line holding the anchor, cut field j from the j-th line after it, pad a 4-byte name.
#include "ui/Big5.h"
#include "ui/TextFile.h"

#include <array>
#include <optional>
#include <string>

namespace pagescraper {

using Fields = std::array<std::string, 11>;

inline const std::string PlainCell = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap>";
inline const std::string BoldCell = PlainCell + "<b>";

inline std::optional<Fields> Scrape(const std::string& body, const std::string& code) {
    std::vector<std::string> lines = ui::SplitLines(body);
    const std::string anchor = "href=\"/q/bc?s=" + code + "\">" + code;
    std::size_t at = 0;
    while (at < lines.size() && lines[at].find(anchor) == std::string::npos) ++at;
    if (at == lines.size()) return std::nullopt;

    Fields f;
    for (std::size_t j = 0; j <= 10 && at + j < lines.size(); ++j) {
        std::string l = ui::Trim(lines[at + j]);
        if (j == 5) {
            std::size_t p = 0;
            for (const char* mark : {"\xA1\xB5", "\xA1\xBE", "\xA1\xB6", "\xA1\xBF"})
                if ((p = ui::Pos(mark, l)) != 0) break;
            if (p > 1) f[j] = ui::Trim(l.substr(p - 1));
            continue;
        }
        const std::string& marker = j == 0 ? anchor : j == 2 ? BoldCell : PlainCell;
        std::size_t s = ui::Pos(marker, l) + marker.size();
        std::size_t e = ui::Pos("</", l);
        if (e > s) f[j] = ui::Trim(l.substr(s - 1, e - s));
    }
    if (f[0].size() == 4) f[0] = f[0].substr(0, 2) + "\xA1\x40" + f[0].substr(2);
    return f;
}

// A quote cell as a signed number: the digits and points, negative with a down mark.
inline double QuoteValue(const std::string& text) {
    std::string digits;
    for (char c : text)
        if ((c >= '0' && c <= '9') || c == '.') digits += c;
    if (digits.empty()) return 0;
    char* end = nullptr;
    double v = std::strtod(digits.c_str(), &end);
    if (*end) return 0;
    bool down = ui::Pos("\xA1\xBE", text) || ui::Pos("\xA1\xBF", text);
    return down ? -v : v;
}

}  // namespace pagescraper
