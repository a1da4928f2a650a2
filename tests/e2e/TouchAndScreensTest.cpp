// The board worked by touch alone, by a real mouse's double-click, on two monitors and on a 4K
// screen, and a display that goes away under it. Touches come through the toolkit's own TUIO
// touch plugin: each lands in the window that has the keyboard focus, at fractions of its size.
#include "BoardFixture.h"

#include <csignal>

using namespace boardtest;

namespace {

// A touch at a point of a window (the board or the dialog that has the focus).
void TouchAt(e2e::TuioTouch& finger, const QRect& window, QPoint at, int holdMs = 60) {
    finger.Touch((at.x() - window.x() + 0.5) / window.width(), (at.y() - window.y() + 0.5) / window.height(), holdMs);
}

// A finger's place comes back from fractions of the window: to within a pixel or two.
bool Near(QPoint a, QPoint b) { return (a - b).manhattanLength() <= 2; }

}  // namespace

// No right button and no keyboard: a finger held on a row opens its menu at the finger, which
// stays when the finger lifts; the picker is worked by taps and a double tap; a finger held on
// the clock leaves through "是". A short tap on a header still switches the layout.
TEST_F(Board, TouchAloneChangesAStockAndLeaves) {
    e2e::TuioTouch finger;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    StartBoard(OutOfWindow, {finger.Environment()});
    ASSERT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 1) && LayoutShown(s) == 0; }));
    const QRect screen(0, 0, 1920, 1080);
    x.MoveTo(1900, 1060);  // the pointer is far from every finger

    TouchAt(finger, screen, Centre(3, 0));
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return LayoutShown(s) == 1; })) << "a tap on a header";
    EXPECT_TRUE(DialogRects(x).empty()) << "a short tap opened a menu";

    // Held 1.5 s on row 5: the row is selected and its menu opens with its corner at the finger.
    const QPoint row5 = Centre(2, 5);
    TouchAt(finger, screen, row5, 1500);
    std::vector<QRect> menu;
    ASSERT_TRUE(WaitFor([&] { return (menu = DialogRects(x)).size() == 1; }, 3000)) << "no menu after a hold";
    EXPECT_TRUE(Near(menu[0].topLeft(), row5)) << menu[0].x() << "," << menu[0].y();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(DialogRects(x).size(), 1u) << "the menu closed when the finger lifted";
    EXPECT_GT(e2e::CountColour(x.Screenshot(), QRect(0, Cell(0, 5).y(), 319, 97), qRgb(0, 0, 128)), 10000)
        << "the held row is not selected";

    // A tap on the line opens the picker; "110" on its keypad, then a double tap on 1101's line.
    TouchAt(finger, menu[0], menu[0].center());
    std::vector<QRect> picker;
    ASSERT_TRUE(WaitFor([&] { return (picker = DialogRects(x)).size() == 1 && picker[0].width() > 500; }, 4000))
        << "no picker";
    const QRect p = picker[0];
    for (QPoint key : {PickerKey(p, 0, 0), PickerKey(p, 0, 0), PickerKey(p, 0, 3)}) {
        TouchAt(finger, p, key);
        std::this_thread::sleep_for(std::chrono::milliseconds(450));  // taps, not a double tap
    }
    TouchAt(finger, p, PickerLine(p, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    TouchAt(finger, p, PickerLine(p, 0));
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1101") > 0; }, 5000)) << "the double tap picked nothing";
    ASSERT_TRUE(WaitForNoDialog(x)) << "the picker stays open";
    EXPECT_TRUE(WaitForScreen([](const QImage& s) { return NameShown(s, 2); })) << "1101 is not in row 2";

    // Held on the clock: "結束程式" at the cell's corner, then "是" on the confirmation.
    TouchAt(finger, screen, Centre(0, 0), 1500);
    ASSERT_TRUE(WaitFor([&] { return (menu = DialogRects(x)).size() == 1; }, 3000)) << "no menu at the clock";
    EXPECT_EQ(menu[0].topLeft(), QPoint(0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    TouchAt(finger, menu[0], menu[0].center());
    std::vector<QRect> confirm;
    ASSERT_TRUE(WaitFor([&] { return (confirm = DialogRects(x)).size() == 1 && confirm[0].height() > 200; }, 4000))
        << "no confirmation";
    TouchAt(finger, confirm[0], confirm[0].topLeft() + QPoint(1 + 80 + 120, 1 + 176 + 35));  // "是"
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n1101\r\n");
}

// A real double-click (press, release, double-click, release) on a line of the picker picks it.
// Then the X server goes away under the board: the stock picked is still written.
TEST_F(Board, ADoubleClickPicksALineAndTheListOutlivesTheDisplay) {
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    StartBoard(OutOfWindow);
    QRect p = OpenPicker(Centre(2, 4));
    ASSERT_FALSE(p.isNull()) << "no picker";
    TapDigits(p, "110");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const QPoint line = PickerLine(p, 1);  // 1102
    ASSERT_TRUE(x.MoveTo(line.x(), line.y()));
    ASSERT_TRUE(x.XDoTool({"click", "--repeat", "2", "--delay", "80", "1"}));
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1102") > 0; }, 5000)) << "the double-click picked nothing";
    ASSERT_TRUE(WaitForNoDialog(x)) << "the picker stays open";

    x.Kill();
    EXPECT_EQ(board.Wait(10000), 1) << board.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n1102\r\n");
    EXPECT_NE(board.Output().find("the display went away"), std::string::npos) << board.Output();
}

// Two monitors, the primary on the right: the board fills the right one, and the menu, the picker
// and the confirmation open on it, where the board puts them.
TEST_F(Board, DialogsOpenOnTheBoardsMonitor) {
    if (std::string why = e2e::TwoMonitorsMissing(); !why.empty()) GTEST_SKIP() << why;
    e2e::XServer two;
    ASSERT_TRUE(two.StartTwoMonitors()) << two.Error();
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    e2e::Child wall;
    StartBoardOn(two, wall, OutOfWindow);
    std::string geometry;
    two.XDoTool({"search", "--onlyvisible", "--class", "quoteboard", "getwindowgeometry"}, &geometry);
    EXPECT_NE(geometry.find("Position: 1920,0"), std::string::npos) << geometry;

    const QPoint row(1920 + 800, 5 * 98 + 48);
    ASSERT_TRUE(OpenMenu(two, row));
    EXPECT_EQ(DialogRects(two)[0].topLeft(), row);
    two.Click(row.x() + 20, row.y() + 20);
    std::vector<QRect> d;
    ASSERT_TRUE(WaitFor([&] { return (d = DialogRects(two)).size() == 1 && d[0].width() > 500; }, 4000)) << "no picker";
    EXPECT_EQ(d[0].topLeft(), QPoint(1920 + 320, 97));  // below and right of the clock cell
    two.Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return DialogRects(two).empty(); }, 4000));

    two.Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return (d = DialogRects(two)).size() == 1; }, 4000)) << "no confirmation";
    EXPECT_EQ(d[0].topLeft(), QPoint(1920 + (1920 - 699) / 2, (1080 - 267) / 2)) << "not centred on the board's";
    two.Key("Return");  // "是"
    EXPECT_EQ(wall.Wait(10000), 0) << wall.Output();
}

// A 4K screen the desktop does not scale: the dialogs grow with it (twice 1080 lines: twice the
// size), so the keypad's keys keep their size on the glass.
TEST_F(Board, DialogsGrowWithAFourKScreen) {
    e2e::XServer uhd;
    ASSERT_TRUE(uhd.Start(3840, 2160)) << uhd.Error();
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n");
    e2e::Child wall;
    StartBoardOn(uhd, wall, OutOfWindow);

    const QPoint row(1600, 5 * 196 + 98);
    ASSERT_TRUE(OpenMenu(uhd, row));
    EXPECT_EQ(DialogRects(uhd)[0], QRect(row, QSize(606, 128)));
    uhd.Click(row.x() + 40, row.y() + 40);
    std::vector<QRect> d;
    ASSERT_TRUE(WaitFor([&] { return (d = DialogRects(uhd)).size() == 1 && d[0].width() > 1000; }, 4000))
        << "no picker, or not scaled";
    EXPECT_EQ(d[0].size(), QSize(1660, 1124));
    // The "2" key, twice as large: its middle is white text on black.
    const QImage shot = uhd.Screenshot();
    const QPoint two = d[0].topLeft() + 2 * QPoint(362 + 154 + 76, 12 + 59);
    EXPECT_GT(e2e::CountColour(shot, QRect(two - QPoint(80, 80), QSize(160, 160)), White), 800);
    uhd.Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return DialogRects(uhd).empty(); }, 4000));
    uhd.Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return (d = DialogRects(uhd)).size() == 1; }, 4000)) << "no confirmation";
    EXPECT_EQ(d[0], QRect((3840 - 1398) / 2, (2160 - 534) / 2, 1398, 534));
    uhd.Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return DialogRects(uhd).empty(); }, 4000));
    wall.Signal(SIGTERM);
    EXPECT_EQ(wall.Wait(10000), 0) << wall.Output();
}
