#include "ui/Holidays.h"

#include <gtest/gtest.h>

using namespace ui;

TEST(Holidays, ReadsDatesCommentsAndSkipsMalformedLinesByNumber) {
    std::vector<std::string> problems;
    THolidays h = THolidays::Parse("# 2026\r\n2026-01-01  # New Year\n\n2026-02-30\n 2026-02-16 \n2026/02/17\n"
                                   "2026-02-16\n2026-02-1x\n",
                                   &problems);
    EXPECT_EQ(h.Count(), 2u);  // the repeated date counts once
    EXPECT_TRUE(h.Contains(EncodeDateTime(2026, 1, 1, 10, 0, 0)));
    EXPECT_TRUE(h.Contains(EncodeDate(2026, 2, 16)));
    EXPECT_FALSE(h.Contains(EncodeDate(2026, 1, 2)));
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_NE(problems[0].find("line 4"), std::string::npos);
    EXPECT_NE(problems[1].find("line 6"), std::string::npos);
    EXPECT_NE(problems[2].find("line 8"), std::string::npos);
}

TEST(Holidays, ClosedDaysAreWeekendsAndListedDates) {
    SetHolidays(THolidays::Parse("2026-01-01\n"));
    EXPECT_TRUE(IsClosedDay(EncodeDateTime(2026, 1, 1, 9, 30, 0)));   // a Thursday, listed
    EXPECT_FALSE(IsClosedDay(EncodeDateTime(2026, 1, 2, 9, 30, 0)));  // Friday
    EXPECT_TRUE(IsClosedDay(EncodeDate(2026, 1, 3)));                 // Saturday
    SetHolidays(THolidays());
    EXPECT_FALSE(IsClosedDay(EncodeDate(2026, 1, 1)));
}
