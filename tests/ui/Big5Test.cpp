#include "ui/core/Big5.h"

#include <gtest/gtest.h>

using namespace ui;

// 台　泥 in Big5: A5 78, the full-width space A1 40, AA 64.
static const std::string TaiNi = "\xa5\x78\xa1\x40\xaa\x64";

TEST(Big5, RoundTripThroughUnicode) {
    QString s = Big5ToQString(TaiNi);
    EXPECT_EQ(s, QString::fromUtf8("台　泥"));
    EXPECT_EQ(QStringToBig5(s), TaiNi);
    // The change marks.
    EXPECT_EQ(Big5ToUtf8("\xa1\xb5\xa1\xb6\xa1\xbe\xa1\xbf"), "△▲▽▼");
    EXPECT_EQ(Utf8ToBig5("成交價"), QStringToBig5(QString::fromUtf8("成交價")));
    EXPECT_EQ(Utf8ToBig5("2330 ABC"), "2330 ABC");
}

TEST(Big5, TrimRemovesControlBytesAndSpacesButNotTheFullWidthSpace) {
    EXPECT_EQ(Trim(" \t\r\n\x01 2330 \x1f\x20"), "2330");
    EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
    EXPECT_EQ(Trim("\xa1\x40"
                   "a"
                   "\xa1\x40"),
              "\xa1\x40"
              "a"
              "\xa1\x40");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(""), "");
    // Bytes of 0x80 and up are never trimmed (they are lead or trail bytes).
    EXPECT_EQ(Trim("\xa1 "), "\xa1");
}

TEST(Big5, PositionsAreOneBasedBytes) {
    EXPECT_EQ(Pos("</", "<td>12</td>"), 7u);
    EXPECT_EQ(Pos("x", "abc"), 0u);
    EXPECT_EQ(Pos("", "abc"), 0u);
    EXPECT_EQ(Pos("\xa1\xb5", "x\xa1\xb5"), 2u);
    EXPECT_EQ(Copy("abcdef", 2, 3), "bcd");
    EXPECT_EQ(Copy("abcdef", 5, 100), "ef");
    EXPECT_EQ(Copy("abcdef", 0, 2), "ab");
    EXPECT_EQ(Copy("abcdef", 7, 1), "");
    EXPECT_EQ(Copy("abcdef", 2, -1), "");
}

TEST(Big5, CaseAndComparison) {
    EXPECT_EQ(UpperCase("Set-Cookie: a\xa1\xb5"), "SET-COOKIE: A\xa1\xb5");
    EXPECT_EQ(LowerCase("HTTPS"), "https");
    EXPECT_TRUE(SameText("Content-Length", "CONTENT-length"));
    EXPECT_FALSE(SameText("Host", "Hostx"));
    // Byte-wise with unsigned bytes; a proper prefix sorts first.
    EXPECT_LT(CompareStr("08:55", "08:55:00"), 0);
    EXPECT_LT(CompareStr("a", "\xa1"), 0);
    EXPECT_EQ(CompareStr("x", "x"), 0);
}

TEST(Big5, ParseWholeTakesDigitsAloneUpToItsLimit) {
    unsigned long long n = 7;
    EXPECT_TRUE(ParseWhole("65535", 65535, n));
    EXPECT_EQ(n, 65535u);
    EXPECT_TRUE(ParseWhole("18446744073709551615", ~0ull, n));
    EXPECT_EQ(n, ~0ull);
    n = 7;
    // Above the limit, past what 64 bits hold, signed, spaced or empty: refused, n untouched.
    for (const char* text : {"65536", "18446744073709551616", "+1", "-1", " 1", "1 ", "", "0x1", "1.0"})
        EXPECT_FALSE(ParseWhole(text, 65535, n)) << text;
    EXPECT_EQ(n, 7u);
}
