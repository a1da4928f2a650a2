// quote-server as a program: started through ServerProcess and spoken to over loopback.
#include "Loopback.h"
#include "QuoteReader.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "ui/TextFile.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

using loopback::Exchange;
using loopback::Reply;
using pagescraper::Scrape;
using testsupport::ServerProcess;

namespace {

Reply Get(const ServerProcess& s, const std::string& code) {
    return Exchange(s.Port(), "GET /q/q?s=" + code + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", true);
}

// The exit status of the program run with these arguments, when it exits by itself within
// 10 s; -1 otherwise.
int RunToExit(std::vector<std::string> args) {
    args.insert(args.begin(), ServerProcess::Program());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    EXPECT_GT(pagescraper::QuoteValue((*f)[2]), 0);
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
    EXPECT_EQ(Exchange(server.Port(), "GARBAGE\r\n\r\n").status, 400);
    EXPECT_EQ(Exchange(server.Port(), "GET /q/q?s=2330 HTTP/9.9 extra\r\n\r\n").status, 400);
    EXPECT_EQ(Exchange(server.Port(), std::string("\0\xff\r\n\r\n", 6)).status, 400);

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
    ServerProcess a, b, c, closed;
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

    // Before the open nothing has traded; after the close the day stands still.
    ASSERT_TRUE(closed.Start({"--seed", "11", "--time", "08:50:00"})) << closed.Error();
    auto f = Scrape(Get(closed, "2330").body, "2330");
    ASSERT_TRUE(f);
    EXPECT_EQ((*f)[2], "-");
    EXPECT_EQ((*f)[6], "0");
    ASSERT_TRUE(a.Start({"--seed", "11", "--time", "13:30:00"})) << a.Error();
    ASSERT_TRUE(b.Start({"--seed", "11", "--time", "17:45:00"})) << b.Error();
    EXPECT_EQ(Get(a, "2330").body, Get(b, "2330").body);
}

TEST(QuoteServer, AlwaysOpenMovesEveryAvailableStock) {
    std::vector<std::string> codes;
    for (const std::string& line : ui::ReadLines(testsupport::SourceDir() + "/data/AVAILABLE.TXT"))
        codes.push_back(line.substr(0, 4));
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
        EXPECT_GT(pagescraper::QuoteValue((*f)[6]), pagescraper::QuoteValue(first[i][6])) << codes[i];
    }
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
    EXPECT_EQ(RunToExit({"--port", std::to_string(server.Port())}), 1);
    EXPECT_EQ(RunToExit({"--data", dir.file("NONE.TXT")}), 1);
    testsupport::WriteFileBytes(dir.file("BAD.TXT"), "8888 Test 12.35\r\n");
    EXPECT_EQ(RunToExit({"--data", dir.file("BAD.TXT")}), 1);
    EXPECT_EQ(RunToExit({"--port", "70000"}), 2);
    EXPECT_EQ(RunToExit({"--time", "25:00:00"}), 2);
    EXPECT_EQ(RunToExit({"--bogus"}), 2);
}
