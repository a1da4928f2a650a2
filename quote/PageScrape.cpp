// The quote page's cutting: the anchor line of a stock and the fields on the lines after it,
// and the reading of the figures in them.
#include "quote/fQuoteDef.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const std::string MarkUp = "\xa1\xb5";
const std::string MarkUpLimit = "\xa1\xb6";
const std::string MarkDown = "\xa1\xbe";
const std::string MarkDownLimit = "\xa1\xbf";

namespace {

const std::string FullWidthSpace = "\xa1\x40";

const std::string CellMarker = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap>";
const std::string BoldCellMarker = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap><b>";

// The bytes 0x00 to 0x20 trimmed off both ends.
std::string_view TrimView(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
    return s.substr(b, e - b);
}

// The first "</" in s at or after from: memchr finds each '<', one look tells whether a '/'
// follows.
std::size_t FindClosingTag(std::string_view s, std::size_t from) {
    while (from + 1 < s.size()) {
        const void* lt = std::memchr(s.data() + from, '<', s.size() - 1 - from);
        if (!lt) break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lt) - s.data());
        if (s[at + 1] == '/') return at;
        from = at + 1;
    }
    return std::string_view::npos;
}

// The text of a cell line between the end of the marker and the line's first "</". The markers
// start with a byte other than '/', so no "</" begins just before one; a cell marker also holds
// no "</" and ends in '>', so with one of them the search skips the marker (the stock's anchor
// ends in its code, which may hold anything).
std::string_view CutCell(std::string_view line, std::string_view marker, bool plainMarker) {
    const std::size_t at = line.starts_with(marker) ? 0 : line.find(marker);
    if (at == std::string_view::npos) return {};  // a line without its marker holds no field
    const std::size_t start = at + marker.size();
    if (at > 0 && FindClosingTag(line.substr(0, at), 0) != std::string_view::npos) return {};
    const std::size_t end = FindClosingTag(line, plainMarker ? start : at);
    if (end == std::string_view::npos || end <= start) return {};
    return TrimView(line.substr(start, end - start));
}

// The change cell: from the first of the marks, tried in a fixed order, to the end of the line;
// nothing when the mark opens the line. The marks share their lead byte, so one pass over its
// occurrences finds where each of them first appears.
std::string_view CutChange(std::string_view line) {
    const std::string* const order[] = {&MarkUp, &MarkDown, &MarkUpLimit, &MarkDownLimit};
    std::size_t first[4] = {std::string_view::npos, std::string_view::npos, std::string_view::npos,
                            std::string_view::npos};
    const char lead = MarkUp[0];
    for (std::size_t p = line.find(lead); p != std::string_view::npos && p + 1 < line.size();
         p = line.find(lead, p + 1))
        for (int k = 0; k < 4; ++k)
            if (first[k] == std::string_view::npos && line[p + 1] == (*order[k])[1]) first[k] = p;
    for (std::size_t p : first)
        if (p != std::string_view::npos) return p == 0 ? std::string_view() : TrimView(line.substr(p));
    return {};
}

// The first CR, LF or NUL in [p, end), or end: sixteen bytes at a time where the processor
// compares them at once, and byte by byte in the last ones.
const char* LineBreak(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, nul));
        if (const int mask = _mm_movemask_epi8(hit)) return p + std::countr_zero(static_cast<unsigned>(mask));
    }
#endif
    while (p < end && *p != '\r' && *p != '\n' && *p != '\0') ++p;
    return p;
}

// The start of the line that holds pos: just past the last CR or LF before it.
std::size_t LineStart(std::string_view page, std::size_t pos) {
    const void* lf = ::memrchr(page.data(), '\n', pos);
    const std::size_t from = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - page.data()) + 1 : 0;
    const void* cr = ::memrchr(page.data() + from, '\r', pos - from);
    return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - page.data()) + 1 : from;
}

// Cuts the fields from the lines of the page that start at pos. A NUL byte ends the page.
void CutFields(std::string_view page, std::size_t pos, std::string_view anchor, std::vector<std::string>& fields) {
    const char* p = page.data() + pos;
    const char* end = page.data() + page.size();
    for (int j = 0; j < QuoteFieldCount; ++j) {
        if (p >= end) {
            fields[j].clear();
            continue;
        }
        // The line ends at its first CR or LF (CR LF ends it as one terminator).
        const char* e = LineBreak(p, end);
        if (e < end && *e == '\0') end = e;
        // Only the change cell depends on where the trimmed line starts; a cell is the same
        // whether the blanks around its line are cut first or not.
        const std::string_view line(p, static_cast<std::size_t>(e - p));
        const std::string_view cell = j == qfChange ? CutChange(TrimView(line))
                                      : j == qfName ? CutCell(line, anchor, false)
                                                    : CutCell(line, j == qfLast ? BoldCellMarker : CellMarker, true);
        fields[j].clear();
        fields[j].append(cell);  // into the room the string has
        p = e;
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
}

}  // namespace

TQuoteTrend QuoteTrend(const std::string& text) {
    for (const std::string* mark : {&MarkUp, &MarkDown, &MarkUpLimit, &MarkDownLimit})
        if (text.find(*mark) != std::string::npos)
            return mark == &MarkUp || mark == &MarkUpLimit ? TQuoteTrend::Rising : TQuoteTrend::Falling;
    return TQuoteTrend::None;
}

float QuoteValue(const std::string& text) {
    const auto numeric = [](char c) { return (c >= '0' && c <= '9') || c == '.'; };
    // One pass over the bytes: the marks, and the digits and points as they come.
    bool negative = false;
    std::size_t figures = 0, points = 0, fraction = 0;
    std::uint64_t mantissa = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            ++points;
        } else if (numeric(c)) {
            mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
            ++figures;
            if (points) ++fraction;
        } else if (c == MarkDown[0] && i + 1 < text.size() &&
                   (text[i + 1] == MarkDown[1] || text[i + 1] == MarkDownLimit[1])) {
            negative = true;
        }
    }
    // Digits and points only: a valid number has at most one point and at least one digit.
    if (figures == 0 || points > 1) return 0;
    double value = 0;
    if (figures <= 15) {
        // The digits and the power of ten are exact in a double, so the quotient is the double
        // nearest the decimal number, as reading the text gives.
        static constexpr double Tens[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        value = static_cast<double>(mantissa) / Tens[fraction];
    } else {
        // Read with "." as the decimal point whatever the process locale says.
        std::string digits;
        std::copy_if(text.begin(), text.end(), std::back_inserter(digits), numeric);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    }
    return static_cast<float>(negative ? -value : value);
}

bool ScrapeQuotePage(const std::string& body, const std::string& code, float& refPrice,
                     std::vector<std::string>& fields) {
    refPrice = 0;
    if (body.empty()) {
        fields.clear();
        return false;
    }
    const std::string_view c = TrimView(code);
    static thread_local std::string anchor;  // keeps its room from the last page
    anchor.assign("href=\"/q/bc?s=").append(c).append("\">").append(c);
    // The anchor holds no line end, so its first occurrence lies in the first line that holds
    // it. Only the lines from there are split. A NUL byte ends the page, so the anchor is looked
    // for as in a NUL-terminated text.
    const char* hit = anchor.find('\0') == std::string::npos ? std::strstr(body.c_str(), anchor.c_str()) : nullptr;
    if (!hit) {
        fields.clear();
        return false;
    }
    const std::string_view page(body);
    const std::size_t start = LineStart(page, static_cast<std::size_t>(hit - body.c_str()));

    fields.resize(QuoteFieldCount);  // the strings keep their room from the last page
    CutFields(page, start, anchor, fields);
    // A name of two double-byte characters takes the width of three.
    std::string& name = fields[qfName];
    if (name.size() == 4) name.insert(2, FullWidthSpace);

    float last = QuoteValue(fields[qfLast]);
    if (last > 0) refPrice = last - QuoteValue(fields[qfChange]);
    return true;
}
