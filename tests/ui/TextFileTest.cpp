#include "ui/TextFile.h"
#include "support/TempDir.h"
#include "ui/Exception.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace ui;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;
using Lines = std::vector<std::string>;

TEST(SplitLines, EveryTerminatorEndsALine) {
    EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    // A final terminator adds no line, but an empty line before it counts.
    EXPECT_EQ(SplitLines("a\r\n\r\n"), (Lines{"a", ""}));
    EXPECT_EQ(SplitLines("\n\n"), (Lines{"", ""}));
    // LF CR is two terminators, CR LF is one.
    EXPECT_EQ(SplitLines("a\n\rb"), (Lines{"a", "", "b"}));
    EXPECT_TRUE(SplitLines("").empty());
}

TEST(SplitLines, NulEndsTheText) {
    EXPECT_EQ(SplitLines(std::string("ab\ncd\0ef\ngh", 11)), (Lines{"ab", "cd"}));
    EXPECT_TRUE(SplitLines(std::string("\0abc", 4)).empty());
}

TEST(TextFile, WriteThenReadKeepsBytesAndEndsEveryLineWithCrLf) {
    TempDir dir;
    std::string name = dir.file("LIST.TXT");
    Lines lines{"2330", "\xa5\x78\xa1\x40\xaa\x64", ""};
    WriteLines(name, lines);
    EXPECT_EQ(ReadFileBytes(name), "2330\r\n\xa5\x78\xa1\x40\xaa\x64\r\n\r\n");
    EXPECT_EQ(ReadLines(name), lines);
    WriteLines(name, {});
    EXPECT_EQ(ReadFileBytes(name), "");
}

TEST(TextFile, WriteReplacesAtomicallyAndLeavesNoTemporary) {
    TempDir dir;
    std::string name = dir.file("LIST.TXT");
    WriteFileBytes(name, "old contents that are longer than the new ones\r\n");
    WriteLines(name, {"1"});
    EXPECT_EQ(ReadFileBytes(name), "1\r\n");
    EXPECT_FALSE(FileExists(name + ".tmp~"));
}

TEST(TextFile, FailuresRaiseAndKeepTheOldFile) {
    TempDir dir;
    EXPECT_THROW(ReadLines(dir.file("missing.txt")), EFileError);
    EXPECT_THROW(WriteLines(dir.file("no/such/dir/x.txt"), {"a"}), EFileError);
    // A directory where the file should be cannot be replaced; nothing else is touched.
    std::string blocked = dir.file("blocked");
    ASSERT_EQ(::mkdir(blocked.c_str(), 0755), 0);
    EXPECT_THROW(WriteLines(blocked, {"a"}), EFileError);
    EXPECT_FALSE(FileExists(blocked + ".tmp~"));
}

TEST(TextFile, ExistsAndDelete) {
    TempDir dir;
    std::string name = dir.file("a.txt");
    EXPECT_FALSE(FileExists(name));
    EXPECT_NO_THROW(DeleteFile(name));  // a missing file is no error
    WriteFileBytes(name, "x");
    EXPECT_TRUE(FileExists(name));
    EXPECT_FALSE(FileExists(dir.path()));  // a directory is not a file
    EXPECT_TRUE(PathExists(dir.path()));
    EXPECT_TRUE(PathExists(name));
    DeleteFile(name);
    EXPECT_FALSE(FileExists(name));
}
