#include "net/KesURL.h"

#include <exception>

std::string PercentEncode(std::string_view text, bool spaceAsPlus) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (c == ' ' && spaceAsPlus) {
            out += '+';
        } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

TKesURL::TKesURL(QObject* owner) : QObject(owner) {}

std::string TKesURL::EncodeText(const std::string& text) {
    try {
        return PercentEncode(text, true);
    } catch (const std::exception& e) {
        if (OnError) OnError(this, "Error during encode", e.what());
        return text;
    }
}
