#include "QuotePages.h"
#include "quote/fQuoteDef.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"

#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace quotetest;
using ui::Utf8ToBig5;

TEST(QuoteValue, MarksGiveTheSignAndOnlyDigitsAndPointsCount) {
    EXPECT_FLOAT_EQ(QuoteValue(Utf8ToBig5("▽1.50")), -1.5f);
    EXPECT_FLOAT_EQ(QuoteValue(Utf8ToBig5("▼0.20")), -0.2f);
    EXPECT_FLOAT_EQ(QuoteValue(Utf8ToBig5("△0.50")), 0.5f);
    EXPECT_FLOAT_EQ(QuoteValue(Utf8ToBig5("▲ 3")), 3.0f);
    EXPECT_FLOAT_EQ(QuoteValue("12,345"), 12345.0f);
    EXPECT_FLOAT_EQ(QuoteValue("1.2.3"), 0.0f);
    EXPECT_FLOAT_EQ(QuoteValue(""), 0.0f);
    EXPECT_FLOAT_EQ(QuoteValue("."), 0.0f);
    EXPECT_FLOAT_EQ(QuoteValue("-2"), 2.0f);  // only the marks make a number negative
    EXPECT_FLOAT_EQ(QuoteValue("<b>1,085</b>"), 1085.0f);
    // The same float as reading the digits, short or long.
    for (const char* digits : {"0.1", "96.3", "1085.5", "0.05", ".5", "5.", "99999.99", "123456789012345",
                               "1234567890.123456789", "00000000000000000001.5"})
        EXPECT_EQ(QuoteValue(digits), static_cast<float>(std::strtod(digits, nullptr))) << digits;
}

class MarketTime : public ::testing::Test {
protected:
    std::function<ui::TDateTime()> oldClock;
    void SetUp() override { IsWeekend = false; }
    void TearDown() override {
        ui::SetClock(oldClock);
        IsWeekend = false;
    }
    bool At(int h, int m, int s = 0) {
        ui::TDateTime t = ui::EncodeDateTime(2026, 12, 8, h, m, s);
        auto old = ui::SetClock([t] { return t; });
        if (!oldClock) oldClock = old;
        return IsMarketTime();
    }
};

TEST_F(MarketTime, OpensAt0856AndClosesAfter1335AtMinuteGrain) {
    EXPECT_FALSE(At(8, 55, 59));
    EXPECT_TRUE(At(8, 56));
    EXPECT_TRUE(At(12, 0));
    EXPECT_TRUE(At(13, 35, 59));
    EXPECT_FALSE(At(13, 36));
    EXPECT_FALSE(At(0, 0));
    EXPECT_FALSE(At(23, 59));
}

TEST_F(MarketTime, ClosedAllDayOnAWeekend) {
    IsWeekend = true;
    EXPECT_FALSE(At(8, 56));
    EXPECT_FALSE(At(10, 0));
}

TEST(QuoteServerAddress, URLsEscapeEverythingButLettersAndDigits) {
    std::string old = QuoteServer();
    SetQuoteServer("quotes.example:8080");
    EXPECT_EQ(QuoteURL("2330"), "http://quotes.example:8080/q/q?s=2330");
    EXPECT_EQ(QuoteURL("00632R"), "http://quotes.example:8080/q/q?s=00632R");
    EXPECT_EQ(QuoteURL("23 0\r\n"), "http://quotes.example:8080/q/q?s=23%200%0D%0A");
    EXPECT_EQ(QuoteURL("\xa5\x78"), "http://quotes.example:8080/q/q?s=%A5x");
    SetQuoteServer(old);
}

TEST(Scrape, CutsElevenFieldsAndTheReferencePrice) {
    PageQuote q;
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        float ref = -1;
        std::vector<std::string> f;
        ASSERT_TRUE(ScrapeQuotePage(QuotePage(q, eol), "2330", ref, f));
        ASSERT_EQ(f.size(), 11u);
        EXPECT_EQ(
            f, (std::vector<std::string>{Utf8ToBig5("台積電"), "10:31:05", "1,085", "1,080", "1,085",
                                         Utf8ToBig5("△15</font></td>"), "23,456", "1,070", "1,075", "1,090", "1,070"}));
        EXPECT_FLOAT_EQ(ref, 1070.0f);
    }
}

TEST(Scrape, TwoCharacterNamesArePaddedWithAFullWidthSpace) {
    PageQuote q;
    q.code = "1101";
    q.name = "台泥";
    float ref;
    std::vector<std::string> f;
    ASSERT_TRUE(ScrapeQuotePage(QuotePage(q), "1101", ref, f));
    EXPECT_EQ(f[qfName], Utf8ToBig5("台　泥"));
    q.name = "AB";  // 2 bytes: unchanged
    ASSERT_TRUE(ScrapeQuotePage(QuotePage(q), "1101", ref, f));
    EXPECT_EQ(f[qfName], "AB");
    q.name = "ABCD";  // 4 single bytes are padded the same way
    ASSERT_TRUE(ScrapeQuotePage(QuotePage(q), "1101", ref, f));
    EXPECT_EQ(f[qfName], "AB\xa1\x40"
                         "CD");
    q.name = "台積電";  // 6 bytes: unchanged
    ASSERT_TRUE(ScrapeQuotePage(QuotePage(q), "1101", ref, f));
    EXPECT_EQ(f[qfName], Utf8ToBig5("台積電"));
}

TEST(Scrape, ChangeMarksAreTriedInAFixedOrder) {
    auto change = [](const std::string& cell, float* ref = nullptr) {
        PageQuote q;
        std::vector<std::string> lines = QuoteRowLines(q);
        lines[5] = cell;
        std::string page;
        for (auto& l : lines) page += l + "\r\n";
        float r;
        std::vector<std::string> f;
        EXPECT_TRUE(ScrapeQuotePage(page, "2330", r, f));
        if (ref) *ref = r;
        return f.at(qfChange);
    };
    // Down, with the reference price above the last price.
    float ref;
    EXPECT_EQ(change(Cell + Utf8ToBig5("▽5</td>"), &ref), Utf8ToBig5("▽5</td>"));
    EXPECT_FLOAT_EQ(ref, 1090.0f);
    // "△" is tried before "▽", wherever the two stand.
    EXPECT_EQ(change(Cell + Utf8ToBig5("▽1 △2</td>")), Utf8ToBig5("△2</td>"));
    // "▽" before "▲" and "▲" before "▼".
    EXPECT_EQ(change(Cell + Utf8ToBig5("▲1 ▽2")), Utf8ToBig5("▽2"));
    EXPECT_EQ(change(Cell + Utf8ToBig5("▼1 ▲2")), Utf8ToBig5("▲2"));
    // A mark that opens the trimmed line, and no mark at all, give an empty field; the
    // reference price is then the last price.
    EXPECT_EQ(change(Utf8ToBig5("  △5</td>")), "");
    EXPECT_EQ(change(Cell + "0.00</td>", &ref), "");
    EXPECT_FLOAT_EQ(ref, 1085.0f);
}

TEST(Scrape, CellsEndAtTheFirstCloseTagOfTheLine) {
    PageQuote q;
    std::vector<std::string> lines = QuoteRowLines(q);
    lines[3] = "</span>" + Cell + "1,080</td>";  // first "</" before the marker
    lines[4] = Cell + "1,085";                   // no "</" at all
    lines[6] = "<td>23,456</td>";                // no marker
    std::string page;
    for (auto& l : lines) page += l + "\n";
    float ref;
    std::vector<std::string> f;
    ASSERT_TRUE(ScrapeQuotePage(page, "2330", ref, f));
    EXPECT_EQ(f[qfBid], "");
    EXPECT_EQ(f[qfAsk], "");
    EXPECT_EQ(f[qfVolume], "");
    EXPECT_EQ(f[qfLast], "1,085");
}

TEST(Scrape, PagesWithoutTheStockOrWithAShortTail) {
    PageQuote q;
    float ref = 1;
    std::vector<std::string> f{"x"};
    EXPECT_FALSE(ScrapeQuotePage("", "2330", ref, f));
    EXPECT_TRUE(f.empty());
    EXPECT_EQ(ref, 0.0f);
    EXPECT_FALSE(ScrapeQuotePage(QuotePage(q), "2317", ref, f));
    // The anchor is case-sensitive and needs the code twice.
    EXPECT_FALSE(ScrapeQuotePage("<A HREF=\"/q/bc?s=2330\">2330</a>", "2330", ref, f));
    // The code is trimmed; the anchor line near the end leaves the trailing fields empty.
    std::vector<std::string> lines = QuoteRowLines(q);
    std::string page = lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2];
    ASSERT_TRUE(ScrapeQuotePage(page, " 2330\t", ref, f));
    EXPECT_EQ(f[qfTradeTime], "10:31:05");
    EXPECT_EQ(f[qfLast], "1,085");
    for (int i = qfBid; i <= qfLow; ++i) EXPECT_EQ(f[i], "") << i;
    // A NUL byte ends the page.
    std::string cut = QuotePage(q);
    cut.insert(cut.find("<tr><th>"), 1, '\0');
    EXPECT_FALSE(ScrapeQuotePage(cut, "2330", ref, f));
}

TEST(Scrape, TheFirstAnchorLineWins) {
    PageQuote a, b;
    b.last = "999";
    std::string page = QuotePage(a) + QuotePage(b);
    float ref;
    std::vector<std::string> f;
    ASSERT_TRUE(ScrapeQuotePage(page, "2330", ref, f));
    EXPECT_EQ(f[qfLast], "1,085");
}

TEST(Scrape, ANulInsideTheRowEndsThePageThere) {
    PageQuote q;
    std::string page = QuotePage(q);
    page.insert(page.find(q.bid + "</td>"), 1, '\0');  // within the bid line
    float ref = 0;
    std::vector<std::string> f;
    ASSERT_TRUE(ScrapeQuotePage(page, "2330", ref, f));
    EXPECT_EQ(f[qfLast], "1,085");
    EXPECT_EQ(f[qfBid], "");  // its "</" lies past the end
    for (int i = qfAsk; i <= qfLow; ++i) EXPECT_EQ(f[i], "") << i;
    // A row that is the whole page, with no line end at all.
    std::vector<std::string> lines = QuoteRowLines(q);
    ASSERT_TRUE(ScrapeQuotePage(lines[0], "2330", ref, f));
    EXPECT_EQ(f[qfName], Utf8ToBig5("台積電"));
}

// Lines are split many bytes at a time: a line end or a NUL must be found at any offset.
TEST(Scrape, LineEndsAndANulAreFoundAtAnyOffset) {
    PageQuote q;
    float ref;
    std::vector<std::string> expected, f;
    ASSERT_TRUE(ScrapeQuotePage(QuotePage(q), "2330", ref, expected));
    for (int pad = 0; pad < 40; ++pad) {
        std::string page;
        for (const std::string& l : QuoteRowLines(q)) page += std::string(pad, ' ') + l + (pad % 2 ? "\r" : "\r\n");
        ASSERT_TRUE(ScrapeQuotePage(page, "2330", ref, f)) << pad;
        EXPECT_EQ(f, expected) << pad;
        // A NUL pad bytes into the bid line: the page ends there.
        page.insert(page.find(q.bid + "</td>") - static_cast<std::size_t>(pad), 1, '\0');
        ASSERT_TRUE(ScrapeQuotePage(page, "2330", ref, f)) << pad;
        EXPECT_EQ(f[qfLast], expected[qfLast]) << pad;
        for (int i = qfBid; i <= qfLow; ++i) EXPECT_EQ(f[i], "") << pad << " " << i;
    }
}

// The board takes the user's locale; quote figures must read the same under any of them.
TEST(QuoteValue, ReadsTheSameUnderACommaDecimalLocale) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "de_DE.utf8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/install-deps generates it)";
    const float value = QuoteValue("612.50");
    const float change = QuoteValue(Utf8ToBig5("▽1.50"));
    PageQuote q;
    q.last = "612.50";
    q.change = "▽1.50";
    float ref = 0;
    std::vector<std::string> f;
    const bool ok = ScrapeQuotePage(QuotePage(q), "2330", ref, f);
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_FLOAT_EQ(value, 612.5f);
    EXPECT_FLOAT_EQ(change, -1.5f);
    ASSERT_TRUE(ok);
    EXPECT_FLOAT_EQ(ref, 614.0f);
}
