#include "ui/core/Application.h"
#include "ui/core/Exception.h"
#include "ui/core/Timer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

using namespace ui;

namespace {
// Collects what reaches the application's default exception handling.
struct CaptureErrors {
    std::vector<std::string> messages;
    ExceptionHandler old;
    CaptureErrors() {
        old = SetExceptionHandler([this](const std::string& m) { messages.push_back(m); });
    }
    ~CaptureErrors() { SetExceptionHandler(old); }
};
}  // namespace

TEST(Application, GuardedHandsErrorsToTheHandler) {
    CaptureErrors errors;
    Guarded([] { throw Exception("boom"); });
    Guarded([] { throw 42; });
    Guarded([] {});
    EXPECT_EQ(errors.messages, (std::vector<std::string>{"boom", "Unknown error"}));
}

TEST(Application, AnExceptionInAnEventHandlerNeverReachesQt) {
    CaptureErrors errors;
    bool fired = false;
    QTimer::singleShot(0, [&] {
        fired = true;
        throw Exception("from a timer");
    });
    QElapsedTimer t;
    t.start();
    while (!fired && t.elapsed() < 2000) WaitMessage(50);
    EXPECT_TRUE(fired);
    EXPECT_EQ(errors.messages, (std::vector<std::string>{"from a timer"}));
}

TEST(Application, WaitMessageBlocksUntilAnEventOrTheLimit) {
    // Waiting 100 ms with nothing to do takes a handful of passes, not a spin of thousands.
    QElapsedTimer t;
    t.start();
    int passes = 0;
    while (t.elapsed() < 100) {
        WaitMessage(100);
        ++passes;
    }
    EXPECT_LT(passes, 20);
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    while (!fired) WaitMessage();
    EXPECT_TRUE(fired);
}

TEST(Timer, RunsOnlyWhenEnabledWithIntervalAndHandler) {
    TTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.Active());  // no handler yet
    int ticks = 0;
    timer.SetInterval(10);
    timer.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    EXPECT_TRUE(timer.Active());
    QElapsedTimer t;
    t.start();
    while (ticks < 3 && t.elapsed() < 2000) WaitMessage(50);
    EXPECT_GE(ticks, 3);
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Active());
    timer.SetEnabled(true);
    timer.SetInterval(0);
    EXPECT_FALSE(timer.Active());
}

TEST(Timer, AnErrorInTheHandlerGoesToTheApplication) {
    CaptureErrors errors;
    TTimer timer;
    int ticks = 0;
    timer.SetInterval(5);
    timer.SetOnTimer([&](QObject*) {
        ++ticks;
        throw Exception("tick failed");
    });
    QElapsedTimer t;
    t.start();
    while (ticks < 2 && t.elapsed() < 2000) WaitMessage(50);
    timer.SetEnabled(false);
    ASSERT_GE(ticks, 2);  // the timer keeps running after a failed tick
    EXPECT_EQ(errors.messages.front(), "tick failed");
}
