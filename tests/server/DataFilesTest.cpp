// The default data files: the board's AVAILABLE.TXT and STOCKLIST.TXT and the server's
// MARKET.TXT must agree with each other and keep their formats.
#include "server/Universe.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"
#include "ui/core/TextFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using testsupport::ReadFileBytes;
using testsupport::SourceDir;

namespace {

std::vector<std::string> CrLfLines(const std::string& name) {
    std::string bytes = ReadFileBytes(SourceDir() + "/data/" + name);
    EXPECT_FALSE(bytes.empty()) << name;
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = bytes.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(bytes.substr(from, at - from));
    EXPECT_EQ(from, bytes.size()) << name << ": every line ends in CR LF";
    for (const std::string& l : lines) EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << name << ": " << l;
    return lines;
}

bool IsBig5(const std::string& s) {
    return ui::QStringToBig5(ui::Big5ToQString(s)) == s && !ui::Big5ToQString(s).contains(QChar(0xFFFD));
}

}  // namespace

// The picker's list holds four-character codes; the server's universe holds every code of four
// to six letters and digits of the listings, so it serves ETFs such as 00878 as well.
TEST(DataFiles, AvailableListMatchesTheServersUniverse) {
    std::map<std::string, std::string> universe;
    for (const server::Listing& l : server::LoadUniverse(SourceDir() + "/data/MARKET.TXT")) {
        EXPECT_TRUE(IsBig5(l.name)) << l.code;
        EXPECT_NE(l.name.size(), 0u);
        EXPECT_TRUE(l.code.size() >= 4 && l.code.size() <= 6) << l.code;
        EXPECT_EQ(l.code.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << l.code;
        universe[l.code] = l.name;
    }
    for (const char* code : {"00878", "00919", "006208", "00631L"}) EXPECT_EQ(universe.count(code), 1u) << code;

    std::vector<std::string> lines = CrLfLines("AVAILABLE.TXT");
    EXPECT_GE(lines.size(), 150u);
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
    std::string previous;
    for (const std::string& line : lines) {
        SCOPED_TRACE(ui::Big5ToUtf8(line));
        ASSERT_GT(line.size(), 5u);
        // A stock's code of four digits, or an ETF's (innovation board's, TDR's) of up to six
        // letters and digits, then one space.
        const std::size_t space = line.find(' ');
        ASSERT_TRUE(space >= 4 && space <= 6) << line;
        std::string code = line.substr(0, space), name = line.substr(space + 1);
        EXPECT_EQ(code.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
        EXPECT_LT(previous, code);
        previous = code;
        EXPECT_TRUE(IsBig5(name));
        ASSERT_EQ(universe.count(code), 1u);
        // The list shows two-character names with the full-width space between them, as the
        // board pads them; the server's pages carry the plain name.
        std::string plain = universe[code];
        std::string shown = plain.size() == 4 ? plain.substr(0, 2) + "\xA1\x40" + plain.substr(2) : plain;
        EXPECT_EQ(name, shown);
    }
    EXPECT_LE(lines.size(), universe.size());
    // Names the exchange writes in code page 950 beyond plain Big5 are kept: 宏碁 is A7BB F9D6
    // (shown as 宏　碁).
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string("2353 \xA7\xBB\xA1\x40\xF9\xD6")), lines.end());
    // Today's most-watched ETFs are offered.
    for (const char* etf : {"00878 ", "00919 ", "006208 "})
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(etf, 0) == 0; }))
            << etf;
    // No longer listed.
    for (const std::string& line : lines) EXPECT_TRUE(line.rfind("2809 ", 0) != 0 && line.rfind("2888 ", 0) != 0);

    std::vector<std::string> watch = CrLfLines("STOCKLIST.TXT");
    EXPECT_EQ(watch.size(), 10u);
    for (const std::string& code : watch) EXPECT_EQ(universe.count(code), 1u) << code;
}
