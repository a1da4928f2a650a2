#pragma once
// The fixture of the board's end-to-end tests: the real quoteboard program on a real X server
// (Xvfb, 1920 x 1080), the real quote server behind a counting relay, keys and clicks from
// xdotool and the screen read back as images. The local time is set with faketime where the
// trading window matters: a Wednesday at 10:00 is inside it, the same day at 20:00 outside.
#include "Harness.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <thread>

using testsupport::ReadFileBytes;
using testsupport::WriteFileBytes;

namespace boardtest {

inline const char* const InWindow = "2026-12-09 10:00:00";     // a Wednesday, market open
inline const char* const OutOfWindow = "2026-12-09 20:00:00";  // the same day, after the close

inline const QRgb SkyBlue = qRgb(166, 202, 240);
inline const QRgb Grey = qRgb(128, 128, 128);
inline const QRgb White = qRgb(255, 255, 255);
inline const QRgb Red = qRgb(255, 0, 0);
inline const QRgb Yellow = qRgb(255, 255, 0);
inline const QRgb Lime = qRgb(0, 255, 0);

class Board : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(x.Start()) << x.Error();
        ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
        relay = std::make_unique<e2e::CountingRelay>(server.Host(), server.Port());
        WriteFileBytes(dir.file("AVAILABLE.TXT"), ReadFileBytes(testsupport::SourceDir() + "/data/AVAILABLE.TXT"));
    }

    void TearDown() override {
        if (HasFailure()) {
            std::string shot = testsupport::BinaryDir() + "/artefacts/" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-failed.png";
            x.Screenshot().save(QString::fromStdString(shot));
            std::cerr << "board output:\n" << board.Output() << "screen: " << shot << "\n";
        }
        if (board.Running()) board.Stop(3000);
    }

    // Starts quoteboard in the test's directory at the given local time and waits for its first
    // full board.
    void StartBoard(const char* localTime, const std::vector<std::string>& extraEnv = {}) {
        StartBoardOn(x, board, localTime, extraEnv);
    }
    // The same on another X server, as another child.
    void StartBoardOn(const e2e::XServer& on, e2e::Child& child, const char* localTime,
                      const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env = e2e::FakeTimeEnvironment(localTime);
        env.push_back("QUOTE_SERVER=127.0.0.1:" + std::to_string(relay->Port()));
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        ASSERT_TRUE(child.Start({e2e::ProgramPath("board/quoteboard")}, dir.path(), on.Environment(env), true));
        ASSERT_TRUE(child.WaitForOutput("first refresh done", 30000)) << child.Output();
    }

    // Cell (col, row) on the screen: the board fills the 1920 x 1080 screen with 6 columns of
    // 319 and 11 rows of 97 pixels, each followed by a grid line.
    static QRect Cell(int col, int row) { return QRect(col * 320, row * 98, 319, 97); }
    static QPoint Centre(int col, int row) { return Cell(col, row).center(); }

    // Polls the screen until the predicate holds for a screenshot or ms have passed.
    bool WaitForScreen(const std::function<bool(const QImage&)>& holds, int ms = 8000) {
        QElapsedTimer t;
        t.start();
        do {
            QImage shot = x.Screenshot();
            if (!shot.isNull() && holds(shot)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        } while (t.elapsed() < ms);
        return false;
    }
    bool WaitFor(const std::function<bool()>& holds, int ms = 8000) {
        QElapsedTimer t;
        t.start();
        while (!holds()) {
            if (t.elapsed() > ms) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    // Visible top-level windows of the board program (the board, plus an open dialog).
    int Windows() {
        std::string out;
        x.XDoTool({"search", "--onlyvisible", "--class", "quoteboard"}, &out);
        return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
    }
    bool WaitForWindows(int n, int ms = 5000) {
        return WaitFor([&] { return Windows() == n; }, ms);
    }

    // The colour of a header cell's text: which layout shows is told by columns 1, 3 and 4.
    static int LayoutShown(const QImage& s) {
        auto has = [&](int col, QRgb c) { return e2e::CountColour(s, Cell(col, 0), c) > 50; };
        if (has(1, Grey) && has(3, White) && has(4, White)) return 0;
        if (has(1, White) && has(3, Grey) && has(4, Red)) return 1;
        if (has(1, White) && has(3, White) && has(4, Red)) return 2;
        return -1;
    }
    // The share of the pixels in rect that differ between two pictures of the screen.
    static double Changed(const QImage& a, const QImage& b, const QRect& rect) {
        int differ = 0, all = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x, ++all)
                if (a.pixel(x, y) != b.pixel(x, y)) ++differ;
        return all ? double(differ) / all : 0;
    }
    static bool NameShown(const QImage& s, int row) {
        return e2e::CountColour(s, Cell(0, row), row % 2 ? Yellow : Lime) > 100;
    }

    // The board's dialogs on the screen: every visible window of the program but the board.
    static std::vector<QRect> DialogRects(const e2e::XServer& on) {
        std::string ids;
        on.XDoTool({"search", "--onlyvisible", "--class", "quoteboard"}, &ids);
        std::vector<QRect> rects;
        std::size_t start = 0;
        while (start < ids.size()) {
            std::size_t end = ids.find('\n', start);
            if (end == std::string::npos) end = ids.size();
            const std::string id = ids.substr(start, end - start);
            start = end + 1;
            std::string geometry;
            if (id.empty() || !on.XDoTool({"getwindowgeometry", id}, &geometry)) continue;
            int left = 0, top = 0, w = 0, h = 0;
            const std::size_t pos = geometry.find("Position:"), size = geometry.find("Geometry:");
            if (pos == std::string::npos || size == std::string::npos) continue;
            std::sscanf(geometry.c_str() + pos, "Position: %d,%d", &left, &top);
            std::sscanf(geometry.c_str() + size, "Geometry: %dx%d", &w, &h);
            // The board: the whole screen, or one whole monitor of two.
            if ((w == on.Width() && h == on.Height()) || (w == 1920 && h == 1080)) continue;
            rects.emplace_back(left, top, w, h);
        }
        return rects;
    }
    // Opens a row's menu with a right press at the point; a press that meets a running cycle is
    // dropped, so it is tried again.
    bool OpenMenu(const e2e::XServer& on, QPoint at) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            on.Click(at.x(), at.y(), 3);
            if (WaitFor([&] { return DialogRects(on).size() == 1; }, 2000)) return true;
        }
        return false;
    }
    bool WaitForNoDialog(const e2e::XServer& on, int ms = 4000) {
        return WaitFor([&] { return DialogRects(on).empty(); }, ms);
    }
    // The picker opened from a row's menu: right press at the point, a tap on the line.
    QRect OpenPicker(QPoint at) {
        if (!OpenMenu(x, at)) return {};
        x.Click(at.x() + 20, at.y() + 20);
        QRect r;
        WaitFor(
            [&] {
                std::vector<QRect> d = DialogRects(x);
                if (d.size() == 1 && d[0].width() > 500) r = d[0];
                return !r.isNull();
            },
            4000);
        return r;
    }
    // Places on the picker, full size: keypad keys, list lines, buttons.
    static QPoint PickerKey(const QRect& p, int col, int row) {
        return p.topLeft() + QPoint(362 + col * 154 + 76, 12 + row * 120 + 59);
    }
    static QPoint PickerLine(const QRect& p, int line) { return p.topLeft() + QPoint(178, 93 + 48 * line); }
    static QPoint PickerOK(const QRect& p) { return p.topLeft() + QPoint(514, 525); }
    static QPoint PickerCancel(const QRect& p) { return p.topLeft() + QPoint(746, 525); }
    void Tap(QPoint at) { ASSERT_TRUE(x.Click(at.x(), at.y())); }
    void TapDigits(const QRect& p, const std::string& digits) {
        for (char d : digits) {
            const int n = d == '0' ? 9 : d - '1';
            Tap(PickerKey(p, d == '0' ? 0 : n % 3, n / 3));
        }
    }
    static bool Inside(const QRect& dialog, const QSize& screen) {
        return QRect(QPoint(0, 0), screen).contains(dialog);
    }

    e2e::XServer x;
    testsupport::ServerProcess server;
    std::unique_ptr<e2e::CountingRelay> relay;
    testsupport::TempDir dir;
    e2e::Child board;
};

}  // namespace boardtest
