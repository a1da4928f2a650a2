// The end-to-end harness itself: what it says when its tools are missing, and a screen it can
// read back and drive.
#include "Harness.h"

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
