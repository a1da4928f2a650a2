#include "ui/core/Holidays.h"

#include "support/TempDir.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

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

// The file as the programs load it: a malformed line is reported once and the rest kept; a
// missing file (nowhere to fall back to) means weekends only, and says nothing.
TEST(Holidays, LoadReportsMalformedLinesOnceAndAMissingFileMeansWeekendsOnly) {
    testsupport::TempDir dir;
    testsupport::WorkingDir cwd(dir.path());
    SetDataDirs(std::vector<std::string>{});
    testsupport::WriteFileBytes(dir.file(HolidaysFileName), "2026-01-01\r\nnot a date # New Year\r\n2026-02-17\r\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LoadHolidays(), HolidaysFileName);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("line 2"), std::string::npos) << err;
    EXPECT_TRUE(IsClosedDay(EncodeDateTime(2026, 1, 1, 10, 0, 0)));
    EXPECT_TRUE(IsClosedDay(EncodeDateTime(2026, 2, 17, 10, 0, 0)));

    ASSERT_EQ(::unlink(dir.file(HolidaysFileName).c_str()), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LoadHolidays(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(IsClosedDay(EncodeDateTime(2026, 1, 1, 10, 0, 0)));
    EXPECT_TRUE(IsClosedDay(EncodeDate(2026, 1, 3)));  // a Saturday still is

    // The usual folders are the data folder as installed beside the program, and no path of the
    // machine that built it.
    SetDataDirs(std::nullopt);
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(DataDirs(), std::vector<std::string>{(exe.parent_path().parent_path() / "share/quoteboard").string()});

    // The published closures, as the source tree has them.
    SetDataDirs(std::vector<std::string>{testsupport::SourceDir() + "/data"});
    ::testing::internal::CaptureStderr();
    EXPECT_NE(LoadHolidays(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // every line of it is good
    for (auto [m, d] : {std::pair{1, 1}, {2, 12}, {2, 16}, {2, 20}, {10, 9}, {12, 25}})
        EXPECT_TRUE(IsClosedDay(EncodeDate(2026, m, d))) << m << "-" << d;
    EXPECT_FALSE(IsClosedDay(EncodeDateTime(2026, 1, 2, 10, 0, 0)));
    EXPECT_FALSE(IsClosedDay(EncodeDate(2026, 2, 23)));
    SetHolidays(THolidays());
    SetDataDirs(std::nullopt);
}
