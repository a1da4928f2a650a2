// The picker's text rules on Big5 bytes: the filter and its grouping, the code it returns, the
// keypad's editing of the entry.
#include "dialogs/fDlgStockSel.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>

using namespace stocksel;

namespace {
std::string B5(const char* utf8) { return ui::Utf8ToBig5(utf8); }

std::vector<std::string> B5s(std::initializer_list<const char*> utf8) {
    std::vector<std::string> r;
    for (const char* s : utf8) r.push_back(B5(s));
    return r;
}

// Codes 0300 and 0201 deliberately out of order: the picker keeps the order it is given.
const std::vector<std::string>& Available() {
    static const std::vector<std::string> lines =
        B5s({"0050 元大台灣50", "0300 乙", "0201 甲", "1101 台　泥", "1102 亞　泥", "1103 嘉　泥", "1210 大成",
             "2330 台積電", "7000 丙", "7300 丁", "7400 戊", "7900 己"});
    return lines;
}

std::vector<std::string> Codes(const std::vector<std::string>& lines) {
    std::vector<std::string> r;
    for (const std::string& l : lines) r.push_back(l.substr(0, 4));
    return r;
}
}  // namespace

TEST(StockSelRules, RemoveSpacesRemovesAsciiSpacesOnly) {
    EXPECT_EQ(RemoveSpaces(B5(" 1101 台　泥 ")), B5("1101台　泥"));  // the full-width space stays
    EXPECT_EQ(RemoveSpaces("   "), "");
    EXPECT_EQ(RemoveSpaces(std::string("a\0b\tc", 5)), std::string("a\0b\tc", 5));
}

// Prefix match on the line without spaces; groups 3-9 and 70-73 after the others, each in the
// order given; the line whose code is the key is selected.
TEST(StockSelRules, FilterMatchesGroupsAndSelects) {
    struct Case {
        const char* entry;
        std::vector<std::string> codes;
        int selected;
    } cases[] = {
        {"110", {"1101", "1102", "1103"}, -1},
        {"1101", {"1101"}, 0},
        {"0", {"0050", "0201", "0300"}, -1},
        {"7", {"7400", "7900", "7000", "7300"}, -1},
        {"7300", {"7300"}, 0},
        {" 12 \t", {"1210"}, -1},  // the key is trimmed
        {"1101台", {"1101"}, -1},  // code and name without a space match the line without spaces
        {"1101 台", {}, -1},       // with the space nothing matches
        {"台　泥", {}, -1},        // a name alone matches nothing
        {"9", {}, -1},
        // Spaces only: an empty key, every line in grouped order.
        {"   ", {"0050", "0201", "1101", "1102", "1103", "1210", "2330", "7400", "7900", "0300", "7000", "7300"}, -1},
    };
    for (const Case& c : cases) {
        TFilterResult r = FilterLines(Available(), B5(c.entry));
        EXPECT_EQ(Codes(r.Lines), c.codes) << "entry \"" << c.entry << "\"";
        EXPECT_EQ(r.Selected, c.selected) << "entry \"" << c.entry << "\"";
    }
}

// An empty entry, or the prompt, shows every line as given, ungrouped; blank lines show there
// and match no key.
TEST(StockSelRules, EmptyEntryOrPromptShowsEverything) {
    for (const std::string& entry : {std::string(), PromptText()}) {
        TFilterResult r = FilterLines(Available(), entry);
        EXPECT_EQ(r.Lines, Available());
        EXPECT_EQ(r.Selected, -1);
    }
    EXPECT_EQ(PromptText(), B5("請輸入ID或名稱"));
    const std::vector<std::string> withBlank = {"", B5("1101 台　泥")};
    EXPECT_EQ(FilterLines(withBlank, "").Lines, withBlank);
    EXPECT_EQ(FilterLines(withBlank, "1").Lines, std::vector<std::string>{B5("1101 台　泥")});
    // A key that differs in letter case does not match.
    EXPECT_TRUE(FilterLines({"ABCD x"}, "abc").Lines.empty());
}

// A selected line wins; its code is its first four bytes when it holds a space, else the whole
// trimmed line. Without a selection: the first four bytes of the entry.
TEST(StockSelRules, StockCodeRule) {
    const std::string line = B5("1101 台　泥");
    EXPECT_EQ(StockCodeOf(&line, "2330"), "1101");
    const std::string padded = "  123 x";
    EXPECT_EQ(StockCodeOf(&padded, ""), "123");
    const std::string noSpace = " 23305 \r";
    EXPECT_EQ(StockCodeOf(&noSpace, ""), "23305");
    const std::string blank;
    EXPECT_EQ(StockCodeOf(&blank, "1101"), "");
    EXPECT_EQ(StockCodeOf(nullptr, "110"), "110");
    EXPECT_EQ(StockCodeOf(nullptr, line), "1101");
    EXPECT_EQ(StockCodeOf(nullptr, ""), "");
}

// Digits append under four bytes; "x" clears; "←" removes one whole character, both bytes of a
// Big5 character, so no half character is left behind.
TEST(StockSelRules, KeypadEditsTheEntry) {
    EXPECT_EQ(KeypadEntry("110", 0, 0, "1"), "1101");
    EXPECT_EQ(KeypadEntry("1101", 1, 0, "2"), "1101");  // a fifth digit is ignored
    EXPECT_EQ(KeypadEntry(B5("1101 台　泥"), 2, 3, "x"), "");
    EXPECT_EQ(KeypadEntry(B5("1101 台　泥"), 1, 3, B5("←")), B5("1101 台　"));
    EXPECT_EQ(KeypadEntry("12", 1, 3, B5("←")), "1");
    EXPECT_EQ(KeypadEntry("", 1, 3, B5("←")), "");
    EXPECT_EQ(KeypadEntry("1\xA5", 1, 3, B5("←")), "1");  // a lone lead byte at the end is one character
    EXPECT_EQ(KeypadEntry("12", 3, 0, "9"), "12");        // no such key
}

// ETFs, innovation-board stocks and TDRs have codes of five or six letters and digits: a line's
// code is its text before the first space, the keypad takes as many characters as the longest
// code of the list, and the board takes five or six letters and digits besides any four
// characters. A list of four-character codes keeps every rule as it was.
TEST(StockSelRules, LongerCodesOfETFs) {
    const std::string etf = B5("00878 國泰永續高股息"), leveraged = B5("00631L 元大台灣50正2"),
                      stock = B5("1101 台　泥");
    EXPECT_EQ(CodeOfLine(etf), "00878");
    EXPECT_EQ(CodeOfLine(leveraged), "00631L");
    EXPECT_EQ(CodeOfLine(stock), "1101");
    EXPECT_EQ(CodeOfLine(B5("1101台泥")), "1101");  // no space: the first four bytes
    EXPECT_EQ(CodeOfLine("1234567 x"), "1234");     // seven characters are no code
    EXPECT_EQ(CodeOfLine(B5("00-78 x")), "00-7");   // nor a text with other signs

    EXPECT_EQ(CodeLengthOf({stock, B5("2330 台積電")}), 4u);
    EXPECT_EQ(CodeLengthOf({stock, etf}), 5u);
    EXPECT_EQ(CodeLengthOf({stock, etf, leveraged}), 6u);
    EXPECT_EQ(CodeLengthOf({}), 4u);

    EXPECT_EQ(StockCodeOf(&etf, "1101"), "00878");
    EXPECT_EQ(StockCodeOf(nullptr, "008788", 6), "008788");
    EXPECT_EQ(StockCodeOf(nullptr, "0087888", 6), "008788");
    EXPECT_EQ(StockCodeOf(nullptr, "00878"), "0087");  // a list of four-character codes

    EXPECT_EQ(KeypadEntry("0087", 1, 2, "8", 6), "00878");
    EXPECT_EQ(KeypadEntry("006208", 0, 0, "1", 6), "006208");
    EXPECT_EQ(KeypadEntry("0087", 1, 2, "8"), "0087");

    for (const char* good : {"1101", "00878", "00631L", "ab c"}) EXPECT_TRUE(UsableCode(good)) << good;
    for (const char* bad : {"110", "", "0087 8", "1234567", "00-78"}) EXPECT_FALSE(UsableCode(bad)) << bad;
}
