#include "server/PriceRules.h"
#include "server/Universe.h"
#include "ui/core/Exception.h"

#include <gtest/gtest.h>

using namespace server;

TEST(PriceRules, TicksFollowTheBandsOnBothSidesOfEachEdge) {
    struct Case {
        Cents price;
        Cents up;
        Cents down;
    };
    // Stocks: the step down from a band's lower edge uses the band below.
    for (Case c : {Case{999, 1000, 998}, Case{1000, 1005, 999}, Case{4995, 5000, 4990}, Case{5000, 5010, 4995},
                   Case{10000, 10050, 9990}, Case{50000, 50100, 49950}, Case{100000, 100500, 99900},
                   Case{102500, 103000, 102000}}) {
        EXPECT_EQ(TickUp(c.price, false), c.up) << c.price;
        EXPECT_EQ(TickDown(c.price, false), c.down) << c.price;
    }
    // ETFs: 0.01 under 50, 0.05 from 50 up, whatever the price.
    EXPECT_EQ(TickUp(4999, true), 5000);
    EXPECT_EQ(TickDown(5000, true), 4999);
    EXPECT_EQ(TickUp(18050, true), 18055);
    EXPECT_TRUE(OnGrid(3783, true));
    EXPECT_FALSE(OnGrid(3783, false));
    EXPECT_FALSE(OnGrid(10020, false));
    EXPECT_FALSE(OnGrid(0, false));
}

TEST(PriceRules, LimitsAreTenPercentRoundedInwardToATick) {
    EXPECT_EQ(LimitUp(102500, false), 112500);   // 1127.5 -> 1125 (tick 5)
    EXPECT_EQ(LimitDown(102500, false), 92300);  // 922.5 -> 923 (tick 1)
    EXPECT_EQ(LimitUp(4835, false), 5310);       // 53.185 -> 53.1 (tick 0.1)
    EXPECT_EQ(LimitDown(4835, false), 4355);     // 43.515 -> 43.55 (tick 0.05)
    EXPECT_EQ(LimitUp(921, false), 1010);        // 10.131 -> 10.10
    EXPECT_EQ(LimitDown(5560, false), 5010);     // 50.04 -> 50.1 (tick 0.1)
    EXPECT_EQ(LimitUp(18050, true), 19855);      // 198.55 exactly
    EXPECT_EQ(LimitDown(3785, true), 3407);      // 34.065 -> 34.07
    for (Cents prev = 500; prev < 300000; prev += 7) {
        Cents p = GridFloor(prev, false);
        Cents up = LimitUp(p, false), down = LimitDown(p, false);
        ASSERT_TRUE(OnGrid(up, false) && OnGrid(down, false)) << p;
        ASSERT_TRUE(up * 10 <= p * 11 && TickUp(up, false) * 10 > p * 11) << p;
        ASSERT_TRUE(down * 10 >= p * 9 && TickDown(down, false) * 10 < p * 9) << p;
    }
}

TEST(PriceRules, FormatsWithTheDecimalsOfTheTick) {
    EXPECT_EQ(FormatPrice(102500, false), "1025");
    EXPECT_EQ(FormatPrice(99900, false), "999");
    EXPECT_EQ(FormatPrice(3350, false), "33.50");
    EXPECT_EQ(FormatPrice(5550, false), "55.5");
    EXPECT_EQ(FormatPrice(5000, false), "50.0");
    EXPECT_EQ(FormatPrice(1515, false), "15.15");
    EXPECT_EQ(FormatPrice(985, false), "9.85");
    EXPECT_EQ(FormatPrice(18050, true), "180.50");
    EXPECT_EQ(FormatChange(100500, 99900, false), "6");
    EXPECT_EQ(FormatChange(5010, 4995, false), "0.15");
    EXPECT_EQ(FormatChange(3350, 3350, false), "0.00");
    EXPECT_EQ(FormatLots(0), "0");
    EXPECT_EQ(FormatLots(999), "999");
    EXPECT_EQ(FormatLots(1000), "1,000");
    EXPECT_EQ(FormatLots(12345678), "12,345,678");
    // A live feed's price off its band's grid is shown whole, never rounded to the band.
    EXPECT_EQ(FormatPrice(100150, false), "1001.5");
    EXPECT_EQ(FormatPrice(100100, false), "1001");
    EXPECT_EQ(FormatPrice(50510, false), "505.1");
    EXPECT_EQ(FormatPrice(5551, false), "55.51");
    EXPECT_EQ(FormatChange(100150, 100000, false), "1.5");
}

TEST(PriceRules, ParsesPlainPricesOnly) {
    EXPECT_EQ(ParsePrice("1025"), 102500);
    EXPECT_EQ(ParsePrice("33.5"), 3350);
    EXPECT_EQ(ParsePrice("9.85"), 985);
    for (const char* bad : {"", "-1", "1.", ".5", "1.234", "1,025", "12a", " 12", "1e3"})
        EXPECT_EQ(ParsePrice(bad), -1) << bad;
}

TEST(Universe, ParsesTabSeparatedLinesAndNamesTheBadLine) {
    auto stocks = ParseUniverse("# note\r\n2330\t\xA5\x78\xBF\x6E\xB9\x71\t1025\r\n\r\n0050\tETF\t180.5\n", "u");
    ASSERT_EQ(stocks.size(), 2u);
    EXPECT_EQ(stocks[0].code, "2330");
    EXPECT_EQ(stocks[0].name, "\xA5\x78\xBF\x6E\xB9\x71");
    EXPECT_EQ(stocks[0].prevClose, 102500);
    EXPECT_FALSE(stocks[0].etf);
    EXPECT_TRUE(stocks[1].etf);

    for (const char* bad :
         {"2330 name 1025\n", "2330\tname\n", "2330\tname\t1025\textra\n", "2330\tname\t1026\n", "2330\tna<me\t1025\n",
          "\tname\t10\n", "2330\tname\t10\n2330\tother\t10\n", "# only notes\n"}) {
        try {
            ParseUniverse(bad, "u");
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("u:", 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(LoadUniverse("/nonexistent/MARKET.TXT"), EFileError);
}
