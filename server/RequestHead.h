#pragma once
// The quote server's first look at a request: whether the bytes a new connection sent make a
// request header, whether its fields leave the length of its body in doubt, and the refusal
// written straight to a socket when they do not pass.
#include <string_view>

namespace server {

// Whether a request's header fields leave its length in doubt: Content-Length with
// Transfer-Encoding, Content-Length values that differ or are no number. Fed one field at a time.
struct LengthCheck {
    bool transferEncoding = false, contentLength = false, ambiguous = false;
    std::string_view length;
    void Field(std::string_view name, std::string_view value);
    bool Ambiguous() const { return ambiguous || (transferEncoding && contentLength); }
};

// What the bytes a new connection sent so far make of its first request.
enum class Head { Partial, Whole, NotARequest, AmbiguousLength };

Head CheckHead(std::string_view bytes);

// An error answer written straight to a socket, whose reading and writing end then.
void WriteRefusal(int fd, int status);

// The same for a socket the HTTP layer never saw, which is closed.
void Refuse(int fd, int status);

}  // namespace server
