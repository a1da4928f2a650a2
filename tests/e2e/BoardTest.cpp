// The board as a user meets it: the real quoteboard program on a real X server (Xvfb,
// 1920 x 1080), the real quote server behind a counting relay, keys and clicks from xdotool and
// the screen read back as images. The local time is set with faketime where the trading window
// matters: a Wednesday at 10:00 is inside it, the same day at 20:00 outside.
#include "BoardFixture.h"

#include <QElapsedTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

using namespace boardtest;

TEST_F(Board, StartsFullScreenFillsTheWatchedRowsAndShowsTheMarketOpen) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), ReadFileBytes(testsupport::SourceDir() + "/data/STOCKLIST.TXT"));
    StartBoard(InWindow);
    EXPECT_NE(board.Output().find("10 of 10 stocks shown"), std::string::npos) << board.Output();

    std::string geometry;
    ASSERT_TRUE(x.XDoTool({"search", "--onlyvisible", "--class", "quoteboard", "getwindowgeometry"}, &geometry));
    EXPECT_NE(geometry.find("Geometry: 1920x1080"), std::string::npos) << geometry;

    QImage shot;
    ASSERT_TRUE(WaitForScreen([&](const QImage& s) {
        shot = s;
        for (int row = 1; row <= 10; ++row)
            if (!NameShown(s, row)) return false;
        return true;
    })) << "not every row shows its stock's name";
    // The clock cell: sky blue inside the trading window; layout 0's headers.
    EXPECT_GT(e2e::CountColour(shot, Cell(0, 0), SkyBlue), 100);
    EXPECT_EQ(LayoutShown(shot), 0);
    shot.save(QString::fromStdString(testsupport::BinaryDir() + "/artefacts/e2e-board.png"));
}

TEST_F(Board, SpaceAndAHeaderClickCycleTheLayouts) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n");
    StartBoard(OutOfWindow);
    ASSERT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 0; }));
    x.MoveTo(Centre(2, 5).x(), Centre(2, 5).y());
    x.Key("space");
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 1; }));
    x.Click(Centre(3, 0).x(), Centre(3, 0).y());
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 2; }));
    x.Key("space");
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 0; }));
    // The rows were refilled at each switch.
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 1) && NameShown(s, 2); }));
}

TEST_F(Board, EscapeThenNoKeepsTheBoardRunningAndRefreshing) {
    // 9999 is no stock of the server's: it never brings data, so every cycle asks for it again,
    // even outside the trading window.
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n9999\r\n");
    StartBoard(OutOfWindow);
    ASSERT_TRUE(WaitForScreen([](const QImage& s) { return e2e::CountColour(s, Cell(0, 0), Grey) > 100; }))
        << "the clock cell is not grey outside the trading window";
    EXPECT_EQ(e2e::CountColour(x.Screenshot(), Cell(0, 0), SkyBlue), 0);

    const int windows = Windows();
    x.MoveTo(Centre(2, 5).x(), Centre(2, 5).y());
    x.Key("Escape");
    ASSERT_TRUE(WaitForWindows(windows + 1)) << "no confirmation";
    x.Key("Escape");  // "否"
    ASSERT_TRUE(WaitForWindows(windows)) << "the confirmation did not close";
    const int asked = relay->RequestsFor("9999");
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("9999") > asked; }, 12000)) << "no refresh after 否";
    EXPECT_TRUE(board.Running());
}

TEST_F(Board, SigtermInTheMiddleOfACycleStillWritesTheList) {
    // Written untidily: a written list comes back trimmed, one code per CR LF line.
    WriteFileBytes(dir.file("STOCKLIST.TXT"), " 2330 \n2317\n9999\n");
    StartBoard(OutOfWindow);
    relay->Stall(true);
    ASSERT_TRUE(WaitFor([&] { return relay->Stalled() > 0; }, 12000)) << "no cycle reached the stalled server";
    board.Signal(SIGTERM);
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    relay->Stall(false);
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n2317\r\n9999\r\n");
}

TEST_F(Board, PickAStockForAnEmptyRowThenLeaveThroughTheClockMenu) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n2454\r\n");
    StartBoard(OutOfWindow);
    const int windows = Windows();
    const QRgb navy = qRgb(0, 0, 128);

    // Row 7 is empty: a right-click selects it (navy) and opens the menu at the pointer, its
    // top-left corner under it: one line of 303 x 64 pixels.
    const QPoint row7 = Centre(2, 7);
    QImage before = x.Screenshot();
    ASSERT_TRUE(x.Click(row7.x(), row7.y(), 3));
    ASSERT_TRUE(WaitForWindows(windows + 1)) << "no menu";
    ASSERT_TRUE(WaitForScreen([&](const QImage& s) {
        return Changed(before, s, QRect(row7.x() + 2, row7.y() + 2, 298, 60)) > 0.9 &&
               e2e::CountColour(s, QRect(0, Cell(0, 7).y(), 319, 97), navy) > 10000;
    })) << "the menu is not at the pointer, or the row is not selected";
    ASSERT_TRUE(x.Click(row7.x() + 20, row7.y() + 20));  // "更換股票"

    // The picker, just below and right of the clock cell: its keypad starts about 362 pixels
    // right of that corner (the list's panel, the bevels, the grid's margin), each key 154 by 120.
    const QPoint keypad(320 + 362, 97 + 12);
    auto key = [&](int col, int row) { return keypad + QPoint(col * 154 + 76, row * 120 + 59); };
    ASSERT_TRUE(WaitForScreen([&](const QImage& s) {
        return e2e::CountColour(s, QRect(key(1, 0) - QPoint(40, 40), QSize(80, 80)), White) > 200;  // "2"
    })) << "no keypad";
    for (QPoint k : {key(0, 0), key(0, 0), key(0, 3), key(0, 0)}) ASSERT_TRUE(x.Click(k.x(), k.y()));  // 1101
    const int asked = relay->RequestsFor("1101");
    const QPoint ok = keypad + QPoint(155, 495 - 8 + 29);
    ASSERT_TRUE(x.Click(ok.x(), ok.y()));  // "確定"

    // The new stock goes after the three watched ones, into row 4, fetched at once.
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1101") > asked; }, 5000)) << "not fetched at once";
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 4); })) << "row 4 stays empty";
    EXPECT_FALSE(NameShown(x.Screenshot(), 7));
    ASSERT_TRUE(WaitForWindows(windows));

    // The clock cell's menu opens at the cell's corner; OK, then "是" closes the board.
    before = x.Screenshot();
    ASSERT_TRUE(x.Click(Centre(0, 0).x(), Centre(0, 0).y(), 3));
    ASSERT_TRUE(WaitForScreen([&](const QImage& s) { return Changed(before, s, QRect(1, 1, 300, 62)) > 0.9; }))
        << "no menu at the clock cell";
    ASSERT_TRUE(x.Click(Centre(0, 0).x(), Centre(0, 0).y()));  // "結束程式"
    // The confirmation, centred on the screen: "是" at (80, 176), 240 x 70 inside it.
    const QPoint yes((1920 - 697) / 2 + 200, (1080 - 265) / 2 + 211);
    ASSERT_TRUE(WaitForScreen([&](const QImage& s) {
        return e2e::CountColour(s, QRect((1920 - 697) / 2 + 10, (1080 - 265) / 2 + 10, 600, 100), navy) > 20000;
    })) << "no confirmation";
    ASSERT_TRUE(x.Click(yes.x(), yes.y()));
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n2317\r\n2454\r\n1101\r\n");
}

TEST_F(Board, SigintDuringTheFirstCycleOfStartUpStillWritesTheList) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\n 2317\n");
    relay->Stall(true);
    std::vector<std::string> env = e2e::FakeTimeEnvironment(OutOfWindow);
    env.push_back("QUOTE_SERVER=127.0.0.1:" + std::to_string(relay->Port()));
    ASSERT_TRUE(board.Start({e2e::ProgramPath("board/quoteboard")}, dir.path(), x.Environment(env), true));
    ASSERT_TRUE(WaitFor([&] { return relay->Stalled() > 0; }, 10000)) << "the first cycle did not start";
    board.Signal(SIGINT);
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    relay->Stall(false);
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n2317\r\n");
}

TEST_F(Board, AStalledServerLeavesTheRowsAndTheKeysWorkingButNoDialogOpens) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n9999\r\n");
    StartBoard(OutOfWindow);
    ASSERT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 1) && NameShown(s, 2); }));
    const int windows = Windows();
    relay->Stall(true);
    ASSERT_TRUE(WaitFor([&] { return relay->Stalled() > 0; }, 12000)) << "no cycle reached the stalled server";
    // In the middle of the download: the layout switches, the rows keep their quotes, and the
    // exit confirmation is refused while the cycle runs.
    x.MoveTo(Centre(2, 6).x(), Centre(2, 6).y());
    x.Key("space");
    EXPECT_TRUE(
        WaitForScreen([](const QImage& s) { return LayoutShown(s) == 1 && NameShown(s, 1) && NameShown(s, 2); }));
    x.Key("Escape");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Windows(), windows);
    EXPECT_GT(relay->Stalled(), 0);
    relay->Stall(false);
    EXPECT_TRUE(board.Running());
}

TEST_F(Board, AWatchListThatCannotBeWrittenIsReportedAndEndsWithAFailure) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    StartBoard(OutOfWindow);
    // Something else took the file's place while the board ran.
    ASSERT_EQ(::unlink(dir.file("STOCKLIST.TXT").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("STOCKLIST.TXT").c_str(), 0755), 0);
    board.Signal(SIGTERM);
    EXPECT_EQ(board.Wait(10000), 1);
    EXPECT_NE(board.Output().find("STOCKLIST.TXT"), std::string::npos) << board.Output();
}

// The board worked by touch on a kiosk screen without a window manager: taps, drags, a double
// tap and a held right button, each read back from what the board fetched and what it shows.
TEST_F(Board, TouchFlowsInThePickerAndTheMenu) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    StartBoard(OutOfWindow);
    ASSERT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 1); }));

    // A menu opened near the bottom-right corner is kept wholly on the screen.
    ASSERT_TRUE(OpenMenu(x, {1850, 1050}));
    std::vector<QRect> menu = DialogRects(x);
    ASSERT_EQ(menu.size(), 1u);
    EXPECT_TRUE(Inside(menu[0], {1920, 1080})) << menu[0].x() << "," << menu[0].y();
    EXPECT_EQ(menu[0].size(), QSize(303, 64));
    x.Key("Escape");
    ASSERT_TRUE(WaitForNoDialog(x));

    // A menu opened by a right press that is still held, the pointer leaving it before the
    // release: it closes.
    x.MoveTo(900, 540);
    ASSERT_TRUE(x.XDoTool({"mousedown", "3"}));
    ASSERT_TRUE(WaitFor([&] { return DialogRects(x).size() == 1; }, 3000)) << "no menu";
    for (int dy = 5; dy <= 50; dy += 5) x.XDoTool({"mousemove", "900", std::to_string(540 - dy)});
    x.XDoTool({"mouseup", "3"});
    x.MoveTo(1200, 700);
    EXPECT_TRUE(WaitForNoDialog(x)) << "the menu stays open after a held right press";
    // A right press in the lower part of the clock cell: the menu opens above the pointer and
    // goes at once; a tap on a header cell then does its work.
    x.Click(160, 85, 3);
    EXPECT_TRUE(WaitForNoDialog(x)) << "the clock's menu stays open with the pointer outside it";
    x.Click(Centre(3, 0).x(), Centre(3, 0).y());
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 1; })) << "the tap was swallowed";

    // A double tap on the menu line: the first tap opens the picker, whose list takes the
    // second as a tap, not as a double-click that would pick a stock and close it.
    const int before = relay->Requests();
    ASSERT_TRUE(OpenMenu(x, {400, 539}));
    ASSERT_TRUE(x.XDoTool({"mousemove", "--sync", "420", "559", "click", "--repeat", "2", "--delay", "120", "1"}));
    std::vector<QRect> picker;
    ASSERT_TRUE(WaitFor([&] { return (picker = DialogRects(x)).size() == 1 && picker[0].width() > 500; }, 4000))
        << "no picker";
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ASSERT_EQ(DialogRects(x).size(), 1u) << "the double tap picked a stock and closed the picker";
    Tap(PickerCancel(picker[0]));
    ASSERT_TRUE(WaitForNoDialog(x));
    EXPECT_EQ(relay->Requests(), before);
    // The board has the keyboard again.
    x.Key("space");
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 2; }, 5000))
        << "Space after the picker closed was ignored";

    // A tap selects line 0 (1101); a drag from it down to line 2 scrolls, it does not select.
    QRect p = OpenPicker(Centre(2, 5));
    ASSERT_FALSE(p.isNull()) << "no picker";
    TapDigits(p, "110");
    Tap(PickerLine(p, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));  // the next press is no double-click
    const QPoint from = PickerLine(p, 0), to = PickerLine(p, 2);
    x.MoveTo(from.x(), from.y());
    x.XDoTool({"mousedown", "1"});
    for (int y = from.y() + 8; y <= to.y(); y += 8)
        x.XDoTool({"mousemove", std::to_string(from.x()), std::to_string(y)});
    x.XDoTool({"mouseup", "1"});
    Tap(PickerOK(p));
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1101") > 0; }, 5000)) << "1101 was not picked";
    EXPECT_EQ(relay->RequestsFor("1103"), 0) << "the drag moved the selection";
    ASSERT_TRUE(WaitForNoDialog(x));

    // Return in the list is the picker's OK, not a key that selects the list's first line.
    p = OpenPicker(Centre(2, 6));
    ASSERT_FALSE(p.isNull()) << "no picker";
    TapDigits(p, "1104");
    Tap(PickerLine(p, 6));  // below the three lines that match "110"
    x.Key("Return");
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1104") > 0; }, 5000)) << "not the entry's 1104";
    EXPECT_EQ(relay->RequestsFor("1101"), 1);
    ASSERT_TRUE(WaitForNoDialog(x));

    // While the picked stock downloads, the flow is still on: no menu, no confirmation.
    p = OpenPicker(Centre(2, 7));
    ASSERT_FALSE(p.isNull()) << "no picker";
    TapDigits(p, "1102");
    relay->Stall(true);
    Tap(PickerOK(p));
    ASSERT_TRUE(WaitFor([&] { return relay->Stalled() > 0; }, 5000)) << "the picked stock was not fetched";
    x.Click(Centre(2, 8).x(), Centre(2, 8).y(), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_TRUE(DialogRects(x).empty()) << "a menu opened during the first flow's fetch";
    x.Key("Escape");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_TRUE(DialogRects(x).empty()) << "the confirmation opened during the first flow's fetch";
    relay->Stall(false);
    EXPECT_TRUE(WaitFor([&] { return relay->Stalled() == 0; }, 3000));
    EXPECT_EQ(relay->RequestsFor("1102"), 1);
    ASSERT_TRUE(WaitForNoDialog(x));
    ASSERT_TRUE(OpenMenu(x, Centre(2, 8))) << "no menu once the flow ended";
    x.Key("Escape");
    ASSERT_TRUE(WaitForNoDialog(x));

    board.Signal(SIGTERM);
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n1101\r\n1104\r\n1102\r\n");
}

// Small kiosk screens: the menu, the picker and the confirmation each lie wholly on the screen.
TEST_F(Board, DialogsStayOnSmallScreens) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    for (QSize size : {QSize(800, 600), QSize(320, 240)}) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        e2e::XServer small;
        ASSERT_TRUE(small.Start(size.width(), size.height())) << small.Error();
        e2e::Child kiosk;
        std::vector<std::string> env = e2e::FakeTimeEnvironment(OutOfWindow);
        env.push_back("QUOTE_SERVER=127.0.0.1:" + std::to_string(relay->Port()));
        ASSERT_TRUE(kiosk.Start({e2e::ProgramPath("board/quoteboard")}, dir.path(), small.Environment(env), true));
        ASSERT_TRUE(kiosk.WaitForOutput("first refresh done", 30000)) << kiosk.Output();

        const QPoint row(size.width() / 4, size.height() * 5 / 11 + size.height() / 22);
        ASSERT_TRUE(OpenMenu(small, row));
        std::vector<QRect> d = DialogRects(small);
        ASSERT_EQ(d.size(), 1u);
        EXPECT_TRUE(Inside(d[0], size)) << "menu at " << d[0].x() << "," << d[0].y();
        small.Click(row.x() + 5, row.y() + 5);
        ASSERT_TRUE(WaitFor([&] { return (d = DialogRects(small)).size() == 1 && d[0].height() > 64; }, 4000))
            << "no picker";
        EXPECT_TRUE(Inside(d[0], size)) << "picker " << d[0].x() << "," << d[0].y() << " " << d[0].width() << "x"
                                        << d[0].height();
        small.Key("Escape");
        ASSERT_TRUE(WaitFor([&] { return DialogRects(small).empty(); }, 4000));
        small.Key("Escape");
        ASSERT_TRUE(WaitFor([&] { return DialogRects(small).size() == 1; }, 4000)) << "no confirmation";
        d = DialogRects(small);
        EXPECT_TRUE(Inside(d[0], size)) << "confirmation " << d[0].x() << "," << d[0].y() << " " << d[0].width() << "x"
                                        << d[0].height();
        small.Key("Escape");
        ASSERT_TRUE(WaitFor([&] { return DialogRects(small).empty(); }, 4000));
        kiosk.Signal(SIGTERM);
        EXPECT_EQ(kiosk.Wait(10000), 0) << kiosk.Output();
    }
}

namespace {

const QRgb Aqua = qRgb(0, 255, 255);

// Pixels of the figure colours (red, lime, aqua, yellow) and of grey in a row's figure cells.
int FigureColours(const QImage& s, int row) {
    int n = 0;
    for (int col = 1; col <= 5; ++col)
        for (QRgb c : {Red, Lime, Aqua, Yellow}) n += e2e::CountColour(s, QRect(col * 320, row * 98, 319, 97), c);
    return n;
}
int FigureGrey(const QImage& s, int row) {
    int n = 0;
    for (int col = 1; col <= 5; ++col) n += e2e::CountColour(s, QRect(col * 320 + 2, row * 98 + 2, 315, 93), Grey);
    return n;
}

}  // namespace

// The feed fails inside the trading window: the rows turn grey once no page has come for the
// bound (60 s; the clock runs four times as fast, so about 15 s here), names keep their stripes,
// and the rows take their colours again within a cycle of the server's return.
TEST_F(Board, RowsTurnGreyWhileTheServerIsDownAndRecoverWhenItReturns) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n");
    std::vector<std::string> env = e2e::FakeTimeEnvironment(std::string(InWindow) + " x4");
    env.push_back("QUOTE_SERVER=127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_TRUE(board.Start({e2e::ProgramPath("board/quoteboard")}, dir.path(), x.Environment(env), true));
    ASSERT_TRUE(board.WaitForOutput("first refresh done", 30000)) << board.Output();
    auto live = [](const QImage& s) { return FigureColours(s, 1) > 500 && FigureColours(s, 2) > 500; };
    ASSERT_TRUE(WaitForScreen(live)) << "the rows are not drawn in their colours";

    const int port = server.Port();
    server.Stop();
    QImage grey;
    EXPECT_TRUE(WaitForScreen(
        [&](const QImage& s) {
            grey = s;
            return FigureColours(s, 1) == 0 && FigureColours(s, 2) == 0 && FigureGrey(s, 1) > 500 &&
                   FigureGrey(s, 2) > 500 && NameShown(s, 1) && NameShown(s, 2);
        },
        60000))
        << "the rows did not turn grey with their names in stripe colours";
    grey.save(QString::fromStdString(testsupport::BinaryDir() + "/artefacts/e2e-stale-rows.png"));

    ASSERT_TRUE(server.Start({"--always-open", "--port", std::to_string(port)})) << server.Error();
    EXPECT_TRUE(WaitForScreen(live, 20000)) << "the rows did not take their colours again";
}

// Exchange holidays: a board started on one shows the market closed all day and fetches each
// stock once; the next trading day it is open. The first start reads a HOLIDAYS.TXT of the
// working directory with a bad line (reported once), the others the shipped copy.
TEST_F(Board, OnAnExchangeHolidayTheClockIsGreyAndEachStockIsFetchedOnce) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n");
    struct Case {
        const char* time;
        const char* holidays;  // nullptr: none in the working directory
        QRgb clock;
    } cases[] = {
        {"2026-01-01 10:00:00", "2026-01-01  # New Year\n2026-13-01\n", Grey},
        {"2026-02-17 10:00:00", nullptr, Grey},
        {"2026-01-02 10:00:00", nullptr, SkyBlue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.time);
        if (c.holidays)
            WriteFileBytes(dir.file("HOLIDAYS.TXT"), c.holidays);
        else
            ::unlink(dir.file("HOLIDAYS.TXT").c_str());
        const int before = relay->Requests();
        StartBoard(c.time);
        ASSERT_TRUE(WaitForScreen([&](const QImage& s) { return e2e::CountColour(s, Cell(0, 0), c.clock) > 100; }))
            << "the clock cell has not the expected colour";
        if (c.clock == Grey) {
            // A cycle of the list's timer later, still one request for each.
            std::this_thread::sleep_for(std::chrono::milliseconds(7000));
            EXPECT_EQ(relay->Requests() - before, 2);
            EXPECT_EQ(e2e::CountColour(x.Screenshot(), Cell(0, 0), SkyBlue), 0);
        }
        board.Stop(3000);
        if (c.holidays) {
            const std::string& out = board.Output();
            EXPECT_NE(out.find("line 2"), std::string::npos) << out;
            EXPECT_EQ(out.find("line 2"), out.rfind("line 2")) << out;  // once
        }
    }
}

// A wall board must not blank: with the X screen saver set to cover the screen after 3 s without
// input, the board still shows its rows 10 s later (it suspends the saver, which holds off DPMS
// too, and says so). And a server that refuses every connection is reported on the standard error
// once per change, not once per cycle.
TEST_F(Board, HoldsOffTheScreenSaverAndReportsEachStocksFetchErrorOncePerChange) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n");
    // noblank: Xvfb cannot blank its framebuffer, so the saver maps its black window instead.
    ASSERT_EQ(e2e::RunProgram({"xset", "s", "3", "0", "s", "noblank"}, x.Environment()), 0)
        << "xset (x11-xserver-utils) failed";
    StartBoard(InWindow);
    EXPECT_NE(board.Output().find("quoteboard: screen saver held off (x11-suspend"), std::string::npos)
        << board.Output();
    ASSERT_TRUE(WaitForScreen([&](const QImage& s) { return NameShown(s, 1) && NameShown(s, 2); }));
    std::this_thread::sleep_for(std::chrono::seconds(10));
    QImage later = x.Screenshot();
    EXPECT_TRUE(NameShown(later, 1) && NameShown(later, 2)) << "the screen saver covered the board";
    EXPECT_EQ(board.Stop(10000), 0);  // a sanitized board checks its heap on the way out

    // Nothing listens on the port the relay had: every fetch is refused, cycle after cycle.
    const int closed = relay->Port();
    relay.reset();
    std::vector<std::string> env = e2e::FakeTimeEnvironment(InWindow);
    env.push_back("QUOTE_SERVER=127.0.0.1:" + std::to_string(closed));
    ASSERT_TRUE(board.Start({e2e::ProgramPath("board/quoteboard")}, dir.path(), x.Environment(env), true));
    ASSERT_TRUE(board.WaitForOutput("0 of 2 stocks shown", 30000)) << board.Output();
    // Later cycles try each stock again once its wait after the failure is over and meet the
    // same error, which is not reported again.
    std::this_thread::sleep_for(std::chrono::seconds(12));
    const std::string out = board.Output();
    for (const char* row : {" row 1 2330: ", " row 2 2317: "}) {
        std::size_t at = out.find(row);
        ASSERT_NE(at, std::string::npos) << row << out;
        EXPECT_EQ(out.find(row, at + 1), std::string::npos) << row << out;
        EXPECT_LT(at, out.find("first refresh done")) << row << out;
    }
}

// The most-watched securities of today are ETFs of five and six characters: 00878 is picked
// through the keypad ("0087" narrows the list) and a tap on its line, its name fills the row, and
// the watch list keeps the whole code.
TEST_F(Board, AnETFOfFiveCharactersIsPickedThroughTheKeypadAndTheList) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    StartBoard(OutOfWindow);
    // Where 00878 stands among the lines that begin with 0087.
    int line = -1, seen = 0;
    std::istringstream available(ReadFileBytes(dir.file("AVAILABLE.TXT")));
    for (std::string l; std::getline(available, l);) {
        if (l.rfind("0087", 0) != 0) continue;
        if (l.rfind("00878 ", 0) == 0) line = seen;
        ++seen;
    }
    ASSERT_GE(line, 0) << "AVAILABLE.TXT has no 00878";
    ASSERT_LT(line, 10) << "00878 is not among the lines shown";

    QRect p = OpenPicker(Centre(2, 2));
    ASSERT_FALSE(p.isNull()) << "no picker";
    TapDigits(p, "0087");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    Tap(PickerLine(p, line));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    Tap(PickerOK(p));
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("00878") > 0; }, 5000)) << "00878 was not fetched";
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 2); })) << "no name in row 2";
    board.Signal(SIGTERM);
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n00878\r\n");
}
