// The quote server's HTTP side in this process, over loopback, with a page source whose answers
// come later from a thread of its own, as a gateway to a live feed answers.
#include "Loopback.h"
#include "server/PageSource.h"
#include "server/QuotePage.h"
#include "server/QuoteServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using loopback::Exchange;
using loopback::PageRequest;
using loopback::Read;
using loopback::Reply;

namespace {

// Answers "page CODE" at once; codes starting with HOLD are held until Release(); RACE is
// answered from another thread before Page() returns; THROW throws; GONE has the unavailable page.
class DelayedSource : public server::PageSource {
public:
    void Page(const std::string& code, std::function<void(std::string)> done) override {
        if (code.rfind("HOLD", 0) == 0) {
            std::lock_guard g(FLock);
            FHeld.push_back(std::move(done));
            FChanged.notify_all();
        } else if (code == "THROW") {
            throw std::runtime_error("no page");
        } else if (code == "GONE") {
            done(server::UnavailablePage(code));
        } else if (code == "RACE") {
            std::thread([&] { done("page RACE"); }).join();
        } else {
            done("page " + code);
        }
    }
    std::string Status() override { return "{\"source\":\"delayed\"}"; }

    // Waits (up to 5 s) until n requests are held.
    bool WaitHeld(std::size_t n) {
        std::unique_lock g(FLock);
        return FChanged.wait_for(g, std::chrono::seconds(5), [&] { return FHeld.size() >= n; });
    }
    // Answers every held request from a thread of its own.
    void Release() {
        std::vector<std::function<void(std::string)>> held;
        {
            std::lock_guard g(FLock);
            held.swap(FHeld);
        }
        std::thread([&] {
            for (auto& done : held) done("late page");
        }).join();
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::function<void(std::string)>> FHeld;
};

// The server on a free loopback port, served by one event loop on a thread of its own.
struct Serving {
    server::QuoteServer http;
    int port = -1;
    bool ok = false;
    std::thread loop;

    explicit Serving(server::PageSource& source, server::QuoteServer::Options options = OneLoop())
        : http(source, options) {
        port = http.Bind("127.0.0.1", 0);
        loop = std::thread([this] { ok = http.Run(); });
    }
    ~Serving() { Stop(); }
    void Stop() {
        http.Stop();
        if (loop.joinable()) loop.join();
    }
    static server::QuoteServer::Options OneLoop() {
        server::QuoteServer::Options o;
        o.threads = 1;
        return o;
    }
};

}  // namespace

TEST(QuoteServerHttp, ALatePageHoldsNoThreadAndReachesItsClient) {
    DelayedSource source;
    Serving s(source);
    ASSERT_GT(s.port, 0) << s.http.Error();

    // A keep-alive client waits for a held page while others are served by the only loop.
    int waiting = loopback::Connect(s.port);
    ASSERT_GE(waiting, 0);
    ASSERT_TRUE(loopback::SendAll(waiting, PageRequest("HOLD1", "HTTP/1.1")));
    ASSERT_TRUE(source.WaitHeld(1));
    for (int i = 0; i < 20; ++i) {
        Reply r = Exchange(s.port, PageRequest(std::to_string(1000 + i)));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "page " + std::to_string(1000 + i));
    }
    Reply status = Exchange(s.port, "GET /status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.head.find("Content-Type: application/json"), std::string::npos);
    EXPECT_EQ(status.body, "{\"source\":\"delayed\"}");
    EXPECT_EQ(Exchange(s.port, PageRequest("RACE")).body, "page RACE");
    // A page that cannot be had goes out as 503, with its text.
    Reply gone = Exchange(s.port, PageRequest("GONE"));
    EXPECT_EQ(gone.status, 503);
    EXPECT_EQ(gone.body, server::UnavailablePage("GONE"));
    // A failing source: the client gets a 500, and the failure leaves its trace on stderr.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Exchange(s.port, PageRequest("THROW")).status, 500);
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("GET /q/q failed: no page"), std::string::npos) << told;
    EXPECT_EQ(Exchange(s.port, "POST /q/q?s=2330 HTTP/1.0\r\nContent-Length: 2\r\n\r\nab").status, 405);

    source.Release();
    Reply late = Read(waiting);
    EXPECT_EQ(late.status, 200);
    EXPECT_EQ(late.body, "late page");
    EXPECT_NE(late.head.find("Content-Type: text/html; charset=big5"), std::string::npos);
    // The connection goes on serving.
    ASSERT_TRUE(loopback::SendAll(waiting, PageRequest("2330", "HTTP/1.1")));
    EXPECT_EQ(Read(waiting).body, "page 2330");
    ::close(waiting);
}

TEST(QuoteServerHttp, ClientsLeavingAndStopsBeforeTheLatePageBreakNothing) {
    DelayedSource source;
    {
        Serving s(source);
        ASSERT_GT(s.port, 0) << s.http.Error();
        int gone = loopback::Connect(s.port), stays = loopback::Connect(s.port);
        ASSERT_TRUE(loopback::SendAll(gone, PageRequest("HOLD1")));
        ASSERT_TRUE(loopback::SendAll(stays, PageRequest("HOLD2")));
        ASSERT_TRUE(source.WaitHeld(2));
        ::close(gone);
        source.Release();
        EXPECT_EQ(Read(stays).body, "late page");
        ::close(stays);
        EXPECT_EQ(Exchange(s.port, PageRequest("1101")).body, "page 1101");

        // Stopping with a request still waiting answers it and ends at once.
        int cut = loopback::Connect(s.port);
        ASSERT_TRUE(loopback::SendAll(cut, PageRequest("HOLD3")));
        ASSERT_TRUE(source.WaitHeld(1));
        s.Stop();
        EXPECT_TRUE(s.ok) << s.http.Error();
        Reply r = Read(cut, true);
        EXPECT_TRUE(r.status == 503 || r.status == 0) << r.status;
        EXPECT_TRUE(r.closed);
        ::close(cut);
    }
    // The page arrives after the server is gone.
    source.Release();

    server::QuoteServer unbound(source);
    EXPECT_FALSE(unbound.Run());
    EXPECT_FALSE(unbound.Error().empty());
    EXPECT_EQ(unbound.Bind("no.such.host.invalid", 0), -1);
}

// Requests the layer must not take as they are: bytes that are no request line, a length in
// doubt (request smuggling), a header trickled in. Each is answered once and closed at once.
TEST(QuoteServerHttp, RequestFaultsAreAnsweredOnceAndClosedAtOnce) {
    DelayedSource source;
    server::QuoteServer::Options options = Serving::OneLoop();
    options.headerTimeoutSeconds = 1;
    options.idleTimeoutSeconds = 1;
    Serving s(source, options);
    auto once = [](const Reply& r) { return r.head.find("HTTP/1.") == r.head.rfind("HTTP/1."); };

    for (const std::string& junk : {std::string("\0GET /q/q?s=1 HTTP/1.0\r\n\r\n", 26), std::string("\x16\x03\x01")}) {
        Reply r = Exchange(s.port, junk, true, 3000);
        EXPECT_EQ(r.status, 400);
        EXPECT_TRUE(r.closed);
    }
    const std::string next = "GET /q/q?s=SMUGGLED HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::vector<std::string> smuggling = {
        "POST /q/q?s=A HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 37\r\n\r\n" + next,
        "POST /q/q?s=A HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n" + next,
        "GET /q/q?s=A HTTP/1.1\r\nHost: x\r\nContent-Length: 0, 7\r\n\r\n" + next,
    };
    for (const std::string& request : smuggling) {
        // First on its connection, and after an answered request on a kept-alive one.
        Reply r = Exchange(s.port, request, true, 3000);
        EXPECT_EQ(r.status, 400) << request;
        EXPECT_TRUE(r.closed && once(r)) << r.head;
        EXPECT_EQ(r.body.find("SMUGGLED"), std::string::npos);
        int fd = loopback::Connect(s.port);
        ASSERT_TRUE(loopback::SendAll(fd, PageRequest("1", "HTTP/1.1")));
        ASSERT_EQ(Read(fd).status, 200);
        ASSERT_TRUE(loopback::SendAll(fd, request));
        r = Read(fd, true, 3000);
        ::close(fd);
        EXPECT_EQ(r.status, 400) << request;
        EXPECT_TRUE(r.closed && once(r)) << r.head;
        EXPECT_EQ(r.body.find("SMUGGLED"), std::string::npos);
    }
    // The same length twice is no doubt.
    EXPECT_EQ(Exchange(s.port, "GET /q/q?s=B HTTP/1.0\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n").body,
              "page B");

    // A header trickled one byte at a time gets 408 once its time is up, not at the memory cap:
    // first on its connection, and next on a kept-alive one.
    for (bool keptAlive : {false, true}) {
        int fd = loopback::Connect(s.port);
        if (keptAlive) {
            ASSERT_TRUE(loopback::SendAll(fd, PageRequest("1", "HTTP/1.1")));
            ASSERT_EQ(Read(fd).status, 200);
        }
        ASSERT_TRUE(loopback::SendAll(fd, "GET /q/q?s=2330 HTTP/1.1\r\nX-Slow: "));
        Reply trickled;
        for (int i = 0; i < 150 && trickled.status == 0 && !trickled.closed; ++i) {
            loopback::SendAll(fd, "x");
            trickled = Read(fd, true, 100);
        }
        ::close(fd);
        EXPECT_EQ(trickled.status, 408) << keptAlive;
        EXPECT_TRUE(trickled.closed) << keptAlive;
    }
    EXPECT_EQ(Exchange(s.port, PageRequest("C")).body, "page C");
}

// A waiting request holds its connection off the loop; a client that leaves meanwhile frees it
// at once, not when the page finally comes.
TEST(QuoteServerHttp, AClientThatLeavesWhileItsPageWaitsFreesItsConnection) {
    auto files = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    DelayedSource source;
    Serving s(source);
    EXPECT_EQ(Exchange(s.port, PageRequest("A")).body, "page A");
    const std::size_t before = files();
    std::vector<int> clients;
    for (int i = 0; i < 30; ++i) {
        clients.push_back(loopback::Connect(s.port));
        ASSERT_TRUE(loopback::SendAll(clients.back(), PageRequest("HOLD" + std::to_string(i), "HTTP/1.1")));
    }
    ASSERT_TRUE(source.WaitHeld(30));
    EXPECT_GE(files(), before + 55);  // each client's socket and the server's (before may count one closing)
    for (int fd : clients) ::close(fd);
    std::size_t after = files();
    for (int i = 0; i < 500 && after > before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        after = files();
    }
    EXPECT_LE(after, before);
    source.Release();  // the pages come for clients long gone
    EXPECT_EQ(Exchange(s.port, PageRequest("B")).body, "page B");
}

// Clients that leave in the middle of their first request header, or that shut their sending
// side with it half sent, hold no descriptor of the server's: never for the header time-outs. A
// whole header followed by such a shutdown is still answered.
TEST(QuoteServerHttp, ClientsThatLeaveInTheMiddleOfTheirHeaderAreClosedAtOnce) {
    auto files = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    // Waits (up to 20 s) until this process holds no more descriptors than at most.
    auto settlesAt = [&](std::size_t most) {
        std::size_t now = files();
        for (int i = 0; i < 2000 && now > most; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            now = files();
        }
        return now;
    };
    DelayedSource source;
    server::QuoteServer::Options options = Serving::OneLoop();
    options.headerTimeoutSeconds = 60;
    options.idleTimeoutSeconds = 60;
    Serving s(source, options);
    ASSERT_GT(s.port, 0) << s.http.Error();
    EXPECT_EQ(Exchange(s.port, PageRequest("A")).body, "page A");
    const std::size_t before = files();
    const std::string half = "GET /q/q?s=2330 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Half: ";

    for (int i = 0; i < 200; ++i) {
        int fd = loopback::Connect(s.port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(loopback::SendAll(fd, half));
        ::close(fd);
    }
    EXPECT_LE(settlesAt(before), before);

    // Half-closed: the server closes its side too, without an answer.
    std::vector<int> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(loopback::Connect(s.port));
        ASSERT_TRUE(loopback::SendAll(clients.back(), half));
        ::shutdown(clients.back(), SHUT_WR);
    }
    for (int fd : clients) {
        Reply r = Read(fd, true, 20000);
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(r.status, 0);
        ::close(fd);
    }
    EXPECT_LE(settlesAt(before), before);

    int whole = loopback::Connect(s.port);
    ASSERT_TRUE(loopback::SendAll(whole, PageRequest("B")));
    ::shutdown(whole, SHUT_WR);
    EXPECT_EQ(Read(whole, true).body, "page B");
    ::close(whole);
}
