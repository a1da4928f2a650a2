#pragma once
// Where the quote server's pages come from: the simulated market, or a gateway to a live feed.
// The HTTP side asks a source for a page and sends whatever it hands back; a source may answer
// at once or later (a gateway waits for its next upstream snapshot), from any thread.
#include <functional>
#include <string>

namespace server {

class PageSource {
public:
    virtual ~PageSource() = default;

    // The Big5 quote page for a stock code. done is called exactly once with the page, either
    // before Page returns or later from another thread; it must not be called after the source
    // is destroyed.
    virtual void Page(const std::string& code, std::function<void(std::string page)> done) = 0;

    // The body of GET /status: a JSON object describing the source and its health.
    virtual std::string Status() = 0;
};

}  // namespace server
