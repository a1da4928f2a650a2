// The board on a Wayland compositor, as desktops and kiosks run it: sway (a tiling desktop) and
// cage (a kiosk), headless, with the board a native Wayland client and an X11 client of XWayland.
// On sway the pointer comes through the virtual-pointer protocol, keys through the
// virtual-keyboard protocol and the screen through grim. cage offers neither input protocol and
// its headless output cannot be read back (it shows a full-screen client without drawing it):
// there the board is worked by touch through the toolkit's TUIO plugin, and where each dialog
// opens is told by the taps that must land on it.
#include "Wayland.h"
#include "BoardFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace boardtest;

namespace {

// The first window of the tree whose app id (native) or X11 class is the board's.
QJsonObject BoardNode(const QJsonObject& node) {
    if (node.value("app_id").toString() == "quoteboard" ||
        node.value("window_properties").toObject().value("class").toString() == "quoteboard")
        return node;
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(key).toArray())
            if (QJsonObject found = BoardNode(child.toObject()); !found.isEmpty()) return found;
    return {};
}

// The menu's line is drawn selected, in the toolkit's highlight blue: the bounds of that blue.
QRect MenuRect(const QImage& s) {
    QRect r;
    for (int y = 0; y < s.height(); y += 2)
        for (int x = 0; x < s.width(); x += 2) {
            const QRgb c = s.pixel(x, y);
            if (qRed(c) >= 35 && qRed(c) <= 65 && qGreen(c) >= 125 && qGreen(c) <= 160 && qBlue(c) >= 180 &&
                qBlue(c) <= 220)
                r |= QRect(x, y, 2, 2);
        }
    return r;
}

// Pixels of a light grey, as the toolkit draws buttons (a touch of blue allowed).
int ButtonGrey(const QImage& s, const QRect& rect) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QRgb c = s.pixel(x, y);
            const int low = std::min({qRed(c), qGreen(c), qBlue(c)}), high = std::max({qRed(c), qGreen(c), qBlue(c)});
            if (low > 200 && high - low < 16) ++n;
        }
    return n;
}

const QRgb Navy = qRgb(0, 0, 128);

std::string Name(const ::testing::TestParamInfo<e2e::Compositor::Platform>& info) {
    return info.param == e2e::Compositor::Native ? "Native" : "XWayland";
}

}  // namespace

class Wayland : public Board, public ::testing::WithParamInterface<e2e::Compositor::Platform> {
protected:
    void SetUp() override {
        if (std::string missing = e2e::WaylandMissing(); !missing.empty()) GTEST_SKIP() << missing;
        Board::SetUp();
    }
    void TearDown() override {
        if (HasFailure() && wm) {
            const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
            std::string name = std::string(test->test_suite_name()) + "-" + test->name();
            std::replace(name.begin(), name.end(), '/', '-');
            wm->Screenshot().save(
                QString::fromStdString(testsupport::BinaryDir() + "/artefacts/" + name + "-failed.png"));
            std::cerr << "compositor and board output:\n" << wm->Process().Output() << "\n";
        }
        if (board.Running()) board.Stop(3000);
        wm.reset();
        if (!IsSkipped()) Board::TearDown();
    }
    std::vector<std::string> BoardEnvironment(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> env = e2e::FakeTimeEnvironment(OutOfWindow);
        env.push_back("QUOTE_SERVER=127.0.0.1:" + std::to_string(relay->Port()));
        env.insert(env.end(), extra.begin(), extra.end());
        // Qt 6.4's Wayland client leaves its display's objects (registry globals, the seat's
        // devices, activation tokens) to the process's end; its stacks, unwound through
        // libwayland, name nothing else. Leaks are looked for in every other test of the board.
        for (std::string& e : env)
            if (e.rfind("ASAN_OPTIONS=", 0) == 0) e += ":detect_leaks=0";
        return wm->Environment(GetParam(), env);
    }
    // The board's command line. The fake clock is preloaded into the board alone, through env(1):
    // preloaded into the user switch (or the compositor), which starts as root, it would make a
    // shared segment that the board, of the same process id, may not open.
    std::vector<std::string> BoardCommand(std::vector<std::string>& env) {
        std::vector<std::string> argv = {"env"};
        std::erase_if(env, [&](const std::string& e) {
            const bool preload = e.rfind("LD_PRELOAD=", 0) == 0;
            if (preload) argv.push_back(e);
            return preload;
        });
        argv.push_back(wm->Program("board/quoteboard"));
        return argv;
    }
    bool WaitForShot(const std::function<bool(const QImage&)>& holds, int ms = 8000) {
        return WaitFor(
            [&] {
                QImage s = wm->Screenshot();
                return !s.isNull() && holds(s);
            },
            ms);
    }
    std::unique_ptr<e2e::Compositor> wm = std::make_unique<e2e::Compositor>();
};

using SwayBoard = Wayland;
using CageBoard = Wayland;

// A tiling desktop: the board takes the whole output with no title bar or border, holds the
// compositor's idle inhibitor, and its menu, picker and confirmation open where they do on X11
// and answer the pointer and the keys.
TEST_P(SwayBoard, CoversTheOutputAndWorksItsDialogs) {
    ASSERT_TRUE(wm->StartSway()) << wm->Error();
    // The idle watch works: the seat goes idle while nothing holds it.
    EXPECT_TRUE(WaitFor([&] { return wm->WentIdle(); }, 5000)) << "the compositor never went idle";

    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n2454\r\n2412\r\n2882\r\n");
    wm->GiveDirectory(dir.path());
    std::vector<std::string> env = BoardEnvironment();
    const std::vector<std::string> argv = BoardCommand(env);
    ASSERT_TRUE(board.Start(wm->AsUser(argv), dir.path(), env, true));
    ASSERT_TRUE(board.WaitForOutput("first refresh done", 30000)) << board.Output();
    EXPECT_NE(board.Output().find("screen saver held off (wayland-idle-inhibit)"), std::string::npos) << board.Output();

    const QJsonObject node = BoardNode(QJsonDocument::fromJson(QByteArray::fromStdString(wm->Tree())).object());
    ASSERT_FALSE(node.isEmpty()) << wm->Tree();
    EXPECT_EQ(node.value("fullscreen_mode").toInt(), 1);
    const QJsonObject rect = node.value("rect").toObject();
    EXPECT_EQ(QJsonDocument(rect).toJson(QJsonDocument::Compact).toStdString(),
              R"({"height":1080,"width":1920,"x":0,"y":0})");
    if (GetParam() == e2e::Compositor::Native) {
        EXPECT_TRUE(node.value("inhibit_idle").toBool());
    }

    // Every cell where a full-screen board has it: the header's layout, the rows' names.
    QImage before;
    ASSERT_TRUE(WaitForShot([&](const QImage& s) {
        before = s;
        return LayoutShown(s) == 0 && NameShown(s, 1) && NameShown(s, 5);
    })) << "the board does not fill the output";
    wm->WentIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_FALSE(wm->WentIdle()) << "the board's inhibitor did not hold the compositor's idle time off";

    // A right press on row 5 opens "更換股票" with its corner at the pointer; it stays.
    const QPoint at(900, Centre(2, 5).y());
    ASSERT_TRUE(wm->Pointer("move " + std::to_string(at.x()) + " " + std::to_string(at.y())));
    ASSERT_TRUE(wm->Pointer("click right"));
    QRect menu;
    ASSERT_TRUE(WaitForShot([&](const QImage& s) { return (menu = MenuRect(s)).width() > 250; }, 4000)) << "no menu";
    EXPECT_LE((menu.topLeft() - at).manhattanLength(), 6) << menu.x() << "," << menu.y();
    EXPECT_NEAR(menu.width(), 303, 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(MenuRect(wm->Screenshot()), menu) << "the menu did not stay";

    // Its line opens the picker beside the clock cell; 1101 typed and Return pick 台泥.
    ASSERT_TRUE(wm->Pointer("move " + std::to_string(menu.center().x()) + " " + std::to_string(menu.center().y())));
    ASSERT_TRUE(wm->Pointer("click left"));
    const QRect picker(321, 98, 830, 562);
    const QRect okButton(PickerOK(picker) - QPoint(100, 10), QSize(200, 20));
    ASSERT_TRUE(WaitForShot([&](const QImage& s) { return ButtonGrey(s, okButton) > 2000 && MenuRect(s).isNull(); }))
        << "no picker beside the clock";
    ASSERT_TRUE(wm->Type("1101"));
    ASSERT_TRUE(wm->Key("Return"));
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1101") > 0; }, 5000)) << "1101 was not fetched";
    EXPECT_TRUE(WaitForShot([&](const QImage& s) { return ButtonGrey(s, okButton) == 0 && NameShown(s, 5); }))
        << "the picker stayed";

    // Escape asks on a confirmation in the middle of the output; Return answers "是".
    ASSERT_TRUE(wm->Key("Escape"));
    const QRect confirm(QPoint(960 - 349, 540 - 133), QSize(699, 267));
    ASSERT_TRUE(WaitForShot([&](const QImage& s) {
        return e2e::CountColour(s, confirm.adjusted(10, 10, -10, -10), Navy) > confirm.width() * confirm.height() / 2;
    })) << "no confirmation in the middle";
    ASSERT_TRUE(wm->Key("Return"));
    EXPECT_EQ(board.Wait(10000), 0) << board.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n2317\r\n2454\r\n2412\r\n1101\r\n");
}

// A kiosk, worked by touch alone: a finger held on a row opens its menu at the finger, a tap on
// it the picker beside the clock, the keypad and a double tap pick 1101, a finger held on the
// clock and "是" end the board. Each tap lands where its dialog must be, or the flow stops there.
TEST_P(CageBoard, WorkedByTouchAlone) {
    ASSERT_TRUE(wm->Prepare()) << wm->Error();
    e2e::TuioTouch finger;
    WriteFileBytes(dir.file("STOCKLIST.TXT"), "2330\r\n2317\r\n2454\r\n2412\r\n2882\r\n");
    wm->GiveDirectory(dir.path());
    std::vector<std::string> env = BoardEnvironment({finger.Environment(), "QT_TUIOTOUCH_DELIVER_WITHOUT_FOCUS=1"});
    const std::vector<std::string> argv = BoardCommand(env);
    ASSERT_TRUE(wm->StartCage(argv, dir.path(), env)) << wm->Error();
    e2e::Child& cage = wm->Process();
    ASSERT_TRUE(cage.WaitForOutput("first refresh done", 30000)) << cage.Output();
    EXPECT_NE(cage.Output().find("screen saver held off (wayland-idle-inhibit)"), std::string::npos) << cage.Output();
    wm->WentIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_FALSE(wm->WentIdle()) << "the board's inhibitor did not hold the compositor's idle time off";

    // The board fills the output: its cells are where a full-screen grid puts them.
    const QSize size = wm->OutputSize();
    const int colPitch = size.width() / 6, rowPitch = size.height() / 11;
    auto touch = [&](QPoint at, int holdMs = 60) {
        finger.Touch((at.x() + 0.5) / size.width(), (at.y() + 0.5) / size.height(), holdMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs > 1000 ? 700 : 450));
    };
    const QPoint row5(2 * colPitch + colPitch / 2, 5 * rowPitch + rowPitch / 2);
    touch(row5, 1500);
    touch(row5 + QPoint(40, 30));  // on the menu only when it opened at the finger
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const QRect picker(QPoint(colPitch, rowPitch), QSize(830, 562));  // beside the clock cell
    for (QPoint key : {PickerKey(picker, 0, 0), PickerKey(picker, 0, 0), PickerKey(picker, 0, 3)}) touch(key);
    finger.Touch((PickerLine(picker, 0).x() + 0.5) / size.width(), (PickerLine(picker, 0).y() + 0.5) / size.height());
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    touch(PickerLine(picker, 0));
    EXPECT_TRUE(WaitFor([&] { return relay->RequestsFor("1101") > 0; }, 5000)) << "1101 was not picked";

    touch(QPoint(colPitch / 2, rowPitch / 2), 1500);  // the clock
    touch(QPoint(40, 30));                            // "結束程式", at the cell's corner
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const QPoint confirm((size.width() - 699) / 2, (size.height() - 267) / 2);  // centred
    touch(confirm + QPoint(1 + 80 + 120, 1 + 176 + 35));                        // "是"
    EXPECT_NE(cage.Wait(10000), -1) << "the board did not end: " << cage.Output();
    EXPECT_EQ(ReadFileBytes(dir.file("STOCKLIST.TXT")), "2330\r\n2317\r\n2454\r\n2412\r\n1101\r\n");
}

INSTANTIATE_TEST_SUITE_P(Platforms, SwayBoard, ::testing::Values(e2e::Compositor::Native, e2e::Compositor::XWayland),
                         Name);
INSTANTIATE_TEST_SUITE_P(Platforms, CageBoard, ::testing::Values(e2e::Compositor::Native, e2e::Compositor::XWayland),
                         Name);
