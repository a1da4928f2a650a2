#include "ui/core/Big5.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <charconv>

namespace ui {

QString Big5ToQString(std::string_view big5) {
    QStringDecoder decoder("Big5");
    if (!decoder.isValid()) return QString::fromLatin1(big5.data(), static_cast<qsizetype>(big5.size()));
    return decoder.decode(QByteArrayView(big5.data(), static_cast<qsizetype>(big5.size())));
}

QStringList Big5ToQStrings(const std::vector<std::string>& lines) {
    QStringList r;
    r.reserve(static_cast<qsizetype>(lines.size()));
    QStringDecoder decoder("Big5");
    for (const std::string& line : lines) {
        if (!decoder.isValid()) {
            r.push_back(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
            continue;
        }
        // Every line on its own: a lead byte left over at the end of one is not carried into the next.
        decoder.resetState();
        r.push_back(decoder.decode(QByteArrayView(line.data(), static_cast<qsizetype>(line.size()))));
    }
    return r;
}

std::string QStringToBig5(const QString& text) {
    QStringEncoder encoder("Big5");
    if (!encoder.isValid()) return text.toLatin1().toStdString();
    QByteArray bytes = encoder.encode(text);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string Big5ToUtf8(std::string_view big5) { return Big5ToQString(big5).toUtf8().toStdString(); }

std::string Utf8ToBig5(std::string_view utf8) {
    return QStringToBig5(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
    return std::string(s.substr(b, e - b));
}

std::size_t Pos(std::string_view sub, std::string_view s) {
    if (sub.empty()) return 0;
    std::size_t at = s.find(sub);
    return at == std::string_view::npos ? 0 : at + 1;
}

std::string Copy(std::string_view s, long long index, long long count) {
    if (index < 1) index = 1;
    if (count <= 0 || index > static_cast<long long>(s.size())) return {};
    std::size_t from = static_cast<std::size_t>(index - 1);
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(count), s.size() - from);
    return std::string(s.substr(from, n));
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

bool SameText(std::string_view a, std::string_view b) { return a.size() == b.size() && UpperCase(a) == UpperCase(b); }

int CompareStr(std::string_view a, std::string_view b) {
    int c = a.compare(b);  // std::char_traits<char>::compare works on unsigned char values
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool ParseWhole(std::string_view s, unsigned long long max, unsigned long long& value) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string_view::npos) return false;
    unsigned long long n = 0;
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (error != std::errc() || end != s.data() + s.size() || n > max) return false;
    value = n;
    return true;
}

}  // namespace ui
