#pragma once
// A scripted quote server whose pages fail by the stock's code, the three ways a page fails
// without the server being down: STLL stalls after its status line, HUGE sends more than a
// page may hold, CLOS closes before its status line ends. Any other code gets its page.
#include "QuotePages.h"
#include "support/LoopbackServer.h"

#include <string>

namespace quotetest {

// The code a recorded request asked for ("GET /q/q?s=CODE HTTP/1.0").
inline std::string RequestedCode(const std::string& request) {
    const std::size_t at = request.find("s=");
    if (at == std::string::npos) return {};
    return request.substr(at + 2, request.find(' ', at) - at - 2);
}

inline void FailingCodes(nettest::LoopbackServer::Conn& c) {
    const std::string code = RequestedCode(c.ReadRequest());
    if (code == "STLL") {
        c.Send("HTTP/1.0 200 OK\r\n");
        c.WaitClosed();
    } else if (code == "HUGE") {
        c.Send("HTTP/1.0 200 OK\r\n\r\n" + std::string((1 << 20) + 1024, 'x'));
    } else if (code == "CLOS") {
        c.Send("HTTP/1.0 2");
    } else {
        PageQuote q;
        q.code = code;
        c.Send("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + QuotePage(q));
    }
}

}  // namespace quotetest
