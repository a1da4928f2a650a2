// The board's rendering as a user sees it: sizing to the window, header and clock, the cells
// written by the update listener and by a layout switch, every colour rule, alignment, the
// header row that cannot be selected, and HTML tags in change cells.
#include "BoardSupport.h"

#include <QDir>
#include <QLocale>
#include <cmath>

using namespace boardtest;

namespace {

const QColor Black(0, 0, 0), Navy(0, 0, 128), Maroon(128, 0, 0), Gray(128, 128, 128), Silver(192, 192, 192),
    White(255, 255, 255), Red(255, 0, 0), Lime(0, 255, 0), Yellow(255, 255, 0), Aqua(0, 255, 255),
    SkyBlue(166, 202, 240);

}  // namespace

TEST_F(BoardFixture, SizingFollowsTheWindow) {
    struct Case {
        int w, h, row, col, font;
    } cases[] = {
        {1024, 768, 68, 169, 45},  // the example
        {1920, 1080, 97, 319, 85},
        {600, 768, 68, 99, 26},    // narrow: the font follows the column width
        {1024, 300, 26, 169, 26},  // low: the font follows the row height
    };
    AddStock("2330", "台積電", "1055", "1055", "1060", "△30</font></td>", "9,588", "", "", "", 1025.0f);
    AddStock("0050", "元大台灣50", "180.20", "180.20", "180.25", "▽0.30</font></td>", "7,771", "", "", "", 180.5f);
    const std::string artefacts = testsupport::BinaryDir() + "/artefacts";
    QDir().mkpath(QString::fromStdString(artefacts));
    for (const Case& c : cases) {
        board->resize(c.w, c.h);
        QApplication::processEvents();
        Shot().save(
            QString::fromStdString(artefacts + "/board-" + std::to_string(c.w) + "x" + std::to_string(c.h) + ".png"));
        ASSERT_EQ(G().ClientWidth(), c.w);
        EXPECT_EQ(G().DefaultRowHeight(), c.row) << c.w << "x" << c.h;
        EXPECT_EQ(G().DefaultColWidth(), c.col) << c.w << "x" << c.h;
        EXPECT_EQ(G().Font().Height, c.font) << c.w << "x" << c.h;
        // Every cell fits: the last one ends inside the client area.
        QRect last = G().CellRect(5, 10);
        EXPECT_LE(last.right() + 1, c.w);
        EXPECT_LE(last.bottom() + 1, c.h);
        // The header and the clock are written again.
        EXPECT_EQ(Cell(0, 0), "10:30");
        EXPECT_EQ(Cell(1, 0), "買進價");
    }
}

TEST_F(BoardFixture, LayoutsCycleWithTheirHeadersAndFields) {
    const char* headers[3][5] = {{"買進價", "賣出價", "成交價", "漲跌", "成交量"},
                                 {"成交價", "漲跌", "開盤價", "最高價", "最低價"},
                                 {"成交價", "漲跌", "成交量", "最高價", "最低價"}};
    const TFieldSet fields[3] = {0b1111101, 0b11100100101, 0b11001100101};
    for (int step = 0; step < 4; ++step) {
        int layout = step % 3;
        EXPECT_EQ(board->LayoutIndex, layout);
        EXPECT_EQ(board->LayoutFields, fields[layout]) << layout;
        EXPECT_EQ(Cell(0, 0), "10:30");
        for (int c = 1; c <= 5; ++c) EXPECT_EQ(Cell(c, 0), headers[layout][c - 1]) << layout << "," << c;
        board->NextLayout();
    }
}

TEST_F(BoardFixture, UpdateWritesOnlyChangedFieldsTheLayoutShows) {
    TStockObj* s = AddStock("2330", " 台積電 ", " 35.50", "35.45", "", "▽0.50</font></td>", "12,345");
    EXPECT_EQ(Cell(0, 1), "台積電");  // the name trimmed
    EXPECT_EQ(Cell(1, 1), "35.45 ");  // figures with a space after
    EXPECT_EQ(Cell(2, 1), " ");       // an empty figure is one space
    EXPECT_EQ(Cell(3, 1), "35.50 ");
    EXPECT_EQ(Cell(4, 1), " ▽0.50</font></td>");  // the change with a space before
    EXPECT_EQ(Cell(5, 1), "12,345 ");

    // Only the fields in Changed are written, and Changed is left as it is.
    s->Data().Fields[qfBid] = "1";
    s->Data().Fields[qfLast] = "2";
    s->Data().Fields[qfOpen] = "3";  // not shown by layout 0
    s->Data().Changed = FieldBit(qfLast) | FieldBit(qfOpen);
    board->DO_OnUpdate(nullptr, 0, s);
    EXPECT_EQ(Cell(1, 1), "35.45 ");
    EXPECT_EQ(Cell(3, 1), "2 ");
    EXPECT_EQ(s->Data().Changed, FieldBit(qfLast) | FieldBit(qfOpen));
    EXPECT_EQ(G().RowCommaText(2), ",,,,,");

    // A position without a row, an empty Changed or no stock writes nothing.
    s->Data().Fields[qfName] = "";
    s->Data().Changed = 0x7ff;
    board->DO_OnUpdate(nullptr, 10, s);
    board->DO_OnUpdate(nullptr, -1, s);
    board->DO_OnUpdate(nullptr, 1, nullptr);
    s->Data().Changed = 0;
    board->DO_OnUpdate(nullptr, 1, s);
    for (int r = 2; r <= 10; ++r) EXPECT_EQ(G().RowCommaText(r), ",,,,,") << r;
    // A name that became empty leaves the name cell empty.
    s->Data().Changed = FieldBit(qfName);
    board->DO_OnUpdate(nullptr, 0, s);
    EXPECT_EQ(Cell(0, 1), "");
}

TEST_F(BoardFixture, LayoutSwitchRefillsTheStocksRowsAndRewritesTheClock) {
    AddStock("2330", "台積電", "35.50", "35.45", "35.55", "△0.50", "100", "35.00", "36.00", "34.50");
    AddStock("2317", "鴻海", "100.0", "99.5", "100.5", "▼1.0", "200", "101.0", "102.0", "99.0");
    AddStock("2454", "聯發科", "500", "499", "501", "", "300", "490", "505", "488");
    SetTime(TradingTime(11, 5));
    board->NextLayout();  // layout 1: name, last, change, open, high, low
    EXPECT_EQ(Cell(0, 0), "11:05");
    EXPECT_EQ(Cell(3, 0), "開盤價");
    EXPECT_EQ(G().RowCommaText(1), B5("台積電,35.50 , △0.50,35.00 ,36.00 ,34.50 "));
    EXPECT_EQ(Cell(2, 2), " ▼1.0");
    EXPECT_EQ(Cell(5, 3), "488 ");
    for (int r = 4; r <= 10; ++r) EXPECT_EQ(G().RowCommaText(r), ",,,,,") << r;
    // Each stock is left marked with the fields of the layout.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(board->StockList->Stocks(i)->Data().Changed, board->LayoutFields);
}

// A new size redoes the sizes, header and clock, and writes the stocks' rows again from their
// stored fields: outside market hours nothing would otherwise bring them back.
TEST_F(BoardFixture, ResizeRefillsTheRowsWithoutMarkingTheStocks) {
    AddStock("2330", "台積電", "35.50", "35.45", "35.55", "△0.50", "100");
    AddStock("2317", "鴻海", "100.0", "99.5", "100.5", "▼1.0", "200");
    const std::string row1 = G().RowCommaText(1), row2 = G().RowCommaText(2);
    SetTime(TradingTime(14, 0));
    board->resize(800, 600);
    QApplication::processEvents();
    EXPECT_EQ(G().DefaultRowHeight(), 600 / 11 - 1);
    EXPECT_EQ(Cell(0, 0), "14:00");
    EXPECT_EQ(G().RowCommaText(1), row1);
    EXPECT_EQ(G().RowCommaText(2), row2);
    EXPECT_EQ(G().RowCommaText(3), ",,,,,");
    EXPECT_EQ(board->StockList->Stocks(0)->Data().Changed, 0);
}

TEST_F(BoardFixture, HeaderAndNameColoursAndFaces) {
    const QString kai = QString::fromUtf8("標楷體"), arial = "ARIAL";
    const QColor layout0[6] = {QColor(), Gray, Gray, White, White, White};
    const QColor layout1[6] = {QColor(), White, White, Gray, Red, Aqua};
    for (int c = 1; c <= 5; ++c) {
        EXPECT_EQ(CellLook(c, 0).text, layout0[c]) << c;
        EXPECT_EQ(CellLook(c, 0).font.Name, kai);
        EXPECT_EQ(CellLook(c, 0).background, Black);
    }
    board->NextLayout();
    for (int c = 1; c <= 5; ++c) EXPECT_EQ(CellLook(c, 0).text, layout1[c]) << c;
    // Names striped by row, stock or not; figures in Arial.
    for (int r = 1; r <= 10; ++r) {
        EXPECT_EQ(CellLook(0, r).text, r % 2 ? Yellow : Lime) << r;
        EXPECT_EQ(CellLook(0, r).font.Name, kai);
        EXPECT_EQ(CellLook(1, r).font.Name, arial);
    }
    EXPECT_EQ(CellLook(0, 0).font.Name, arial);
}

TEST_F(BoardFixture, ClockCellByMarketHoursRefreshingAndFetching) {
    struct Case {
        ui::TDateTime time;
        bool weekend, refreshing, fetching;
        QColor text, background;
    } cases[] = {
        {TradingTime(8, 55), false, false, false, Gray, Black},
        {TradingTime(8, 56), false, false, false, SkyBlue, Black},
        {TradingTime(13, 35), false, true, false, SkyBlue, Navy},
        {TradingTime(13, 36), false, true, true, Gray, Maroon},
        {TradingTime(10, 0), true, false, true, Gray, Black},  // Fetching alone colours nothing
    };
    for (const Case& c : cases) {
        SetTime(c.time);
        IsWeekend = c.weekend;
        Refreshing = c.refreshing;
        Fetching = c.fetching;
        G().SetCells(0, 0, TfrmWatchMain::ClockText());
        Look look = CellLook(0, 0);
        EXPECT_EQ(look.text, c.text) << ui::FormatHHNN(c.time);
        EXPECT_EQ(look.background, c.background) << ui::FormatHHNN(c.time);
        EXPECT_TRUE(look.font.Bold);
        EXPECT_EQ(look.font.Height, 52);  // 45 enlarged by the square root of 40/29
        // What the user sees: the background around the clock and its text colour.
        QImage img = Shot();
        QRect cell = G().CellRect(0, 0);
        EXPECT_EQ(img.pixelColor(cell.topLeft() + QPoint(2, 2)), c.background);
        EXPECT_GT(CountColor(img, cell, c.text), 30);
    }
}

// A stale row (no page for too long inside the trading window) shows its figures grey and keeps
// its name's stripe; the clock's once-a-second check and the next page bring the colours back.
TEST_F(BoardFixture, AStaleRowIsDrawnGreyUntilItsNextPage) {
    TStockObj* stale = AddStock("2330", "台積電", "35.50", "35.00", "34.95", "△0.50", "100", "", "", "", 35.0f);
    TStockObj* fresh = AddStock("2317", "鴻海", "100.0", "99.5", "100.5", "▼1.0", "200", "", "", "", 101.0f);
    auto figures = [&](int row) {
        QRect r = G().CellRect(1, row);
        return r.united(G().CellRect(5, row)).adjusted(2, 2, -2, -2);
    };
    auto coloured = [&](const QImage& img, int row) {
        int n = 0;
        for (QColor c : {Red, Lime, Aqua, Yellow}) n += CountColor(img, figures(row), c);
        return n;
    };
    SetTime(TradingTime(10, 31) + 2 * ui::OneSecond);  // 62 s after both were created
    fresh->LastSuccessTime = ui::Now();
    board->tmrMainTimer(nullptr);
    QImage img = Shot();
    for (int c = 1; c <= 5; ++c) EXPECT_EQ(CellLook(c, 1).text, Gray) << c;
    EXPECT_EQ(CellLook(0, 1).text, Yellow);
    EXPECT_EQ(coloured(img, 1), 0);
    EXPECT_GT(CountColor(img, figures(1), Gray), 200);
    EXPECT_GT(coloured(img, 2), 200);  // the fresh row as usual
    EXPECT_EQ(CellLook(5, 2).text, Yellow);

    // A page that changes something is drawn in colour at once.
    stale->LastSuccessTime = ui::Now();
    stale->Data().Fields[qfLast] = "36.00";
    stale->Data().Changed = FieldBit(qfLast);
    board->DO_OnUpdate(board->StockList.get(), 0, stale);
    EXPECT_EQ(CellLook(3, 1).text, Red);
    EXPECT_EQ(CellLook(5, 1).text, Yellow);  // the figures it did not write too
    EXPECT_GT(coloured(Shot(), 1), 200);

    // Outside the trading window nothing is stale: the check colours the row again.
    SetTime(TradingTime(10, 40));
    board->tmrMainTimer(nullptr);
    EXPECT_EQ(CellLook(5, 2).text, Gray);
    SetTime(TradingTime(13, 36));
    board->tmrMainTimer(nullptr);
    EXPECT_GT(coloured(Shot(), 2), 200);
    EXPECT_EQ(CellLook(5, 2).text, Yellow);
}

TEST_F(BoardFixture, ChangeVolumeAndPriceColours) {
    // Row 1: prices around a reference of 35.0; row 2: no reference price yet.
    AddStock("2330", "台積電", "35.50", "35.00", "34.95", "△0.50", "100", "", "", "", 35.0f);
    AddStock("2317", "鴻海", "100.0", "99.5", "100.5", "▼1.0", "200");
    EXPECT_EQ(CellLook(3, 1).text, Red);     // last above the reference
    EXPECT_EQ(CellLook(1, 1).text, Lime);    // bid equal
    EXPECT_EQ(CellLook(2, 1).text, Aqua);    // ask below
    EXPECT_EQ(CellLook(5, 1).text, Yellow);  // volume
    EXPECT_EQ(CellLook(3, 2).text, Silver);  // no reference price
    EXPECT_EQ(CellLook(3, 5).text, Silver);  // no stock
    // Change marks, tried in their order.
    struct Mark {
        const char* text;
        QColor colour;
    } marks[] = {{" △0.50", Red}, {" ▽0.50", Aqua}, {" ▲1", Red},    {" ▼1", Aqua},
                 {" 0.00", Lime}, {" ", Lime},      {" ▽1 △2", Red}, {" ▼1 ▲2", Red}};
    for (const Mark& m : marks) {
        G().SetCells(4, 1, B5(m.text));
        EXPECT_EQ(CellLook(4, 1).text, m.colour) << m.text;
    }
    // A dash reads 0, below any positive reference; a malformed figure keeps silver.
    G().SetCells(3, 1, "- ");
    EXPECT_EQ(CellLook(3, 1).text, Aqua);
    G().SetCells(3, 1, "1.2.3 ");
    EXPECT_EQ(CellLook(3, 1).text, Silver);
    // Compared as 32-bit floats: 35.1 and the float nearest it are equal.
    board->StockList->Stocks(0)->Data().RefPrice = 35.1f;
    G().SetCells(3, 1, "35.10 ");
    EXPECT_EQ(CellLook(3, 1).text, Lime);
    // Layout 1 shows open, high and low: prices again.
    board->NextLayout();
    board->StockList->Stocks(0)->Data().Fields[qfHigh] = "36";
    board->StockList->Stocks(0)->Data().Changed = FieldBit(qfHigh);
    board->DO_OnUpdate(nullptr, 0, board->StockList->Stocks(0));
    EXPECT_EQ(CellLook(4, 1).text, Red);
}

// Quote pages write "." for decimals whatever the user's locale: under a decimal comma the
// price 35.50 still reads 35.5 and is below a reference of 36.
TEST_F(BoardFixture, PricesReadTheSameUnderADecimalCommaLocale) {
    QLocale old;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    AddStock("2330", "台積電", "35.50", "1,036.00", "", "▽0.50", "100", "", "", "", 36.0f);
    EXPECT_EQ(CellLook(3, 1).text, Aqua);
    EXPECT_EQ(CellLook(1, 1).text, Red);
    QLocale::setDefault(old);
}

TEST_F(BoardFixture, AlignmentByLayoutField) {
    auto align = [&](int col, int row) {
        grid::THAlign h = grid::THAlign::Left;
        grid::TVAlign v = grid::TVAlign::Top;
        board->G_GetAlignment(board->G_, row, col, h, v);
        EXPECT_EQ(v, grid::TVAlign::Center);
        return h;
    };
    using grid::THAlign;
    const THAlign layout0[6] = {THAlign::Center, THAlign::Right, THAlign::Right,
                                THAlign::Right,  THAlign::Left,  THAlign::Right};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(align(c, 0), THAlign::Center) << c;
        EXPECT_EQ(align(c, 4), layout0[c]) << c;
    }
    board->NextLayout();
    EXPECT_EQ(align(2, 3), THAlign::Left);  // the change moved to column 2
    EXPECT_EQ(align(4, 3), THAlign::Right);
}

TEST_F(BoardFixture, HeaderRowIsRefusedByKeyMouseAndProgram) {
    EXPECT_EQ(G().Row(), 1);
    EXPECT_FALSE(G().SetRow(0));
    EXPECT_EQ(G().Row(), 1);
    G().setFocus();
    QTest::keyClick(&G(), Qt::Key_Up);
    EXPECT_EQ(G().Row(), 1);
    QTest::mouseClick(&G(), Qt::LeftButton, {}, G().CellRect(3, 0).center());
    EXPECT_EQ(G().Row(), 1);
    QTest::mouseClick(&G(), Qt::LeftButton, {}, G().CellRect(3, 7).center());
    EXPECT_EQ(G().Row(), 7);  // an empty stock row can be selected
    for (int i = 0; i < 5; ++i) QTest::keyClick(&G(), Qt::Key_Down);
    EXPECT_EQ(G().Row(), 10);
    // The selected row is navy, its texts keep their colours.
    AddStock("2330", "台積電", "35.50", "35.45", "35.55", "△0.50", "100");
    G().SetRow(1);
    QImage img = Shot();
    QRect name = G().CellRect(0, 1);
    EXPECT_EQ(img.pixelColor(name.topLeft() + QPoint(2, 2)), Navy);
    EXPECT_GT(CountColor(img, name, Yellow), 50);
    EXPECT_EQ(img.pixelColor(G().CellRect(0, 2).topLeft() + QPoint(2, 2)), Black);
}

TEST_F(BoardFixture, ChangeCellsShowTheFigureAndMarkOnly) {
    AddStock("2330", "台積電", "35.50", "35.45", "35.55", "△0.50</font></td>", "100");
    AddStock("2317", "鴻海", "35.50", "35.45", "35.55", "△0.50", "100");
    AddStock("2454", "聯發科", "35.50", "35.45", "35.55", "△0.50</font></td>", "100");
    QImage img = Shot();
    // Rows 2 and 3 are not selected: the same red figure, with and without the page's tags.
    EXPECT_EQ(img.copy(G().CellRect(4, 2)), img.copy(G().CellRect(4, 3)));
    EXPECT_GT(CountColor(img, G().CellRect(4, 3), Red), 50);
    // Left-aligned one space off the grid line. Where the mark's ink begins depends on the font
    // that draws it (one with the mark, whichever the machine has), so the cell is measured
    // against the same mark without the space, in a short and a long text.
    G().SetCells(4, 5, B5("△0.50"));
    G().SetCells(4, 6, B5("△0.5"));
    img = Shot();
    auto inkFrom = [&](int row) {
        QRect cell = G().CellRect(4, row);
        int first = cell.right();
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            for (int x = cell.left(); x <= cell.right(); ++x)
                if (img.pixelColor(x, y) == Red) first = std::min(first, x);
        return first - cell.left();
    };
    EXPECT_EQ(inkFrom(5), inkFrom(6));      // left-aligned: the length does not move the start
    EXPECT_GT(inkFrom(3) - inkFrom(5), 5);  // one space of the figures' face
    EXPECT_LT(inkFrom(3) - inkFrom(5), 20);
}
