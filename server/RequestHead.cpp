#include "server/RequestHead.h"

#include "server/QuotePage.h"

#include <microhttpd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace server {

namespace {

bool IsTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
    return v;
}

}  // namespace

void LengthCheck::Field(std::string_view name, std::string_view value) {
    if (SameName(name, MHD_HTTP_HEADER_TRANSFER_ENCODING)) transferEncoding = true;
    if (!SameName(name, MHD_HTTP_HEADER_CONTENT_LENGTH)) return;
    // A list ("5, 5") counts as its items.
    for (std::size_t from = 0; from <= value.size();) {
        std::size_t comma = std::min(value.find(',', from), value.size());
        std::string_view item = Trimmed(value.substr(from, comma - from));
        if (item.empty() || item.find_first_not_of("0123456789") != std::string_view::npos ||
            (contentLength && item != length))
            ambiguous = true;
        contentLength = true;
        length = item;
        from = comma + 1;
    }
}
Head CheckHead(std::string_view b) {
    std::size_t i = 0;
    while (i < b.size() && i < 16 && (b[i] == '\r' || b[i] == '\n')) ++i;  // empty lines before a request
    std::size_t start = i;
    while (i < b.size() && IsTokenChar(b[i]) && i - start <= 32) ++i;
    if (i - start > 32) return Head::NotARequest;
    if (i == b.size()) return Head::Partial;
    if (i == start || b[i] != ' ') return Head::NotARequest;
    start = ++i;
    while (i < b.size() && b[i] > ' ' && b[i] < 0x7F) ++i;
    if (i == b.size()) return Head::Partial;
    if (i == start || b[i] != ' ') return Head::NotARequest;
    ++i;
    // "HTTP/" digit "." digit, then the line's end.
    const std::string_view version = "HTTP/0.0\r\n";
    for (std::size_t k = 0; k < version.size(); ++k, ++i) {
        if (i == b.size()) return Head::Partial;
        char want = version[k];
        bool ok = want == '0' ? (b[i] >= '0' && b[i] <= '9') : b[i] == want;
        if (!ok && want == '\r' && b[i] == '\n') {
            ++k;  // a bare LF ends the line too
            ok = true;
        }
        if (!ok) return Head::NotARequest;
    }
    // The fields, up to the empty line.
    LengthCheck length;
    for (;;) {
        std::size_t end = b.find('\n', i);
        if (end == std::string_view::npos) return Head::Partial;
        std::string_view line = b.substr(i, end - i);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        i = end + 1;
        if (line.empty()) return length.Ambiguous() ? Head::AmbiguousLength : Head::Whole;
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) length.Field(Trimmed(line.substr(0, colon)), line.substr(colon + 1));
    }
}

void WriteRefusal(int fd, int status) {
    char drain[4096];
    while (::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {}
    std::string body = ErrorPage(status);
    std::string answer = "HTTP/1.1 " + std::to_string(status) + (status == 408 ? " Request Timeout" : " Bad Request") +
                         "\r\nConnection: close\r\nContent-Type: " + PageContentType +
                         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    [[maybe_unused]] ssize_t n = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_RDWR);
}

void Refuse(int fd, int status) {
    WriteRefusal(fd, status);
    ::close(fd);
}

}  // namespace server
