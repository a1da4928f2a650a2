// quote-server --source twse as a program, between a fake of the exchange's service and the
// board's side: quotewatch, and fifty boards' worth of page requests.
#include "FakeUpstream.h"
#include "quote/fQuoteDef.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

using fakeupstream::FakeUpstream;
using fakeupstream::TestCerts;
using testsupport::ServerProcess;
using testsupport::TempDir;
using namespace std::chrono_literals;

namespace {

// GET of a path of the quote server: status and body; status 0 when it could not be fetched.
std::pair<int, std::string> Get(const ServerProcess& server, const std::string& path) {
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(15s);
    httplib::Result r = client.Get(path.c_str());
    return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
}

nlohmann::json StatusOf(const ServerProcess& server) {
    auto [status, body] = Get(server, "/status");
    EXPECT_EQ(status, 200);
    return nlohmann::json::parse(body, nullptr, false);
}

}  // namespace

TEST(GatewayEndToEnd, QuotewatchShowsTheExchangesQuotesThroughTheGatewayOverHttps) {
    TempDir dir;
    TestCerts certs(dir);
    ASSERT_TRUE(certs.ok) << "the openssl program could not make the test certificates";
    FakeUpstream up(certs.certFile, certs.keyFile);
    up.Serve("morning.json");
    up.SetUserDelay(200);

    ServerProcess server;
    ASSERT_TRUE(server.Start({"--source", "twse", "--upstream", up.Url(), "--upstream-ca", certs.caFile,
                              "--upstream-interval-ms", "200", "--daily-closes", ""}))
        << server.Error();

    testsupport::WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n1101\r\n6488\r\n9999\r\n");
    QProcess watch;
    testsupport::StartQuotewatch(watch, dir.path(), server.Port(), {"--cycles", "1"});
    ASSERT_TRUE(watch.waitForFinished(30000));
    EXPECT_EQ(watch.exitCode(), 0);
    QStringList lines = QString::fromUtf8(watch.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << lines.join("\n").toStdString();  // 9999 is known to neither market

    // code, name, trade time, last, bid, ask, change, volume, previous close, open, high, low
    auto row = [&](int i) { return lines[i].split('\t').mid(2); };
    QStringList tsmc = row(0);
    ASSERT_EQ(tsmc.size(), 12);
    EXPECT_TRUE(tsmc[6].startsWith(QString::fromUtf8("△5"))) << tsmc[6].toStdString();
    tsmc.removeAt(6);  // the board keeps what follows the change figure on its line
    EXPECT_EQ(
        tsmc,
        QString::fromUtf8("2330\t台積電\t10:02:03\t1030\t1030\t1035\t23,456\t1025\t1020\t1035\t1015").split('\t'));
    EXPECT_EQ(row(1)[1], QString::fromUtf8("台　泥"));
    EXPECT_TRUE(row(1)[6].startsWith(QString::fromUtf8("▲3.35"))) << row(1)[6].toStdString();
    EXPECT_EQ(row(2)[0], "6488");
    EXPECT_TRUE(row(2)[6].startsWith(QString::fromUtf8("▽19.5"))) << row(2)[6].toStdString();

    nlohmann::json status = StatusOf(server);
    EXPECT_EQ(status["source"], "twse");
    EXPECT_EQ(status["state"], "up");
    EXPECT_EQ(status["upstream"], up.Url());
}

TEST(GatewayEndToEnd, FiftyBoardsShareOneUpstreamRequestPerIntervalAndTroubleStaysUpstream) {
    FakeUpstream up;
    up.Serve("morning.json");
    up.SetUserDelay(300);
    ServerProcess server;
    ASSERT_TRUE(server.Start(
        {"--source", "twse", "--upstream", up.Url(), "--upstream-interval-ms", "300", "--daily-closes", ""}))
        << server.Error();

    const std::vector<std::string> codes = {"2330", "2317", "1101", "6488", "0050", "2454", "9999", "1234"};
    std::atomic<int> pages = 0, bad = 0;
    // Each new code waits for the next request: the first round takes a few intervals.
    auto until = std::chrono::steady_clock::now() + 4s;
    std::vector<std::thread> boards;
    for (int b = 0; b < 50; ++b)
        boards.emplace_back([&] {
            httplib::Client client("127.0.0.1", server.Port());
            client.set_keep_alive(true);
            client.set_read_timeout(15s);
            while (std::chrono::steady_clock::now() < until) {
                for (const std::string& code : codes) {
                    httplib::Result r = client.Get(("/q/q?s=" + code).c_str());
                    ++pages;
                    float ref = 0;
                    std::vector<std::string> fields;
                    bool quoted = r && r->status == 200 && ScrapeQuotePage(r->body, code, ref, fields);
                    if (quoted != (code != "9999" && code != "1234")) ++bad;
                }
                std::this_thread::sleep_for(50ms);
            }
        });
    for (auto& t : boards) t.join();
    EXPECT_GT(pages, 800);
    EXPECT_EQ(bad, 0);
    ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 1));
    std::vector<FakeUpstream::Request> requests = up.Requests();
    ASSERT_GE(requests.size(), 2u);
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_GE(requests[i].at - requests[i - 1].at, 290ms) << "request " << i;
    // A request carries every code still to be polled at once; the unknown ones no longer.
    EXPECT_EQ(requests.back().channels, (std::set<std::string>{"tse_2330.tw", "tse_2317.tw", "tse_1101.tw",
                                                               "otc_6488.tw", "tse_0050.tw", "tse_2454.tw"}));

    // A failing service: the boards keep the last good page, /status tells what happened.
    const std::string before = Get(server, "/q/q?s=2330").second;
    up.SetMode(FakeUpstream::Mode::Status500);
    ASSERT_TRUE(up.WaitForRequests(requests.size() + 2));
    nlohmann::json status = StatusOf(server);
    for (int i = 0; i < 100 && status["state"] != "down"; ++i) {
        std::this_thread::sleep_for(50ms);
        status = StatusOf(server);
    }
    EXPECT_EQ(status["state"], "down") << status.dump();
    EXPECT_EQ(status["lastError"], "HTTP status 500");
    EXPECT_TRUE(status["lastGood"].is_string());
    EXPECT_GE(status["failures"], 1);
    EXPECT_EQ(Get(server, "/q/q?s=2330").second, before);
    EXPECT_EQ(server.Stop(), 0);
}

TEST(GatewayEndToEnd, RefusesToStartWithUpstreamOptionsItCannotUse) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--upstream", "http://127.0.0.1:1/q"},  // without --source twse
                                               {"--source", "twse", "--upstream", "ftp://127.0.0.1/q"},
                                               {"--source", "twse", "--upstream-ca", "/nonexistent/ca.pem"},
                                               {"--source", "twse", "--upstream-interval-ms", "0"},
                                               {"--source", "nasdaq"}}) {
        ServerProcess server;
        EXPECT_FALSE(server.Start(args)) << args.back();
    }
}
