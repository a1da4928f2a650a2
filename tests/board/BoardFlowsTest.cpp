// The board window's own flows, offscreen: start-up in its order, the list of available stocks,
// the dialog flows with their flag, the guards while a cycle runs, a close from the window
// manager, the change of a row's stock, and a signal while a dialog is open. The quote server is
// a closed port: every fetch fails at once.
#include "../dialogs/ModalDriver.h"
#include "board/fQuoteMain.h"
#include "dialogs/fDlgMenu.h"
#include "dialogs/fDlgStockSel.h"
#include "dialogs/fDlgYesNo.h"
#include "quote/fQuoteDef.h"
#include "support/TempDir.h"
#include "ui/core/Application.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>

using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace {

class Flows : public ::testing::Test {
protected:
    void SetUp() override {
        cwd = std::make_unique<testsupport::WorkingDir>(dir.path());
        oldClock = ui::SetClock([] { return ui::EncodeDateTime(2026, 12, 12, 10, 30, 0); });  // a Saturday
        SetQuoteServer("127.0.0.1:1");
        Refreshing = RefreshSuspended = IsWeekend = false;
    }
    void TearDown() override {
        // Each watch ends a tick after its dialog has gone; none is left behind.
        for (QPointer<QTimer>& w : watches) EXPECT_TRUE(QTest::qWaitFor([&] { return w.isNull(); }, 5000));
        board.reset();
        dialogtest::Settle();
        EXPECT_EQ(dialogtest::TopLevelsLeft(), QString());
        ui::SetClock(oldClock);
        Refreshing = RefreshSuspended = IsWeekend = false;
        cwd.reset();
    }
    void Start(const std::string& stockList) {
        WriteFileBytes(dir.file("STOCKLIST.TXT"), stockList);
        board = std::make_unique<TfrmWatchMain>();
        board->FormCreate();
        board->StockList->Suspend(true);
    }
    // Acts on the next modal dialog (see dialogtest::WhenModal).
    void When(const std::function<void(QWidget*)>& act) { watches.push_back(dialogtest::WhenModal(act)); }
    // Opens no dialog within a short wait.
    static bool NoDialog() {
        dialogtest::Settle();
        return QApplication::activeModalWidget() == nullptr;
    }

    testsupport::TempDir dir;
    std::unique_ptr<testsupport::WorkingDir> cwd;
    std::function<ui::TDateTime()> oldClock;
    std::unique_ptr<TfrmWatchMain> board;
    std::vector<QPointer<QTimer>> watches;
};

}  // namespace

TEST(AvailableList, SortedWithoutCaseAndWithoutDuplicates) {
    testsupport::TempDir dir;
    WriteFileBytes(dir.file("A.TXT"), "2330 TSMC\r\n1101 x\r\n\r\nabcd y\r\nABCD y\r\n1101 x\n\r\n0050 z");
    EXPECT_EQ(LoadAvailableList(dir.file("A.TXT")),
              (std::vector<std::string>{"", "0050 z", "1101 x", "2330 TSMC", "abcd y"}));
    EXPECT_TRUE(LoadAvailableList(dir.file("MISSING.TXT")).empty());
    // Anything else of that name that cannot be read is reported, and the picker offers nothing.
    ASSERT_EQ(::mkfifo(dir.file("FIFO.TXT").c_str(), 0644), 0);
    ASSERT_EQ(::mkdir(dir.file("DIR.TXT").c_str(), 0755), 0);
    std::vector<std::string> errors;
    auto old = ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    EXPECT_TRUE(LoadAvailableList(dir.file("FIFO.TXT")).empty());
    EXPECT_TRUE(LoadAvailableList(dir.file("DIR.TXT")).empty());
    ui::SetExceptionHandler(old);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("FIFO.TXT"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("DIR.TXT"), std::string::npos) << errors[1];
}

TEST_F(Flows, StartUpInOrderFillsTheWorkAreaAndRunsTheFirstCycle) {
    WriteFileBytes(dir.file("AVAILABLE.TXT"), "2330 b\r\n1101 a\r\n");
    Start("2330\r\n2317\r\n");
    EXPECT_TRUE(IsWeekend);  // a Saturday, by the day count
    EXPECT_EQ(board->LayoutIndex, 0);
    EXPECT_EQ(board->G_->ColCount(), 6);
    EXPECT_EQ(board->G_->RowCount(), 11);
    EXPECT_EQ(board->G_->Row(), 1);
    EXPECT_EQ(board->AvailableList, (std::vector<std::string>{"1101 a", "2330 b"}));
    ASSERT_EQ(board->StockList->Count(), 2);
    EXPECT_TRUE(board->StockList->OnUpdate);
    // Shown, borderless, on the screen's work area; sized for 6 x 11 before the first quote.
    EXPECT_TRUE(board->isVisible());
    EXPECT_TRUE(board->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(board->geometry(), QGuiApplication::primaryScreen()->availableGeometry());
    EXPECT_EQ(board->G_->DefaultRowHeight(), board->G_->ClientHeight() / 11 - 1);
    EXPECT_EQ(board->G_->Cells(0, 0), "10:30");
    // The first cycle ran inside start-up: both stocks were tried and failed at once (the port
    // is shut; a refusal holds nothing up, so the cycle went on), and both now wait.
    EXPECT_NE(board->StockList->Stocks(0)->Data().LastFetch, 0);
    EXPECT_NE(board->StockList->Stocks(1)->Data().LastFetch, 0);
    EXPECT_EQ(board->StockList->Stocks(1)->FailedFetches, 1);
    EXPECT_FALSE(Refreshing);
    // The clock is written every second.
    ui::SetClock([] { return ui::EncodeDateTime(2026, 12, 12, 10, 31, 0); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return board->G_->Cells(0, 0) == "10:31"; }, 2500));
    // The watch list is written when the board goes.
    board->StockList->Stocks(1)->Reset("1101");
    board.reset();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n1101\r\n");
}

TEST_F(Flows, NoDialogWhileACycleRunsAndTheFlagIsClearedOnEveryPath) {
    Start("2330\r\n");
    Refreshing = true;
    board->ShowPopupMenu(0);
    board->ShowPopupMenu(3);
    board->ChangeStock();
    EXPECT_FALSE(board->close());
    EXPECT_TRUE(NoDialog());
    EXPECT_TRUE(board->isVisible());
    EXPECT_FALSE(RefreshSuspended);
    Refreshing = false;

    // The menu answers Cancel; the confirmation "否": the flag is set while each is open only.
    bool suspendedInside = false;
    When([&](QWidget* menu) {
        suspendedInside = RefreshSuspended;
        EXPECT_NE(dynamic_cast<TfrmDlgMenu*>(menu), nullptr);
        dialogtest::KeyTo(menu, Qt::Key_Escape);
    });
    board->ShowPopupMenu(0);
    EXPECT_TRUE(suspendedInside);
    EXPECT_FALSE(RefreshSuspended);

    // The clock cell's menu, OK, then "否" in the confirmation that it leads to.
    When([&](QWidget* menu) {
        When([&](QWidget* confirm) {
            suspendedInside = RefreshSuspended;
            EXPECT_NE(dynamic_cast<TfrmDlgYesNo*>(confirm), nullptr);
            dialogtest::KeyTo(confirm, Qt::Key_Escape);
        });
        dialogtest::KeyTo(menu, Qt::Key_Return);
    });
    board->ShowPopupMenu(0);
    EXPECT_TRUE(suspendedInside);
    EXPECT_FALSE(RefreshSuspended);
    EXPECT_TRUE(board->isVisible());
}

TEST_F(Flows, ACloseFromTheWindowManagerAsksFirst) {
    Start("2330\r\n");
    When([](QWidget* confirm) { dialogtest::KeyTo(confirm, Qt::Key_Escape); });
    QCloseEvent refused;
    QApplication::sendEvent(board.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    EXPECT_FALSE(RefreshSuspended);

    When([](QWidget* confirm) { dialogtest::KeyTo(confirm, Qt::Key_Return); });
    QCloseEvent accepted;
    QApplication::sendEvent(board.get(), &accepted);
    EXPECT_TRUE(accepted.isAccepted());
    // While the board shuts down no cycle starts.
    EXPECT_TRUE(RefreshSuspended);
}

TEST_F(Flows, APickedCodeReplacesTheRowsStockOrGoesAfterTheLastOne) {
    WriteFileBytes(dir.file("AVAILABLE.TXT"), "1101 a\r\n1102 b\r\n");
    Start("2330\r\n2317\r\n");
    auto pick = [&](const char* digits) {
        When([digits](QWidget* w) {
            auto* picker = dynamic_cast<TfrmStockSel*>(w);
            ASSERT_NE(picker, nullptr);
            for (const char* d = digits; *d; ++d) dialogtest::KeyTo(picker, Qt::Key_0 + (*d - '0'));
            dialogtest::KeyTo(picker, Qt::Key_Return);
        });
        board->ChangeStock();
        EXPECT_FALSE(RefreshSuspended);
    };
    // Row 7 is empty: the stock goes into the list after the two others.
    board->G_->SetRow(7);
    pick("1102");
    ASSERT_EQ(board->StockList->Count(), 3);
    EXPECT_EQ(board->StockList->Stocks(2)->Data().Code, "1102");
    EXPECT_NE(board->StockList->Stocks(2)->Data().LastFetch, 0);  // fetched at once
    // Row 1 shows a stock: the same object stands for the new code.
    TStockObj* first = board->StockList->Stocks(0);
    board->G_->SetRow(1);
    pick("1101");
    EXPECT_EQ(board->StockList->Stocks(0), first);
    EXPECT_EQ(first->Data().Code, "1101");
    // A code that is not four characters long changes nothing.
    board->G_->SetRow(2);
    pick("110");
    EXPECT_EQ(board->StockList->Stocks(1)->Data().Code, "2317");
    EXPECT_EQ(board->StockList->Count(), 3);
}

TEST_F(Flows, ASignalWhileTheConfirmationIsOpenEndsItWithoutClosingTheList) {
    Start("2330\r\n");
    When([&](QWidget*) { board->CloseOnSignal(SIGTERM); });
    QCloseEvent first;
    QApplication::sendEvent(board.get(), &first);
    // The confirmation was dismissed; nothing else opens, the list stops, and the board closes
    // without asking from now on.
    EXPECT_TRUE(board->Signalled());
    EXPECT_TRUE(board->StockList->StopRequested());
    board->ShowPopupMenu(0);
    EXPECT_TRUE(NoDialog());
    QCloseEvent second;
    QApplication::sendEvent(board.get(), &second);
    EXPECT_TRUE(second.isAccepted());
}
