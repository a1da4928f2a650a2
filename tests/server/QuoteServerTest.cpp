// quote-server as a program: started through ServerProcess and spoken to over loopback.
#include "Loopback.h"
#include "QuoteReader.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"
#include "ui/core/TextFile.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <random>
#include <sys/resource.h>
#include <thread>

using loopback::Exchange;
using loopback::Reply;
using loopback::SlowClients;
using pagescraper::Scrape;
using testsupport::ServerProcess;

namespace {

Reply Get(const ServerProcess& s, const std::string& code) {
    return Exchange(s.Port(), "GET /q/q?s=" + code + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", true);
}

// A figure of /proc/PID/status ("VmHWM": peak resident memory in kB), -1 when missing.
long ProcStatus(pid_t pid, const std::string& key) {
    for (const std::string& line : ui::ReadLines("/proc/" + std::to_string(pid) + "/status"))
        if (line.compare(0, key.size() + 1, key + ":") == 0) return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

// Waits up to ms for the process to end (it stays a zombie until ServerProcess reaps it).
bool Ended(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        std::vector<std::string> stat = ui::ReadLines("/proc/" + std::to_string(pid) + "/stat");
        std::size_t state = stat.empty() ? std::string::npos : stat[0].rfind(") ");
        if (state == std::string::npos || stat[0][state + 2] == 'Z') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(QuoteServer, ServesTheQuotePageOverHttp10AndClosesTheConnection) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "5", "--time", "10:15:00"})) << server.Error();
    EXPECT_EQ(server.Host(), "127.0.0.1");
    EXPECT_GT(server.Port(), 0);
    EXPECT_GE(server.StockCount(), 150);

    Reply r = Get(server, "2330");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.head.find("Content-Type: text/html; charset=big5"), std::string::npos);
    auto f = Scrape(r.body, "2330");
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)[0], ui::Utf8ToBig5("台積電"));
    EXPECT_EQ((*f)[1].size(), 8u);
    EXPECT_GE((*f)[1], "09:00:00");
    EXPECT_LE((*f)[1], "10:15:00");
    EXPECT_GT(QuoteValue((*f)[2]), 0);
    EXPECT_EQ((*f)[7], "1025");

    // A code it does not know: a page without a quote row. Any other path: 404.
    r = Get(server, "9999");
    EXPECT_EQ(r.status, 200);
    EXPECT_FALSE(Scrape(r.body, "9999"));
    EXPECT_EQ(Exchange(server.Port(), "GET /q/bc?s=2330 HTTP/1.0\r\n\r\n").status, 404);
    EXPECT_EQ(Exchange(server.Port(), "GET /q/q HTTP/1.0\r\n\r\n").status, 400);
    EXPECT_EQ(Exchange(server.Port(), "GET /q/q?s=0050 HTTP/1.1\r\nHost: x\r\n\r\n").status, 200);

    EXPECT_EQ(server.Stop(), 0) << "a clean exit on SIGTERM";
}

TEST(QuoteServer, AnswersMalformedRequestsWith400AndSurvivesJunk) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
    // A request line the HTTP layer cannot take is answered 400 and closed at once, not held.
    Reply bad = Exchange(server.Port(), "GET /q/q?s=2330 HTTP/9.9 extra\r\n\r\n", true, 2000);
    EXPECT_EQ(bad.status, 400);
    EXPECT_TRUE(bad.closed);
    // Bytes that are no request line at all are answered 400 and closed at once, not held.
    for (std::string junk : {std::string("GARBAGE\r\n\r\n"), std::string("\0\xff\r\n\r\n", 6)}) {
        Reply r = Exchange(server.Port(), junk, true, 3000);
        EXPECT_EQ(r.status, 400);
        EXPECT_TRUE(r.closed);
    }

    std::mt19937 random(3);
    for (int i = 0; i < 40; ++i) {
        std::string junk(random() % 3000, '\0');
        for (char& c : junk) c = static_cast<char>(random());
        if (i % 2) junk = "GET /q/q?s=" + junk + " HTTP/1.0\r\n" + junk.substr(0, 20) + "\r\n\r\n";
        Exchange(server.Port(), junk + "\r\n\r\n");
    }
    Reply r = Get(server, "1101");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(Scrape(r.body, "1101"));
    EXPECT_EQ(server.Stop(), 0);
}

TEST(QuoteServer, TheSeedMakesPagesRepeatable) {
    ServerProcess a, b, c, closed, previous;
    ASSERT_TRUE(a.Start({"--seed", "11", "--time", "11:20:00"})) << a.Error();
    ASSERT_TRUE(b.Start({"--seed", "11", "--time", "11:20:00"})) << b.Error();
    ASSERT_TRUE(c.Start({"--seed", "12", "--time", "11:20:00"})) << c.Error();
    int differs = 0;
    for (std::string code : {"2330", "2317", "2454", "1101", "0050", "2882"}) {
        std::string page = Get(a, code).body;
        EXPECT_EQ(page, Get(b, code).body) << code;
        differs += page != Get(c, code).body;
    }
    EXPECT_GT(differs, 3);

    // Before the open the close of the day before (the seed a day less) shows; after the close
    // the day stands still.
    ASSERT_TRUE(closed.Start({"--seed", "11", "--time", "08:50:00"})) << closed.Error();
    ASSERT_TRUE(previous.Start({"--seed", "10", "--time", "13:30:00"})) << previous.Error();
    std::string before = Get(closed, "2330").body;
    auto f = Scrape(before, "2330");
    ASSERT_TRUE(f);
    EXPECT_NE((*f)[2], "-");
    EXPECT_NE((*f)[6], "0");
    EXPECT_EQ(before, Get(previous, "2330").body);
    ASSERT_TRUE(a.Start({"--seed", "11", "--time", "13:30:00"})) << a.Error();
    ASSERT_TRUE(b.Start({"--seed", "11", "--time", "17:45:00"})) << b.Error();
    EXPECT_EQ(Get(a, "2330").body, Get(b, "2330").body);
}

TEST(QuoteServer, AlwaysOpenMovesEveryAvailableStock) {
    std::vector<std::string> codes;
    for (const std::string& line : ui::ReadLines(testsupport::SourceDir() + "/data/AVAILABLE.TXT"))
        codes.push_back(line.substr(0, line.find(' ')));
    ASSERT_GE(codes.size(), 150u);

    ServerProcess server;
    // An hour of trading for every second of the test.
    ASSERT_TRUE(server.Start({"--always-open", "--speed", "3600"})) << server.Error();
    std::vector<pagescraper::Fields> first;
    for (const std::string& code : codes) {
        auto f = Scrape(Get(server, code).body, code);
        ASSERT_TRUE(f) << code;
        first.push_back(*f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (std::size_t i = 0; i < codes.size(); ++i) {
        auto f = Scrape(Get(server, codes[i]).body, codes[i]);
        ASSERT_TRUE(f) << codes[i];
        EXPECT_GT(QuoteValue((*f)[6]), QuoteValue(first[i][6])) << codes[i];
    }
}

// ETFs, innovation-board stocks and TDRs of five or six characters are served as any other code.
TEST(QuoteServer, ServesTheLongerCodesOfTheShippedMarket) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--time", "10:00:00"})) << server.Error();
    for (const char* code : {"00878", "00919", "006208", "00631L"}) {
        auto f = Scrape(Get(server, code).body, code);
        ASSERT_TRUE(f) << code;
        EXPECT_FALSE((*f)[0].empty()) << code;
        EXPECT_GT(QuoteValue((*f)[2]), 0) << code;
    }
    EXPECT_EQ(ui::Big5ToUtf8((*Scrape(Get(server, "00878").body, "00878"))[0]), "國泰永續高股息");
}

TEST(QuoteServer, StartsFromAnyDataFileAndRefusesBadArguments) {
    testsupport::TempDir dir;
    testsupport::WriteFileBytes(dir.file("MARKET.TXT"), "8888\tTester\t12.35\r\n7777\tOther\t150\r\n");
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--data", dir.file("MARKET.TXT")})) << server.Error();
    EXPECT_EQ(server.StockCount(), 2);
    auto f = Scrape(Get(server, "8888").body, "8888");
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)[0], "Tester");
    EXPECT_EQ((*f)[7], "12.35");
    EXPECT_FALSE(Scrape(Get(server, "2330").body, "2330"));

    // The port is taken now.
    EXPECT_EQ(ServerProcess::RunToExit({"--port", std::to_string(server.Port())}), 1);
    EXPECT_EQ(ServerProcess::RunToExit({"--data", dir.file("NONE.TXT")}), 1);
    testsupport::WriteFileBytes(dir.file("BAD.TXT"), "8888 Test 12.35\r\n");
    EXPECT_EQ(ServerProcess::RunToExit({"--data", dir.file("BAD.TXT")}), 1);
    EXPECT_EQ(ServerProcess::RunToExit({"--port", "70000"}), 2);
    EXPECT_EQ(ServerProcess::RunToExit({"--time", "25:00:00"}), 2);
    EXPECT_EQ(ServerProcess::RunToExit({"--bogus"}), 2);
}

TEST(QuoteServerUnderAbuse, SlowAndIdleClientsShutNobodyOut) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
    // Idle keep-alive connections, each after one answered request.
    std::vector<int> idle;
    for (int i = 0; i < 24; ++i) {
        int fd = loopback::Connect(server.Port());
        ASSERT_TRUE(loopback::SendAll(fd, loopback::PageRequest("2330", "HTTP/1.1")));
        EXPECT_EQ(loopback::Read(fd, false, 3000).status, 200) << i;
        idle.push_back(fd);
    }
    SlowClients slow(server.Port(), 40);
    ASSERT_EQ(slow.Count(), 40u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (std::string code : {"2330", "2317", "1101", "0050", "2882", "2454"}) {
        Reply r = Exchange(server.Port(), loopback::PageRequest(code), true, 3000);
        EXPECT_EQ(r.status, 200) << code;
        EXPECT_TRUE(Scrape(r.body, code)) << code;
    }
    // The idle connections were kept and go on serving.
    for (int fd : idle) {
        EXPECT_TRUE(loopback::SendAll(fd, loopback::PageRequest("1101", "HTTP/1.1")));
        EXPECT_EQ(loopback::Read(fd, false, 3000).status, 200);
        ::close(fd);
    }
    slow.Stop();
    EXPECT_EQ(server.Stop(), 0);
}

TEST(QuoteServerUnderAbuse, HugeHeadersAndRangesCostTheServerNothing) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "3", "--time", "10:00:00"})) << server.Error();
    long before = ProcStatus(server.Pid(), "VmHWM");
    ASSERT_GT(before, 0);

    // Three clients at once, each offering 16 MB of header lines.
    std::vector<std::thread> floods;
    std::vector<Reply> replies(3);
    for (Reply& reply : replies)
        floods.emplace_back([&server, &reply] {
            int fd = loopback::Connect(server.Port());
            timeval limit{3, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            loopback::SendAll(fd, "GET /q/q?s=2330 HTTP/1.1\r\n");
            std::string lines;
            for (int i = 0; i < 8192; ++i) lines += "X-H: v\r\n";
            for (int sent = 0; sent < 256 && loopback::SendAll(fd, lines); ++sent) {}
            reply = loopback::Read(fd, true, 3000);
            ::close(fd);
        });
    for (std::thread& t : floods) t.join();
    for (const Reply& r : replies) {
        EXPECT_NE(r.status, 200);
        EXPECT_TRUE(r.closed);
    }
    long peak = ProcStatus(server.Pid(), "VmHWM");
    EXPECT_LT(peak - before, 32 * 1024) << "kB of memory taken by the headers";

    // Ranges are not served: many of them get the whole page once.
    std::string ranges = "Range: bytes=0-";
    for (int i = 0; i < 1000; ++i) ranges += ",0-";
    Reply whole = Get(server, "2330");
    Reply ranged = Exchange(server.Port(), "GET /q/q?s=2330 HTTP/1.0\r\n" + ranges + "\r\n\r\n", true);
    EXPECT_EQ(ranged.status, 200);
    EXPECT_EQ(ranged.body, whole.body);
    EXPECT_EQ(server.Stop(), 0);
}

TEST(QuoteServerUnderAbuse, SignalsEndTheServerWhateverItsClientsDo) {
    for (int signal : {SIGTERM, SIGINT}) {
        ServerProcess server;
        ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
        SlowClients slow(server.Port(), 20);
        int idle = loopback::Connect(server.Port());
        ASSERT_TRUE(loopback::SendAll(idle, loopback::PageRequest("2330", "HTTP/1.1")));
        EXPECT_EQ(loopback::Read(idle).status, 200);
        int half = loopback::Connect(server.Port());
        ASSERT_TRUE(loopback::SendAll(half, "GET /q/q?s=23"));

        ::kill(server.Pid(), signal);
        EXPECT_TRUE(Ended(server.Pid(), 15000)) << strsignal(signal);
        EXPECT_EQ(server.Stop(), 0) << strsignal(signal);
        ::close(idle);
        ::close(half);
    }
}

TEST(QuoteServerUnderAbuse, RunningOutOfFilesIsWeatheredNotFatal) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
    rlimit few{40, 40};
    ASSERT_EQ(::prlimit(server.Pid(), RLIMIT_NOFILE, &few, nullptr), 0);

    // More connections than the server can open files: the rest wait in the backlog or fail.
    std::vector<int> flood;
    for (int i = 0; i < 120; ++i) {
        int fd = loopback::Connect(server.Port());
        if (fd >= 0) flood.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int fd : flood) ::close(fd);

    Reply r = Exchange(server.Port(), loopback::PageRequest("2330"), true, 5000);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(Scrape(r.body, "2330"));
    EXPECT_EQ(server.Stop(), 0);
}
