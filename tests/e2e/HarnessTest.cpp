// The end-to-end harness itself: what it says when its tools are missing, and a screen it can
// read back and drive.
#include "Harness.h"
#include "support/ServerProcess.h"

#include <QColor>
#include <cstdlib>
#include <gtest/gtest.h>

TEST(E2EHarness, NamesThePackagesToInstallWhenToolsAreMissing) {
    std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", "/nonexistent", 1);
    std::string message = e2e::MissingTools();
    e2e::XServer x;
    bool started = x.Start();
    ::setenv("PATH", saved.c_str(), 1);
    EXPECT_FALSE(started);
    EXPECT_NE(message.find("Debian package xvfb"), std::string::npos) << message;
    EXPECT_NE(message.find("Debian package xdotool"), std::string::npos) << message;
    EXPECT_NE(message.find("Debian package imagemagick"), std::string::npos) << message;
    EXPECT_EQ(x.Error(), message);
}

TEST(E2EHarness, StartsAnXServerAndReadsItsScreenBack) {
    e2e::XServer x;
    ASSERT_TRUE(x.Start(640, 480)) << x.Error();
    QImage shot = x.Screenshot();
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), QSize(640, 480));
    // The pointer goes where it is sent.
    ASSERT_TRUE(x.MoveTo(123, 45));
    std::string where;
    ASSERT_TRUE(x.XDoTool({"getmouselocation"}, &where));
    EXPECT_NE(where.find("x:123 y:45"), std::string::npos) << where;
}

TEST(E2EHarness, RelayCountsPagesAndStallsOnRequest) {
    testsupport::ServerProcess server;
    ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
    e2e::CountingRelay relay(server.Host(), server.Port());
    std::string page;
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.Port()) + "/q/q?s=2330";
    ASSERT_EQ(e2e::RunProgram({"curl", "-s", "-0", url}, e2e::BaseEnvironment(), &page), 0);
    EXPECT_NE(page.find("2330"), std::string::npos);
    EXPECT_EQ(relay.RequestsFor("2330"), 1);

    relay.Stall(true);
    e2e::Child client;
    ASSERT_TRUE(client.Start({"curl", "-s", "-0", url}, "", e2e::BaseEnvironment()));
    for (int i = 0; i < 100 && relay.Stalled() == 0; ++i) client.Wait(20);
    EXPECT_EQ(relay.Stalled(), 1);
    EXPECT_TRUE(client.Running());  // no answer: the client waits
    relay.Stall(false);
    EXPECT_EQ(client.Wait(5000), 52);  // released: closed without an answer (curl: empty reply)
    EXPECT_EQ(relay.Requests(), 2);
}
