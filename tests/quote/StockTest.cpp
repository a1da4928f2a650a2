// The stock record's update rules and the watch list's file, cycle and listener rules, with a
// stock whose downloads are scripted by the test and a clock set by the test.
#include "quote/fQuoteDef.h"
#include "support/TempDir.h"
#include "ui/core/Application.h"
#include "ui/core/DateTime.h"
#include "ui/core/Exception.h"
#include "ui/core/TextFile.h"

#include <QElapsedTimer>
#include <QTimer>
#include <deque>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WorkingDir;
using testsupport::WriteFileBytes;

namespace {

constexpr long double Sec = 1.0L / 86400.0L;

// A stock whose downloads return scripted pages: each entry is the eleven fields (or a failure).
struct ScriptedStock : TStockObj {
    using TStockObj::TStockObj;
    std::deque<std::optional<std::vector<std::string>>> replies;
    std::vector<std::string> last = std::vector<std::string>(11, "x");  // repeated when replies run out
    int fetches = 0;
    ui::TDateTime lastFetchSeenDuringDownload = -1;
    // Runs inside the download, as a handler dispatched by its waits would.
    std::function<void()> during;

    bool FetchQuote(const std::string&, float& ref, std::vector<std::string>& fields) override {
        ++fetches;
        if (during) {
            // Whatever the handler does, the download must not touch this stock afterwards.
            auto run = std::move(during);
            if (!ui::Survives(Lifetime(), run)) return false;
        }
        lastFetchSeenDuringDownload = Data().LastFetch;
        fields.clear();
        ref = 0;
        std::optional<std::vector<std::string>> r = last;
        if (!replies.empty()) {
            r = replies.front();
            replies.pop_front();
        }
        if (!r) {
            ServerFailed = true;  // as a refused or broken connection
            return false;
        }
        fields = *r;
        last = *r;
        ref = QuoteValue(fields[qfLast]) - QuoteValue(fields[qfChange]);
        return true;
    }
};

std::vector<std::string> Quote(const std::string& last) {
    std::vector<std::string> f(11);
    f[qfName] = "name";
    f[qfLast] = last;
    return f;
}

// Sets the clock and the weekend flag for the test, and restores them after it.
class QuoteModel : public ::testing::Test {
protected:
    ui::TDateTime now = ui::EncodeDateTime(2026, 12, 8, 10, 0, 0);
    std::function<ui::TDateTime()> oldClock;
    void SetUp() override {
        oldClock = ui::SetClock([this] { return now; });
        IsWeekend = Refreshing = RefreshSuspended = Fetching = false;
    }
    void TearDown() override {
        ui::SetClock(oldClock);
        IsWeekend = Refreshing = RefreshSuspended = Fetching = false;
    }
    void Advance(double seconds) { now += seconds / 86400.0; }
};

}  // namespace

TEST_F(QuoteModel, ANewStockIsDueAndRecordsEveryChangedField) {
    ScriptedStock s("2330");
    EXPECT_EQ(s.Data().Fields.size(), 11u);
    s.replies = {Quote("100")};
    EXPECT_TRUE(s.Update());
    EXPECT_EQ(s.Data().Changed, FieldBit(qfName) | FieldBit(qfLast));
    EXPECT_TRUE(s.Data().Loaded);
    EXPECT_FLOAT_EQ(s.Data().RefPrice, 100.0f);
    EXPECT_EQ(s.lastFetchSeenDuringDownload, now);  // set before the download starts
    EXPECT_NEAR((double)s.Data().PollInterval, (double)(8 * Sec), 1e-12);
    // Bits left in Changed count as a change even when nothing new arrives.
    Advance(9);
    EXPECT_TRUE(s.Update());
    s.Data().Changed = 0;
    Advance(9);
    EXPECT_FALSE(s.Update());
}

TEST_F(QuoteModel, PollIntervalMovesOneSecondAFetchBetween8And25) {
    ScriptedStock s("2330");
    // From 0, a first fetch without changes gives 1 s.
    s.last = std::vector<std::string>(11);
    EXPECT_FALSE(s.Update());
    EXPECT_NEAR((double)s.Data().PollInterval, (double)Sec, 1e-12);
    // Changes pull it down to 8 s and hold it there.
    s.Reset("2330");
    for (int i = 0; i < 3; ++i) {
        s.replies = {Quote(std::to_string(100 + i))};
        Advance(30);
        EXPECT_TRUE(s.Update());
        s.Data().Changed = 0;
        EXPECT_NEAR((double)s.Data().PollInterval, (double)(8 * Sec), 1e-12);
    }
    // Seventeen fetches without changes reach 25 s, where it stays.
    for (int i = 0; i < 20; ++i) {
        Advance(30);
        EXPECT_FALSE(s.Update());
    }
    EXPECT_NEAR((double)s.Data().PollInterval, (double)(25 * Sec), 1e-12);
    EXPECT_EQ(s.fetches, 24);
}

TEST_F(QuoteModel, AStockIsNotFetchedBeforeItsIntervalHasPassed) {
    ScriptedStock s("2330");
    s.replies = {Quote("100")};
    ASSERT_TRUE(s.Update());
    s.Data().Changed = 0;
    Advance(8);  // exactly the interval: not yet due
    EXPECT_FALSE(s.Update());
    EXPECT_EQ(s.fetches, 1);
    Advance(0.5);
    s.Update();
    EXPECT_EQ(s.fetches, 2);
}

TEST_F(QuoteModel, AFailedFetchChangesNothingButLastFetch) {
    ScriptedStock s("2330");
    s.replies = {Quote("100"), std::nullopt};
    ASSERT_TRUE(s.Update());
    s.Data().Changed = 0;
    TStockData before = s.Data();
    Advance(20);
    EXPECT_FALSE(s.Update());
    EXPECT_EQ(s.fetches, 2);
    EXPECT_EQ(s.Data().LastFetch, now);
    EXPECT_EQ(s.Data().Fields, before.Fields);
    EXPECT_EQ(s.Data().PollInterval, before.PollInterval);
    EXPECT_EQ(s.Data().RefPrice, before.RefPrice);
    EXPECT_EQ(s.Data().Changed, 0);
}

// A stock whose server failed is not fetched again before its wait is over: 10 s after the
// first failure, doubled after each further one up to 2 minutes; a fetch that brings the page
// ends the waits, and so does a page without the stock's data, which is retried when due.
TEST_F(QuoteModel, AFailedStockWaitsLongerAfterEachFailure) {
    ScriptedStock s("2330");
    s.replies = {std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt, std::nullopt, Quote("100"), std::nullopt};
    EXPECT_FALSE(s.Update());
    int fetches = 1;
    for (double wait : {10, 20, 40, 80, 120, 120}) {
        Advance(wait - 0.5);
        EXPECT_FALSE(s.Update());
        EXPECT_EQ(s.fetches, fetches) << "fetched before its " << wait << " s wait was over";
        Advance(1);
        s.Update();
        EXPECT_EQ(s.fetches, ++fetches) << "not fetched after its " << wait << " s wait";
    }
    EXPECT_TRUE(s.Data().Loaded);
    EXPECT_EQ(s.FailedFetches, 0);
    s.Data().Changed = 0;
    Advance(9);
    EXPECT_FALSE(s.Update());  // fails again: the first wait once more
    Advance(9.5);
    s.Update();
    EXPECT_EQ(s.fetches, fetches + 1);
    struct NoQuote : TStockObj {
        using TStockObj::TStockObj;
        int fetches = 0;
        bool FetchQuote(const std::string&, float&, std::vector<std::string>&) override {
            ++fetches;
            return false;
        }
    } page("9999");
    page.FailedFetches = 2;  // the server was down before
    for (int i = 0; i < 3; ++i) {
        page.Update();
        Advance(1);
    }
    EXPECT_EQ(page.fetches, 3);
    EXPECT_EQ(page.FailedFetches, 0);
    s.Reset("2317");
    EXPECT_EQ(s.RetryAfter, 0);
    EXPECT_EQ(s.FailedFetches, 0);
}

TEST_F(QuoteModel, OutsideTheTradingWindowOnlyNewStocksAreFetched) {
    now = ui::EncodeDateTime(2026, 12, 8, 20, 0, 0);
    ScriptedStock s("2330");
    s.last = std::vector<std::string>(11);  // nothing changes: stays unloaded
    EXPECT_FALSE(s.Update());
    Advance(5);
    EXPECT_FALSE(s.Update());
    EXPECT_EQ(s.fetches, 2);
    s.replies = {Quote("100")};
    Advance(5);
    EXPECT_TRUE(s.Update());
    s.Data().Changed = 0;
    s.Data().LastFetch = 0;  // forced: still outside the window
    Advance(60);
    EXPECT_FALSE(s.Update());
    EXPECT_EQ(s.fetches, 3);
    // Reset makes it new again.
    s.Reset("2317");
    EXPECT_FALSE(s.Data().Loaded);
    EXPECT_EQ(s.Data().Code, "2317");
    EXPECT_EQ(s.Data().Fields, std::vector<std::string>(11));
    s.Update();
    EXPECT_EQ(s.fetches, 4);
}

// Stale: inside the trading window, no page for longer than max(3 x PollInterval, 60 s),
// counted from the last success, the creation or reset, or today's window opening.
TEST_F(QuoteModel, AStockWithoutAPageForTooLongIsStaleInsideTheWindowOnly) {
    ScriptedStock s("2330");
    Advance(59);
    EXPECT_FALSE(s.IsStale());  // not 60 s since it was created
    Advance(2);
    EXPECT_TRUE(s.IsStale());
    EXPECT_TRUE(s.Update());  // the first page: fresh, interval 8 s
    EXPECT_EQ(s.LastSuccessTime, now);
    EXPECT_FALSE(s.IsStale());
    s.Data().Changed = 0;  // handed on

    // Failures, each once the wait the one before it set is over: stale once 60 s (more than
    // 3 x 8 s) have passed since the last page.
    s.replies = {std::nullopt, std::nullopt, std::nullopt};
    for (int seconds : {14, 14, 28}) {
        Advance(seconds);
        EXPECT_FALSE(s.Update());
    }
    EXPECT_EQ(s.fetches, 4);
    EXPECT_FALSE(s.IsStale());  // 56 s
    Advance(5);
    EXPECT_TRUE(s.IsStale());
    // A page that changes nothing, after the third failure's 40 s wait, is fresh all the same;
    // the stock merely stands still.
    Advance(36);
    EXPECT_FALSE(s.Update());
    EXPECT_EQ(s.fetches, 5);
    EXPECT_FALSE(s.IsStale());

    // A long interval lengthens the bound: 25 s gives 75 s.
    s.Data().PollInterval = 25 * Sec;
    Advance(70);
    EXPECT_FALSE(s.IsStale());
    Advance(6);
    EXPECT_TRUE(s.IsStale());
    // Outside the window, and on a closed day, nothing is stale.
    IsWeekend = true;
    EXPECT_FALSE(s.IsStale());
    IsWeekend = false;
    now = ui::EncodeDateTime(2026, 12, 8, 13, 36, 0);
    EXPECT_FALSE(s.IsStale());

    // The next morning the time counts from the window's opening, not from yesterday.
    now = ui::EncodeDateTime(2026, 12, 9, 8, 56, 59);
    EXPECT_FALSE(s.IsStale());
    now = ui::EncodeDateTime(2026, 12, 9, 8, 57, 16);
    EXPECT_TRUE(s.IsStale());
    // Another code starts the count again.
    s.Reset("2317");
    EXPECT_EQ(s.LastSuccessTime, 0);
    EXPECT_FALSE(s.IsStale());
}

TEST_F(QuoteModel, ALastPriceThatIsNoNumberKeepsTheStoredReference) {
    ScriptedStock s("2330");
    s.replies = {Quote("100"), Quote("-")};
    ASSERT_TRUE(s.Update());
    Advance(20);
    ASSERT_TRUE(s.Update());
    EXPECT_FLOAT_EQ(s.Data().RefPrice, 100.0f);
}

// ---------------------------------------------------------------------------------------------

class WatchList : public QuoteModel {
protected:
    TempDir dir;
    std::unique_ptr<WorkingDir> cwd;
    void SetUp() override {
        QuoteModel::SetUp();
        cwd = std::make_unique<WorkingDir>(dir.path());
    }
    void TearDown() override {
        cwd.reset();
        QuoteModel::TearDown();
    }
    static std::string File() { return ReadFileBytes(TStockObjList::FileName); }
    // Replaces every stock of the list by a scripted one with the same code.
    static std::vector<ScriptedStock*> Script(TStockObjList& list) {
        std::vector<ScriptedStock*> stocks;
        for (auto& item : list.Items) {
            auto s = std::make_unique<ScriptedStock>(item.Object->Data().Code);
            stocks.push_back(s.get());
            item.Object = std::move(s);
        }
        return stocks;
    }
};

TEST_F(WatchList, NoFileGivesAnEmptyListAndNoFileAtExit) {
    {
        TStockObjList list;
        EXPECT_EQ(list.Count(), 0);
        EXPECT_EQ(list.Stocks(0), nullptr);
        EXPECT_EQ(list.Stocks(-1), nullptr);
    }
    EXPECT_FALSE(ui::FileExists(TStockObjList::FileName));
}

TEST_F(WatchList, ReadsTheFirstTenLinesTrimmedAndWritesThemBackWithCrLf) {
    WriteFileBytes(TStockObjList::FileName,
                   "2330\n\n 2317 \r\n\t2454\r\r2412\n2882\n2881\n2330\n1301\n2002\n2303\n0050\n");
    {
        TStockObjList list;
        // Ten lines counted: two blank ones among them, so eight stocks; duplicates stay.
        ASSERT_EQ(list.Count(), 8);
        EXPECT_EQ(list.Stocks(1)->Data().Code, "2317");
        EXPECT_EQ(list.Stocks(2)->Data().Code, "2454");
        EXPECT_EQ(list.Stocks(6)->Data().Code, "2330");
        EXPECT_EQ(list.Items[1].Code, "2317");
    }
    EXPECT_EQ(File(), "2330\r\n2317\r\n2454\r\n2412\r\n2882\r\n2881\r\n2330\r\n1301\r\n");
}

// The watch list's bytes are its own: a NUL is a byte of its line, trimmed at the ends like the
// other control bytes, and ends nothing. Temporaries of saves cut short by a kill go at start-up.
TEST_F(WatchList, ANulByteEndsNoLineAndStaleTemporariesGoAtStart) {
    WriteFileBytes(TStockObjList::FileName,
                   std::string("2330\n\0 2317\n1101\n1102\n1103\n1216\n1301\n2002\n2303\n2454\n", 52));
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    const std::string base = std::string(TStockObjList::FileName) + ".tmp~";
    const std::vector<std::string> stale = {base + std::to_string(dead), base + "12345678901234", base + "0"};
    const std::string alive = base + std::to_string(::getppid());
    for (const std::string& f : stale) WriteFileBytes(f, "2330\r\n");
    WriteFileBytes(alive, "2330\r\n");
    {
        TStockObjList list;
        ASSERT_EQ(list.Count(), 10);
        EXPECT_EQ(list.Stocks(1)->Data().Code, "2317");
        EXPECT_EQ(list.Stocks(9)->Data().Code, "2454");
        for (const std::string& f : stale) EXPECT_FALSE(ui::PathExists(f)) << f;
        EXPECT_TRUE(ui::PathExists(alive));
        list.Clear();
        list.Add("2330", std::make_unique<TStockObj>("2330"));
    }
    EXPECT_EQ(File(), "2330\r\n");
}

TEST_F(WatchList, SavesEachStocksOwnCodeAndDeletesTheFileWhenEmpty) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n");
    {
        TStockObjList list;
        list.Stocks(0)->Reset(" 2317 ");
        list.Add("1101", std::make_unique<TStockObj>("1101"));
    }
    EXPECT_EQ(File(), "2317\r\n1101\r\n");
    {
        TStockObjList list;
        list.Clear();
    }
    EXPECT_FALSE(ui::FileExists(TStockObjList::FileName));
}

TEST_F(WatchList, AnUnreadableFileIsReportedAndLeftAsItWas) {
    if (::geteuid() == 0) {
        // root reads any file: make it unreadable by making it a directory's name instead.
        ASSERT_EQ(::mkdir(TStockObjList::FileName, 0755), 0);
    } else {
        WriteFileBytes(TStockObjList::FileName, "2330\r\n");
        ::chmod(TStockObjList::FileName, 0);
    }
    std::vector<std::string> errors;
    auto old = ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    struct stat before {};
    ::stat(TStockObjList::FileName, &before);
    {
        TStockObjList list;
        EXPECT_EQ(list.Count(), 0);
        EXPECT_FALSE(list.CanSave());
        list.Add("2330", std::make_unique<TStockObj>("2330"));
    }
    ui::SetExceptionHandler(old);
    // Told at start, and told once more at exit that the stock put in since was not saved.
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("not saved"), std::string::npos) << errors[1];
    EXPECT_NE(errors[1].find(TStockObjList::FileName), std::string::npos) << errors[1];
    struct stat after {};
    ASSERT_EQ(::stat(TStockObjList::FileName, &after), 0);  // neither deleted nor replaced
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(WatchList, AFailedSaveGoesToTheApplicationAndKeepsTheOldFile) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n");
    std::vector<std::string> errors;
    auto old = ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    {
        TStockObjList list;
        list.Stocks(0)->Reset("1101");
        // The temporary file cannot be created: a directory is in its place.
        const std::string temp = std::string(TStockObjList::FileName) + ".tmp~" + std::to_string(::getpid());
        ASSERT_EQ(::mkdir(temp.c_str(), 0755), 0);
    }
    ui::SetExceptionHandler(old);
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(File(), "2330\r\n");
}

TEST_F(WatchList, ACycleCallsTheListenerForChangedStocksInOrderAndEmptiesChanged) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n2454\r\n");
    TStockObjList list;
    auto s = Script(list);
    s[1]->replies = {std::nullopt};             // fails
    s[2]->last = std::vector<std::string>(11);  // nothing changes
    std::vector<std::pair<int, TFieldSet>> calls;
    list.OnUpdate = [&](TStockObjList* sender, int i, TStockObj* stock) {
        EXPECT_EQ(sender, &list);
        EXPECT_EQ(stock, list.Stocks(i));
        EXPECT_TRUE(Refreshing);
        calls.emplace_back(i, stock->Data().Changed);
    };
    list.Refresh(true);
    EXPECT_FALSE(Refreshing);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 0);
    EXPECT_NE(calls[0].second, 0);
    for (auto* st : s) EXPECT_EQ(st->Data().Changed, 0);
    // Half a second later no stock is due: the one that failed waits 10 s, the others their
    // intervals. Ten seconds on all three are fetched, the one that failed last, and it brings
    // data now. A forced cycle then fetches every stock again, and identical data call no one.
    Advance(0.5);
    list.Refresh(false);
    EXPECT_EQ(s[0]->fetches + s[1]->fetches + s[2]->fetches, 3);
    Advance(10);
    list.Refresh(false);
    EXPECT_EQ(s[0]->fetches + s[1]->fetches + s[2]->fetches, 6);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].first, 1);
    list.Refresh(true);
    EXPECT_EQ(s[0]->fetches + s[1]->fetches + s[2]->fetches, 9);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(WatchList, FlagsKeepCyclesApart) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n");
    TStockObjList list;
    auto s = Script(list);
    Refreshing = true;
    list.Refresh(true);
    Refreshing = false;
    RefreshSuspended = true;
    list.Refresh(true);
    RefreshSuspended = false;
    EXPECT_EQ(s[0]->fetches + s[1]->fetches, 0);
    // Suspension during a cycle stops it before its next stock.
    list.OnUpdate = [&](TStockObjList*, int, TStockObj*) { RefreshSuspended = true; };
    list.Refresh(true);
    EXPECT_EQ(s[0]->fetches, 1);
    EXPECT_EQ(s[1]->fetches, 0);
    RefreshSuspended = false;
    // No listener: Changed is still emptied.
    list.OnUpdate = nullptr;
    list.Refresh(true);
    EXPECT_EQ(s[1]->fetches, 1);
    EXPECT_EQ(s[1]->Data().Changed, 0);
}

TEST_F(WatchList, AnErrorInTheListenerEndsTheCycleAndClearsRefreshing) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n");
    TStockObjList list;
    auto s = Script(list);
    list.OnUpdate = [&](TStockObjList*, int, TStockObj*) { throw Exception("listener failed"); };
    EXPECT_THROW(list.Refresh(true), Exception);
    EXPECT_FALSE(Refreshing);
    EXPECT_EQ(s[1]->fetches, 0);
}

TEST_F(WatchList, RefreshStockFetchesAtOnceUnderTheGivenIndex) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n");
    TStockObjList list;
    auto s = Script(list);
    list.Refresh(true);
    std::vector<int> indices;
    list.OnUpdate = [&](TStockObjList*, int i, TStockObj*) { indices.push_back(i); };
    s[0]->replies = {Quote("101")};
    Advance(1);               // not due by its interval
    RefreshSuspended = true;  // not consulted
    list.RefreshStock(7, s[0]);
    EXPECT_EQ(indices, std::vector<int>{7});
    EXPECT_EQ(s[0]->Data().Changed, 0);
    EXPECT_EQ(s[0]->fetches, 2);
}

TEST_F(WatchList, TheTimerRunsCyclesFiveSecondsApartAndSurvivesErrors) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n");
    TStockObjList list;
    EXPECT_TRUE(list.TimerArmed());
    EXPECT_EQ(list.CycleDelay(), 5000u);
    Script(list);
    std::vector<std::string> errors;
    auto old = ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    list.OnUpdate = [&](TStockObjList*, int, TStockObj*) { throw Exception("listener failed"); };
    // A tick from the event loop: the error reaches the application, the timer runs again.
    list.SetCycleDelay(1);
    QElapsedTimer t;
    t.start();
    while (errors.empty() && t.elapsed() < 5000) ui::WaitMessage(100);
    ui::SetExceptionHandler(old);
    EXPECT_EQ(errors, std::vector<std::string>{"listener failed"});
    EXPECT_TRUE(list.TimerArmed());
    EXPECT_FALSE(Refreshing);
}

TEST_F(WatchList, SuspendHoldsTheTimerEvenFromInsideATickAndEachTickEndsWithOnCycleEnd) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n");
    TStockObjList list;
    auto s = Script(list);
    int cycles = 0;
    // Suspended by the listener of the cycle's end, inside the tick: the tick must not arm the
    // timer again on its way out.
    list.OnCycleEnd = [&](TStockObjList* sender) {
        EXPECT_EQ(sender, &list);
        if (++cycles == 1) list.Suspend(true);
    };
    list.SetCycleDelay(1);
    QElapsedTimer t;
    t.start();
    while (cycles == 0 && t.elapsed() < 5000) ui::WaitMessage(50);
    for (int i = 0; i < 5; ++i) ui::WaitMessage(20);
    EXPECT_EQ(cycles, 1);
    EXPECT_FALSE(list.TimerArmed());
    list.Suspend(false);
    EXPECT_TRUE(list.TimerArmed());
    t.restart();
    while (cycles == 1 && t.elapsed() < 5000) ui::WaitMessage(50);
    EXPECT_EQ(cycles, 2);
    list.RequestStop();
    list.Suspend(false);  // a stopped list stays stopped
    EXPECT_FALSE(list.TimerArmed());
}

TEST_F(WatchList, MessagesKeepFlowingDuringThePauseAfterAStock) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n");
    TStockObjList list;
    auto s = Script(list);
    // A timer that falls due during the pause after the first stock runs before the second stock
    // is fetched; a sleeping pause would hold it until after that fetch.
    QObject context;
    int secondFetchesWhenFired = -1;
    s[0]->during = [&] {
        QTimer::singleShot(TStockObjList::PauseAfterStockMs / 5, &context,
                           [&] { secondFetchesWhenFired = s[1]->fetches; });
    };
    QElapsedTimer t;
    t.start();
    list.Refresh(true);
    EXPECT_EQ(secondFetchesWhenFired, 0);
    EXPECT_GE(t.elapsed(), 2 * TStockObjList::PauseAfterStockMs - 5);  // the pauses still take their time
}

TEST_F(WatchList, RequestStopEndsTheCycleAndStartsNoOther) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n2454\r\n");
    TStockObjList list;
    auto s = Script(list);
    s[0]->during = [&] { list.RequestStop(); };
    list.Refresh(true);
    EXPECT_TRUE(list.StopRequested());
    EXPECT_FALSE(Refreshing);
    EXPECT_EQ(s[1]->fetches + s[2]->fetches, 0);
    EXPECT_FALSE(list.TimerArmed());
    list.Refresh(true);
    list.TimerTick();
    EXPECT_EQ(s[0]->fetches + s[1]->fetches + s[2]->fetches, 1);
    EXPECT_FALSE(list.TimerArmed());
}

// Handlers that run inside a download destroy the stock, clear the list or destroy the list
// itself; the cycle goes on or ends without touching what went away (run under the sanitizers).
TEST_F(WatchList, ACycleSurvivesWhatAHandlerDestroys) {
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n2454\r\n");
    {
        TStockObjList list;
        auto s = Script(list);
        std::vector<int> calls;
        list.OnUpdate = [&](TStockObjList*, int i, TStockObj*) { calls.push_back(i); };
        s[1]->during = [&] { list.Items[1].Object.reset(); };  // the stock under way goes
        list.Refresh(true);
        EXPECT_EQ(calls, (std::vector<int>{0, 2}));
        EXPECT_FALSE(Refreshing);
        s[2]->during = [&] { list.Clear(); };  // the whole list empties
        Advance(30);
        list.Refresh(true);
        EXPECT_FALSE(Refreshing);
        EXPECT_EQ(list.Count(), 0);
    }
    WriteFileBytes(TStockObjList::FileName, "2330\r\n2317\r\n");
    {
        auto* list = new TStockObjList;
        auto s = Script(*list);
        s[0]->during = [&] { delete list; };  // the list itself goes
        list->Refresh(true);
        EXPECT_FALSE(Refreshing);
        EXPECT_EQ(File(), "2330\r\n2317\r\n");  // written back on the way
    }
    {
        // The same from a tick of the list's own timer.
        auto* list = new TStockObjList;
        auto s = Script(*list);
        bool gone = false;
        s[0]->during = [&] {
            delete list;
            gone = true;
        };
        list->SetCycleDelay(1);
        QElapsedTimer t;
        t.start();
        while (!gone && t.elapsed() < 5000) ui::WaitMessage(50);
        EXPECT_TRUE(gone);
        EXPECT_FALSE(Refreshing);
        ui::ProcessMessages();  // the timer, released during its own tick, goes now
    }
}
