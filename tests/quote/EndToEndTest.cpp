// The quote model against real peers on loopback: the bundled quote server, the quotewatch
// program, and scripted servers that stall or send too much.
#include "FailingPages.h"
#include "QuotePages.h"
#include "e2e/Harness.h"
#include "quote/fQuoteDef.h"
#include "support/LoopbackServer.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using nettest::LoopbackServer;
using Conn = LoopbackServer::Conn;
using testsupport::ServerProcess;
using testsupport::StartQuotewatch;
using testsupport::TempDir;
using testsupport::WorkingDir;
using testsupport::WriteFileBytes;

namespace {

// Reads each request, then answers with the fixed reply and closes.
LoopbackServer::Script Reply(std::string reply) {
    return [reply](Conn& c) {
        c.ReadRequest();
        c.Send(reply);
    };
}

// Reads each request and then stays silent until the client goes.
void Silent(Conn& c) {
    c.ReadRequest();
    c.WaitClosed();
}

class EndToEnd : public ::testing::Test {
protected:
    std::function<ui::TDateTime()> oldClock;
    std::string oldServer;
    void SetUp() override {
        oldServer = QuoteServer();
        IsWeekend = Refreshing = RefreshSuspended = Fetching = false;
        // Inside the trading window, so loaded stocks are fetched again.
        oldClock = ui::SetClock([] { return ui::EncodeDateTime(2026, 12, 8, 10, 0, 0); });
    }
    void TearDown() override {
        ui::SetClock(oldClock);
        SetQuoteServer(oldServer);
    }
};

}  // namespace

TEST_F(EndToEnd, TheWatchListFetchesEveryStockFromTheQuoteServer) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "42", "--always-open"}));
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    TempDir dir;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), testsupport::DefaultStockList());
    WorkingDir cwd(dir.path());
    const auto names = testsupport::AvailableNames();

    TStockObjList list;
    ASSERT_EQ(list.Count(), 10);
    std::vector<int> rows;
    list.OnUpdate = [&](TStockObjList*, int i, TStockObj* stock) {
        rows.push_back(i);
        const TStockData& d = stock->Data();
        EXPECT_TRUE(Fetching == false);
        EXPECT_EQ(d.Changed & FieldBit(qfName), FieldBit(qfName));
        EXPECT_EQ(d.Fields[qfName], names.at(d.Code)) << d.Code;
        EXPECT_GT(QuoteValue(d.Fields[qfLast]), 0.0f) << d.Code;
        EXPECT_GT(QuoteValue(d.Fields[qfPrevClose]), 0.0f) << d.Code;
        EXPECT_EQ(d.Fields[qfTradeTime].size(), 8u) << d.Code;
        // The reference price (last minus change) is the previous close the page shows.
        EXPECT_NEAR(d.RefPrice, QuoteValue(d.Fields[qfPrevClose]), 0.011) << d.Code;
    };
    list.Refresh(true);
    EXPECT_EQ(rows, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_FALSE(Refreshing);
}

TEST_F(EndToEnd, AnUnknownCodeOrAStoppedServerBringsNoUpdate) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "1", "--always-open"}));
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    TStockObj unknown("9999");
    EXPECT_FALSE(unknown.Update());
    EXPECT_EQ(unknown.Data().Fields, std::vector<std::string>(11));
    // The stock keeps why its last fetch failed, and when.
    EXPECT_EQ(unknown.LastError, "No quote for 9999 on the page");
    EXPECT_EQ(unknown.LastErrorTime, ui::Now());

    TStockObj known("2330");
    ASSERT_TRUE(known.Update());
    EXPECT_EQ(known.LastError, "");
    std::vector<std::string> before = known.Data().Fields;
    server.Stop();
    known.Data().LastFetch = 0;
    EXPECT_FALSE(known.Update());  // refused: the figures stay
    EXPECT_EQ(known.Data().Fields, before);
    EXPECT_EQ(known.LastError, "Connection Failed");
    EXPECT_FALSE(Fetching);
}

TEST_F(EndToEnd, TheRequestCarriesTheEscapedCode) {
    quotetest::PageQuote q;
    LoopbackServer peer(Reply("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + quotetest::QuotePage(q)));
    SetQuoteServer("127.0.0.1:" + std::to_string(peer.Port()));
    TStockObj stock("2330");
    EXPECT_TRUE(stock.Update());
    std::string req = peer.Requests().at(0);
    EXPECT_EQ(req.substr(0, req.find("\r\n")), "GET /q/q?s=2330 HTTP/1.0");

    TStockObj odd("23 0\r");
    EXPECT_FALSE(odd.Update());  // no such stock on the page, but the request stayed well formed
}

TEST_F(EndToEnd, AStalledServerOrAnOversizedPageFailsTheFetch) {
    int oldTimeOut = FetchTimeOutMs;
    FetchTimeOutMs = 300;
    {
        LoopbackServer silent(Silent);
        SetQuoteServer("127.0.0.1:" + std::to_string(silent.Port()));
        TStockObj stock("2330");
        QElapsedTimer t;
        t.start();
        EXPECT_FALSE(stock.Update());
        EXPECT_LT(t.elapsed(), 10000);  // ended by the time-out, not by the peer
        EXPECT_FALSE(Fetching);
    }
    FetchTimeOutMs = oldTimeOut;

    quotetest::PageQuote q;
    std::string page = quotetest::QuotePage(q) + std::string(MaxPageBytes + 1000, 'x');
    LoopbackServer big(Reply("HTTP/1.0 200 OK\r\n\r\n" + page));
    SetQuoteServer("127.0.0.1:" + std::to_string(big.Port()));
    TStockObj stock("2330");
    EXPECT_FALSE(stock.Update());
    EXPECT_EQ(stock.Data().Fields, std::vector<std::string>(11));
}

TEST_F(EndToEnd, QuotewatchPrintsOneLinePerStockAndWritesTheListBack) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "3", "--always-open"}));
    TempDir dir;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), " 2330\n1101\n\n0050");
    QProcess watch;
    StartQuotewatch(watch, dir.path(), server.Port(), {"--cycles", "1"});
    ASSERT_TRUE(watch.waitForFinished(30000));
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0);
    QStringList lines = QString::fromUtf8(watch.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << watch.readAllStandardError().toStdString();
    const char* codes[] = {"2330", "1101", "0050"};
    for (int i = 0; i < 3; ++i) {
        QStringList cols = lines[i].split('\t');
        ASSERT_EQ(cols.size(), 14) << lines[i].toStdString();
        EXPECT_EQ(cols[0].size(), 8);
        EXPECT_EQ(cols[1], QString::number(i + 1));
        EXPECT_EQ(cols[2], codes[i]);
    }
    EXPECT_EQ(lines[1].split('\t')[3], QString::fromUtf8("台　泥"));
    EXPECT_EQ(testsupport::ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n1101\r\n0050\r\n");

    QProcess help;
    StartQuotewatch(help, dir.path(), server.Port(), {"--help"});
    ASSERT_TRUE(help.waitForFinished(10000));
    EXPECT_TRUE(help.readAllStandardOutput().contains("--cycles"));
}

TEST_F(EndToEnd, QuotewatchEndsCleanlyOnSigterm) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "3", "--always-open"}));
    TempDir dir;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\n");
    QProcess watch;
    StartQuotewatch(watch, dir.path(), server.Port(), {});
    ASSERT_TRUE(watch.waitForReadyRead(20000));  // the first cycle printed its line
    watch.terminate();
    ASSERT_TRUE(watch.waitForFinished(20000));
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 0);
    EXPECT_EQ(testsupport::ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n");
}

// A page that comes slowly, so that handlers run while it downloads.
void SlowPage(Conn& c) {
    c.ReadRequest();
    c.Send("HTTP/1.0 200 OK\r\n\r\n");
    c.Pause(300);
    c.Send(quotetest::QuotePage(quotetest::PageQuote{}));
}

TEST_F(EndToEnd, ACycleSurvivesTheListGoingAwayDuringADownload) {
    LoopbackServer server(SlowPage);
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    TempDir dir;
    WorkingDir cwd(dir.path());
    for (bool destroy : {false, true}) {
        WriteFileBytes("STOCKLIST.TXT", "2330\r\n2330\r\n");
        auto* list = new TStockObjList;
        list->Suspend(true);
        int updates = 0;
        list->OnUpdate = [&](TStockObjList*, int, TStockObj*) { ++updates; };
        QTimer::singleShot(100, [&] {
            if (destroy)
                delete list;
            else
                list->Clear();
        });
        list->Refresh(true);
        EXPECT_FALSE(Refreshing);
        EXPECT_FALSE(Fetching);
        EXPECT_EQ(updates, 0);
        if (!destroy) {
            EXPECT_EQ(list->Count(), 0);
            delete list;
        }
    }
}

TEST_F(EndToEnd, RequestStopEndsTheDownloadUnderWayAndTheCycle) {
    LoopbackServer silent([](Conn& c) {
        c.ReadRequest();
        c.WaitClosed();
    });
    SetQuoteServer("127.0.0.1:" + std::to_string(silent.Port()));
    TempDir dir;
    WorkingDir cwd(dir.path());
    WriteFileBytes("STOCKLIST.TXT", "2330\r\n2317\r\n");
    TStockObjList list;
    QTimer::singleShot(100, [&] { list.RequestStop(); });
    QElapsedTimer t;
    t.start();
    list.Refresh(true);  // the fetch time-out is 15 s
    EXPECT_LT(t.elapsed(), FetchTimeOutMs / 2);
    EXPECT_FALSE(Refreshing);
    EXPECT_EQ(silent.Accepted(), 1);
    EXPECT_NE(list.Stocks(0)->LastError, "");
}

TEST_F(EndToEnd, ATricklingServerIsCutAtTheFetchDeadline) {
    // Each header line comes well within the time-out; the page never does.
    LoopbackServer trickle([](Conn& c) {
        c.ReadRequest();
        c.Send("HTTP/1.0 200 OK\r\n");
        while (c.Send("X-Wait: 1\r\n")) c.Pause(100);
    });
    SetQuoteServer("127.0.0.1:" + std::to_string(trickle.Port()));
    const int old = FetchTimeOutMs;
    FetchTimeOutMs = 400;
    TStockObj stock("2330");
    EXPECT_FALSE(stock.Update());
    FetchTimeOutMs = old;
    EXPECT_EQ(stock.LastError, "Socket readln aborted");
    EXPECT_FALSE(Fetching);
}

TEST_F(EndToEnd, QuotewatchReportsEachFetchErrorOnceAndAFailedSave) {
    nettest::RefusedPort refused;
    auto dir = std::make_unique<TempDir>();
    const std::string path = dir->path();
    WriteFileBytes(dir->file("STOCKLIST.TXT"), "2330\n");
    QProcess watch;
    watch.setReadChannel(QProcess::StandardError);
    StartQuotewatch(watch, dir->path(), refused.Port(), {"--cycles", "2"});
    ASSERT_TRUE(watch.waitForReadyRead(20000));  // the first cycle reported its failure
    // The working directory goes away: the list cannot be written back at the end.
    std::filesystem::remove_all(path);
    ASSERT_TRUE(watch.waitForFinished(30000));
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 1);
    const QString err = QString::fromUtf8(watch.readAllStandardError());
    EXPECT_EQ(err.count("row 1 2330: Connection Failed"), 1) << err.toStdString();
    EXPECT_EQ(err.count("Cannot create file"), 1) << err.toStdString();
    ::mkdir(path.c_str(), 0700);  // for the TempDir to remove
}

// quotewatch inside the trading window, its clock six times as fast (the 60 s bound passes in
// about 10 s): the server stops, each stock is reported stale once, and fresh once it is back.
TEST_F(EndToEnd, QuotewatchReportsAStockTurningStaleAndFreshAgain) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--seed", "3", "--always-open"}));
    TempDir dir;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\n2317\n");
    QProcess watch;
    {
        // The child takes this process's environment: the fake clock is put there for its start.
        std::vector<std::pair<std::string, std::optional<std::string>>> saved;
        for (const std::string& e : e2e::FakeTimeEnvironment("2026-12-09 10:00:00 x6")) {
            const std::string name = e.substr(0, e.find('='));
            const char* old = std::getenv(name.c_str());
            saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            ::setenv(name.c_str(), e.substr(name.size() + 1).c_str(), 1);
        }
        StartQuotewatch(watch, dir.path(), server.Port(), {});
        for (const auto& [name, old] : saved) old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
    }
    ASSERT_TRUE(watch.waitForReadyRead(20000));  // the first cycle printed its lines
    QString err;
    auto waitFor = [&](const QString& text, int count) {
        for (int i = 0; i < 300 && err.count(text) < count; ++i) {
            watch.waitForReadyRead(100);
            watch.readAllStandardOutput();
            err += QString::fromUtf8(watch.readAllStandardError());
        }
        return err.count(text) >= count;
    };
    const int port = server.Port();
    server.Stop();
    EXPECT_TRUE(waitFor(": stale", 2)) << err.toStdString();
    ASSERT_TRUE(server.Start({"--seed", "3", "--always-open", "--port", std::to_string(port)})) << server.Error();
    EXPECT_TRUE(waitFor(": fresh again", 2)) << err.toStdString();
    watch.terminate();
    ASSERT_TRUE(watch.waitForFinished(20000));
    err += QString::fromUtf8(watch.readAllStandardError());
    for (const char* code : {"row 1 2330", "row 2 2317"}) {
        EXPECT_EQ(err.count(QString(code) + ": stale"), 1) << err.toStdString();
        EXPECT_EQ(err.count(QString(code) + ": fresh again"), 1) << err.toStdString();
    }
}

// A test killed outright (a crash, a time-out's SIGKILL) leaves no quote server behind.
TEST(ServerProcessLifetime, TheServerDiesWithTheProcessThatStartedIt) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t starter = ::fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        ::close(fds[0]);
        ServerProcess server;
        pid_t pid = server.Start({"--always-open"}) ? server.Pid() : -1;
        if (::write(fds[1], &pid, sizeof pid) != sizeof pid) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(fds[1]);
    pid_t server = -1;
    ASSERT_EQ(::read(fds[0], &server, sizeof server), static_cast<ssize_t>(sizeof server));
    ::close(fds[0]);
    ASSERT_GT(server, 0);
    ::kill(starter, SIGKILL);
    ::waitpid(starter, nullptr, 0);
    // Gone, or a zombie waiting for a reaper that no longer concerns the test.
    auto alive = [server] {
        std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
        std::string pid, name, state;
        return stat >> pid >> name >> state && state != "Z" && state != "X";
    };
    QElapsedTimer t;
    t.start();
    while (alive() && t.elapsed() < 5000) QThread::msleep(10);
    EXPECT_FALSE(alive());
}

// A server that accepts and never answers costs a cycle one fetch deadline, not one per stock;
// a forced cycle tries the stocks that have not failed first. A server whose pages lack the
// data keeps the cycle going through every stock.
TEST_F(EndToEnd, ACycleEndsAtTheFirstStockTheServerDoesNotAnswer) {
    const int oldTimeOut = FetchTimeOutMs;
    FetchTimeOutMs = 300;
    TempDir dir;
    WorkingDir cwd(dir.path());
    WriteFileBytes("STOCKLIST.TXT", "2330\r\n2317\r\n2454\r\n");
    {
        LoopbackServer silent(Silent);
        SetQuoteServer("127.0.0.1:" + std::to_string(silent.Port()));
        TStockObjList list;
        list.Refresh(true);
        EXPECT_EQ(silent.Accepted(), 1);
        EXPECT_TRUE(list.Stocks(0)->ServerFailed);
        EXPECT_EQ(list.Stocks(1)->Data().LastFetch, 0);
        list.Refresh(true);
        ASSERT_EQ(silent.Requests().size(), 2u);
        EXPECT_EQ(quotetest::RequestedCode(silent.Requests()[1]), "2317");
        EXPECT_FALSE(Refreshing);
    }
    FetchTimeOutMs = oldTimeOut;

    LoopbackServer empty(Reply("HTTP/1.0 200 OK\r\n\r\n<html>no quotes today</html>"));
    SetQuoteServer("127.0.0.1:" + std::to_string(empty.Port()));
    TStockObjList list;
    list.Refresh(true);
    EXPECT_EQ(empty.Accepted(), 3);
    EXPECT_FALSE(list.Stocks(2)->ServerFailed);
    list.Clear();
}

// Stocks whose pages stall, are too large or are cut off never keep the rows after them from
// being fetched: the stall ends its cycle, and a failed stock waits (10 s, then 20 s) while
// the next cycles go past it; the good rows come first in every cycle once it has failed.
TEST_F(EndToEnd, FailingStocksNeverStarveTheRowsAfterThem) {
    const int oldTimeOut = FetchTimeOutMs;
    FetchTimeOutMs = 300;
    ui::TDateTime now = ui::EncodeDateTime(2026, 12, 8, 10, 0, 0);
    ui::SetClock([&now] { return now; });
    TempDir dir;
    WorkingDir cwd(dir.path());
    WriteFileBytes("STOCKLIST.TXT", "STLL\r\nHUGE\r\nCLOS\r\n2330\r\n2317\r\n1101\r\n");
    LoopbackServer server(quotetest::FailingCodes);
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    TStockObjList list;
    std::vector<int> rows;
    list.OnUpdate = [&](TStockObjList*, int i, TStockObj*) { rows.push_back(i); };
    std::size_t seen = 0;
    // One cycle six seconds after the last; the codes it asked the server for.
    auto cycle = [&] {
        now += ui::EncodeTime(0, 0, 6);
        list.Refresh(false);
        std::vector<std::string> codes;
        const std::vector<std::string> requests = server.Requests();
        for (; seen < requests.size(); ++seen) codes.push_back(quotetest::RequestedCode(requests[seen]));
        return codes;
    };
    using Codes = std::vector<std::string>;
    EXPECT_EQ(cycle(), Codes{"STLL"});
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(cycle(), (Codes{"HUGE", "CLOS", "2330", "2317", "1101"}));
    EXPECT_EQ(rows, (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(list.Stocks(1)->FailedFetches, 1);
    EXPECT_FALSE(list.Stocks(1)->TimedOut);
    // The stall's 10 s wait is over; the good rows (polled every 8 s) are not due yet.
    EXPECT_EQ(cycle(), Codes{"STLL"});
    EXPECT_EQ(list.Stocks(0)->FailedFetches, 2);
    // The good rows first, then the failed ones whose wait is over; the stall now waits 20 s.
    EXPECT_EQ(cycle(), (Codes{"2330", "2317", "1101", "HUGE", "CLOS"}));
    EXPECT_NEAR(static_cast<double>(list.Stocks(0)->RetryAfter - list.Stocks(0)->Data().LastFetch),
                static_cast<double>(TStockObj::RetryDelay(2)), 1e-9);
    // A forced cycle tries the waiting stocks too, after the good rows, and ends at the stall.
    now += ui::EncodeTime(0, 0, 1);
    list.Refresh(true);
    EXPECT_EQ(server.Requests().size(), seen + 4);
    EXPECT_EQ(quotetest::RequestedCode(server.Requests().back()), "STLL");
    FetchTimeOutMs = oldTimeOut;
    list.Clear();
}

// The same list in quotewatch, against its own 15 s deadline: the stall ends the first cycle,
// and the second prints the three good rows.
TEST_F(EndToEnd, QuotewatchReportsTheRowsAfterFailingStocks) {
    LoopbackServer server(quotetest::FailingCodes);
    TempDir dir;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "STLL\nHUGE\nCLOS\n2330\n2317\n1101\n");
    QProcess watch;
    StartQuotewatch(watch, dir.path(), server.Port(), {"--cycles", "2"});
    ASSERT_TRUE(watch.waitForFinished(60000));
    EXPECT_EQ(watch.exitCode(), 0);
    const QString err = QString::fromUtf8(watch.readAllStandardError());
    QStringList rows;
    for (const QString& line : QString::fromUtf8(watch.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
        rows << line.section('\t', 1, 2);
    EXPECT_EQ(rows, (QStringList{"4\t2330", "5\t2317", "6\t1101"})) << err.toStdString();
    for (const char* row : {"row 1 STLL", "row 2 HUGE", "row 3 CLOS"}) EXPECT_TRUE(err.contains(row)) << row;
}

// Fetches that fail slowly without running out their deadline end the cycle once they have
// taken one deadline together; the stocks after them are reached in the next cycle, first.
TEST_F(EndToEnd, SlowFailuresEndTheCycleOnceTheyHaveTakenADeadline) {
    const int oldTimeOut = FetchTimeOutMs;
    FetchTimeOutMs = 2000;
    ui::TDateTime now = ui::EncodeDateTime(2026, 12, 8, 10, 0, 0);
    ui::SetClock([&now] { return now; });
    LoopbackServer server([](Conn& c) {
        const std::string code = quotetest::RequestedCode(c.ReadRequest());
        if (code == "2330") {
            quotetest::PageQuote q;
            c.Send("HTTP/1.0 200 OK\r\n\r\n" + quotetest::QuotePage(q));
            return;
        }
        c.Send("HTTP/1.0 200 OK\r\n");
        c.Pause(1200);  // then cut off
    });
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    TempDir dir;
    WorkingDir cwd(dir.path());
    WriteFileBytes("STOCKLIST.TXT", "SLW1\r\nSLW2\r\nSLW3\r\n2330\r\n");
    TStockObjList list;
    list.Refresh(false);
    EXPECT_EQ(server.Requests().size(), 2u);
    EXPECT_FALSE(list.Stocks(1)->TimedOut);
    EXPECT_EQ(list.Stocks(2)->Data().LastFetch, 0);
    now += ui::EncodeTime(0, 0, 6);
    list.Refresh(false);
    ASSERT_EQ(server.Requests().size(), 4u);
    EXPECT_EQ(quotetest::RequestedCode(server.Requests()[3]), "2330");
    EXPECT_TRUE(list.Stocks(3)->Data().Loaded);
    FetchTimeOutMs = oldTimeOut;
    list.Clear();
}
