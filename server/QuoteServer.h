#pragma once
// The HTTP side of the quote server: GET /q/q?s=CODE answers with the stock's quote page
// (status 200 also for an unknown code, with a page that has no quote row); a missing "s"
// parameter or a request the HTTP layer cannot parse is 400; every other path is 404.
// Connections of HTTP/1.0 requests without keep-alive are closed after the response.
#include "server/Market.h"

#include <memory>
#include <string>

namespace server {

class QuoteServer {
public:
    QuoteServer(Market& market, MarketClock& clock);
    ~QuoteServer();
    QuoteServer(const QuoteServer&) = delete;
    QuoteServer& operator=(const QuoteServer&) = delete;

    // Binds host:port (port 0: a free port). Returns the port, or -1 when it cannot bind.
    int Bind(const std::string& host, int port);
    // Serves until Stop(); returns false when serving failed.
    bool Run();
    // Makes Run() return; callable from any thread.
    void Stop();

    // The page served for a stock code at this moment.
    std::string Page(const std::string& code) const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

}  // namespace server
