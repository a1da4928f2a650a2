#include "ui/core/TextFile.h"
#include "support/TempDir.h"
#include "ui/core/Exception.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(TextFile, SavesThroughLinksKeepModesAndRefusePlantedTemporaries) {
    TempDir dir;
    // A symbolic link keeps pointing at its target, which gets the new text and keeps its mode.
    const std::string target = dir.file("real.txt"), link = dir.file("LIST.TXT");
    WriteFileBytes(target, "old\r\n");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("real.txt", link.c_str()), 0);
    WriteLines(link, {"2330"});
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFileBytes(target), "2330\r\n");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A link planted at the temporary name of this process does not redirect the write.
    const std::string victim = dir.file("victim.txt"), plain = dir.file("PLAIN.TXT");
    WriteFileBytes(victim, "keep me");
    ASSERT_EQ(::symlink(victim.c_str(), (plain + ".tmp~" + std::to_string(::getpid())).c_str()), 0);
    WriteLines(plain, {"1101"});
    EXPECT_EQ(ReadFileBytes(victim), "keep me");
    EXPECT_EQ(ReadFileBytes(plain), "1101\r\n");

    // Temporaries of processes that are gone (and of the old fixed name) are cleared; those of
    // a running process stay.
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const std::string dead = plain + ".tmp~" + std::to_string(child), legacy = plain + ".tmp~",
                      running = plain + ".tmp~1";
    for (const std::string* name : {&dead, &legacy, &running}) WriteFileBytes(*name, "stale");
    WriteLines(plain, {"2317"});
    EXPECT_FALSE(PathExists(dead));
    EXPECT_FALSE(PathExists(legacy));
    EXPECT_TRUE(PathExists(running));  // pid 1 always runs
    EXPECT_FALSE(PathExists(plain + ".tmp~" + std::to_string(::getpid())));
}

TEST(TextFile, ReadingStopsAtWhatTheLinesNeedAndRefusesWhatIsNoFile) {
    TempDir dir;
    // A FIFO with no writer would block an ordinary read for ever.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(ReadLines(fifo, 10), EFileError);
    EXPECT_THROW(ReadLines(dir.path(), 10), EFileError);
    // A huge file: only what ten lines need is read.
    const std::string huge = dir.file("huge.txt");
    std::string text;
    for (int i = 0; i < 1000; ++i) text += std::to_string(1000 + i) + "\r\n";
    WriteFileBytes(huge, text);
    ASSERT_EQ(::truncate(huge.c_str(), 4LL << 30), 0);  // sparse: 4 GB of zero bytes follow
    Lines lines = ReadLines(huge, 10);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[9], "1009");
    // Without a line limit the read still stops at its byte limit.
    EXPECT_EQ(ReadLines(huge).size(), 1000u);
}
