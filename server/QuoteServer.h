#pragma once
// The HTTP side of the quote server: GET /q/q?s=CODE answers with the source's page for the code
// (status 200 also for an unknown code, with a page that has no quote row); GET /status answers
// with the source's status as JSON; a missing "s" parameter or a request that does not parse is
// 400, a method other than GET or HEAD 405, every other path 404. Connections of HTTP/1.0
// requests without keep-alive are closed after the response.
//
// Event-driven (libmicrohttpd in its epoll mode, driven by our own loops): a connection holds
// no thread while it sends its request slowly, waits for a page that the source delivers later,
// or idles between keep-alive requests. Each connection is limited in memory and is dropped after
// a few seconds without traffic; a request header that outgrows the memory gets an error answer
// and the connection is closed. Range headers are ignored: a page is always sent whole. A client
// that goes away while its request waits for a page frees its connection at once.
//
// The loops accept connections themselves and hold each until its first request header is in,
// reading nothing (only peeking), and hand it to the library then: bytes that are no request
// line are answered 400, a header that is not whole within headerTimeoutSeconds of its first
// byte 408, and both close the connection at once; a client that leaves or shuts its side
// before its header is whole is closed at once, without an answer. On a kept-alive connection the next header
// must be whole within idleTimeoutSeconds + headerTimeoutSeconds of the previous answer, or it
// gets 408 too. A request whose length is ambiguous (two
// different Content-Length headers, or Content-Length with Transfer-Encoding: the shapes of
// request smuggling) is answered 400 and closed, whether first on its connection or not.
//
// The source's Page() and Status() are called on an event-loop thread and must not block; a page
// that takes time is handed to done later, from any thread.
#include "server/PageSource.h"

#include <memory>
#include <string>

namespace server {

class QuoteServer {
public:
    struct Options {
        unsigned threads = 0;                      // event loops; 0: one per core
        unsigned idleTimeoutSeconds = 5;           // a connection without traffic for this long is closed
        unsigned headerTimeoutSeconds = 10;        // a first request header must be whole this soon
        std::size_t connectionMemory = 32 * 1024;  // request header and buffers of one connection
        unsigned maxConnections = 0;               // 0: as many as the open-file limit leaves room for
    };

    explicit QuoteServer(PageSource& source);
    QuoteServer(PageSource& source, Options options);
    ~QuoteServer();
    QuoteServer(const QuoteServer&) = delete;
    QuoteServer& operator=(const QuoteServer&) = delete;

    // Binds host:port (port 0: a free port). Returns the port, or -1 when it cannot bind.
    int Bind(const std::string& host, int port);
    // Serves until Stop(); returns false when serving failed (Error() says why). Call it once.
    // Requests still waiting for their page when it stops are answered 503.
    bool Run();
    // Makes Run() return soon; callable from any thread and from a signal handler.
    void Stop();
    // Why Bind() or Run() failed.
    std::string Error() const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

}  // namespace server
