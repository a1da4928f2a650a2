#include "ui/core/DateTime.h"

#include <QDateTime>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace ui;

TEST(DateTime, DaysSinceTheEpochAndTimeOfDay) {
    EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_DOUBLE_EQ(EncodeDate(2026, 12, 8), 46364.0);
    EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0), 0.5);
    EXPECT_DOUBLE_EQ(OneSecond * 86400, 1.0);
    TimeParts t = DecodeTime(EncodeDateTime(2026, 12, 8, 13, 35, 59, 250));
    EXPECT_EQ(t.hour, 13);
    EXPECT_EQ(t.minute, 35);
    EXPECT_EQ(t.second, 59);
    EXPECT_EQ(t.msec, 250);
}

TEST(DateTime, Formats) {
    EXPECT_EQ(FormatHHNN(EncodeDateTime(2026, 12, 8, 8, 56, 59)), "08:56");
    EXPECT_EQ(FormatHHNNSS(EncodeDateTime(2026, 12, 8, 23, 5, 9)), "23:05:09");
    EXPECT_EQ(FormatHHNN(EncodeDate(2026, 12, 8)), "00:00");
    // The last millisecond of a day never rounds up to "24:00".
    EXPECT_EQ(FormatHHNNSS(EncodeDate(2026, 12, 8) + 0.99999999999), "23:59:59");
}

TEST(DateTime, WeekendRuleCountsDaysModuloSeven) {
    // 30 Dec 1899 was a Saturday; 5 and 6 Dec 2026 are a Saturday and a Sunday.
    EXPECT_EQ(DayIndex(0.0), 0);
    EXPECT_TRUE(IsWeekendDay(EncodeDateTime(2026, 12, 5, 10, 0, 0)));
    EXPECT_TRUE(IsWeekendDay(EncodeDateTime(2026, 12, 6, 23, 59, 0)));
    for (int d = 7; d <= 11; ++d) EXPECT_FALSE(IsWeekendDay(EncodeDate(2026, 12, d))) << d;
}

TEST(DateTime, TheClockCanBeReplaced) {
    TDateTime fixed = EncodeDateTime(2026, 12, 8, 9, 30, 0);
    auto old = SetClock([fixed] { return fixed; });
    EXPECT_DOUBLE_EQ(Now(), fixed);
    SetClock(old);
    // Back on the system clock: within a day of it.
    EXPECT_NEAR(Now(), SystemNow(), 1.0 / 24);
}

// The local clock agrees with Qt's reading of the local date and time, in zones with and without
// summer time, and follows a change of TZ at once.
TEST(DateTime, SystemClockIsTheLocalTimeOfTheZoneInForce) {
    const char* saved = std::getenv("TZ");
    std::string old = saved ? saved : "";
    for (const char* zone : {"Asia/Taipei", "America/New_York", "Pacific/Chatham", "UTC"}) {
        ::setenv("TZ", zone, 1);
        QDateTime qt = QDateTime::currentDateTime();
        double expected = QDate(1899, 12, 30).daysTo(qt.date()) + qt.time().msecsSinceStartOfDay() / 86400000.0;
        EXPECT_NEAR(SystemNow(), expected, 2 * OneSecond) << zone;
    }
    if (saved)
        ::setenv("TZ", old.c_str(), 1);
    else
        ::unsetenv("TZ");
}
