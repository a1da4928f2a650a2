#include "ui/core/Signals.h"
#include "ui/core/Application.h"
#include "ui/core/Exception.h"

#include <QElapsedTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace ui;

namespace {
void WaitFor(const std::function<bool()>& done, int ms = 2000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) WaitMessage(20);
}

void (*CurrentHandler(int signo))(int) {
    struct sigaction now {};
    ::sigaction(signo, nullptr, &now);
    return now.sa_handler;
}
}  // namespace

TEST(SignalWatcher, DeliversEachSignalOnTheEventLoopInOrder) {
    TSignalWatcher watcher({SIGTERM, SIGINT, SIGHUP});
    std::vector<int> seen;
    watcher.OnSignal = [&](int signo) { seen.push_back(signo); };
    ::raise(SIGHUP);
    ::raise(SIGINT);
    ::raise(SIGTERM);
    // Nothing runs inside the signal handler itself: delivery waits for the event loop.
    EXPECT_TRUE(seen.empty());
    WaitFor([&] { return seen.size() == 3; });
    EXPECT_EQ(seen, (std::vector<int>{SIGHUP, SIGINT, SIGTERM}));
    EXPECT_EQ(watcher.Received(), 3);
}

TEST(SignalWatcher, PutsBackThePreviousHandlersAndAllowsOneWatcherAtATime) {
    std::signal(SIGHUP, SIG_IGN);
    {
        TSignalWatcher watcher({SIGHUP});
        EXPECT_NE(CurrentHandler(SIGHUP), SIG_IGN);
        EXPECT_THROW(TSignalWatcher({SIGINT}), Exception);
    }
    EXPECT_EQ(CurrentHandler(SIGHUP), SIG_IGN);
    std::signal(SIGHUP, SIG_DFL);
    // With the first one gone, a new watcher can be made.
    TSignalWatcher again({SIGINT});
    bool got = false;
    again.OnSignal = [&](int) { got = true; };
    ::raise(SIGINT);
    WaitFor([&] { return got; });
    EXPECT_TRUE(got);
}

TEST(SignalWatcher, AHandlerMayDestroyTheWatcherAndItsErrorsReachTheApplication) {
    std::vector<std::string> errors;
    ExceptionHandler old = SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    auto watcher = std::make_unique<TSignalWatcher>(std::initializer_list<int>{SIGTERM});
    int calls = 0;
    watcher->OnSignal = [&](int) {
        ++calls;
        if (calls == 1) throw Exception("handler failed");
        watcher.reset();  // as a program that closes on the signal
    };
    ::raise(SIGTERM);
    ::raise(SIGTERM);
    ::raise(SIGTERM);  // arrives after the watcher is gone: never delivered
    WaitFor([&] { return !watcher; });
    for (int i = 0; i < 5; ++i) WaitMessage(10);
    SetExceptionHandler(old);
    EXPECT_FALSE(watcher);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(errors, (std::vector<std::string>{"handler failed"}));
}
