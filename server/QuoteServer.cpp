#include "server/QuoteServer.h"

#include "server/QuotePage.h"

#include <httplib.h>
#include <strings.h>

namespace server {

namespace {
// Threads serving connections. Each keep-alive connection holds one while it is open, so
// there are more than cores.
constexpr std::size_t ServerThreads = 16;
}  // namespace

struct QuoteServer::Impl {
    Market& market;
    MarketClock& clock;
    httplib::Server http;

    Impl(Market& m, MarketClock& c) : market(m), clock(c) {}
};

QuoteServer::QuoteServer(Market& market, MarketClock& clock) : FImpl(std::make_unique<Impl>(market, clock)) {
    httplib::Server& http = FImpl->http;
    http.new_task_queue = [] { return new httplib::ThreadPool(ServerThreads); };
    http.set_tcp_nodelay(true);  // headers and body go out in separate writes
    http.set_keep_alive_max_count(1000);
    http.set_keep_alive_timeout(5);
    http.set_read_timeout(5);
    http.set_write_timeout(5);
    http.set_payload_max_length(64 * 1024);
    // Only SO_REUSEADDR: the library's default adds SO_REUSEPORT, which would let a second
    // server bind the port of a running one instead of failing.
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    http.Get("/q/q", [this](const httplib::Request& req, httplib::Response& res) {
        if (!req.has_param("s")) {
            res.status = 400;
            return;
        }
        res.status = 200;
        res.set_content(Page(req.get_param_value("s")), PageContentType);
    });
    // Called for every status >= 400 without a body: 404 for unknown paths, 400 for requests
    // that do not parse, and the handlers' own 400.
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_content(ErrorPage(res.status), PageContentType);
    });
    // The HTTP layer closes the connection after an HTTP/1.0 request without keep-alive;
    // say so in the response.
    http.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.version == "HTTP/1.0" && !res.has_header("Connection") &&
            strcasecmp(req.get_header_value("Connection").c_str(), "keep-alive") != 0)
            res.set_header("Connection", "close");
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(ErrorPage(500), PageContentType);
    });
}

QuoteServer::~QuoteServer() = default;

std::string QuoteServer::Page(const std::string& code) const {
    long index = FImpl->market.Find(code);
    if (index < 0) return UnknownStockPage(code);
    SessionTime now = FImpl->clock.Now();
    Quote q = FImpl->market.QuoteAt(static_cast<std::size_t>(index), now.second);
    return QuotePage(FImpl->market.Listings()[static_cast<std::size_t>(index)], q, now.openSecondOfDay);
}

int QuoteServer::Bind(const std::string& host, int port) {
    if (port == 0) return FImpl->http.bind_to_any_port(host);
    return FImpl->http.bind_to_port(host, port) ? port : -1;
}

bool QuoteServer::Run() { return FImpl->http.listen_after_bind(); }

void QuoteServer::Stop() { FImpl->http.stop(); }

}  // namespace server
