// The string grid as its owners use it: cell storage, what a user sees of a cell (colours,
// HTML tags), repainting only what changed, the row-change veto by key, mouse and program,
// point-to-cell mapping, and the number reading rule.
#include "grid/RichStringGrid.h"
#include "ui/core/Application.h"
#include "ui/core/Big5.h"

#include <QApplication>
#include <QImage>
#include <QLocale>
#include <QTest>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>

using grid::ReadCellNumber;
using grid::TGridFont;
using grid::TNumberFormat;
using grid::TRichStringGrid;

namespace {

std::string B5(const char* utf8) { return ui::Utf8ToBig5(utf8); }

// Pixels of the colour inside the rectangle.
int CountColor(const QImage& image, const QRect& rect, QColor color) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (image.pixelColor(x, y).rgb() == color.rgb()) ++n;
    return n;
}

// A 4 x 3 grid of 100 x 40 cells, shown offscreen: black background, silver text.
struct GridFixture : ::testing::Test {
    TRichStringGrid g;
    void SetUp() override {
        g.SetColCount(4);
        g.SetRowCount(3);
        g.SetDefaultColWidth(100);
        g.SetDefaultRowHeight(40);
        g.SetGridLineWidth(1);
        g.SetGridLineColor(QColor(15, 15, 15));
        g.SetColor(Qt::black);
        TGridFont font;
        font.Name = "ARIAL";
        font.Height = 30;
        font.Color = QColor(192, 192, 192);
        g.SetFont(font);
        g.SetSelectionColor(QColor(0, 0, 128));
        g.SetSelectionTextColor(QColor());
        g.SetRowSelect(true);
        g.resize(420, 130);
        g.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&g));
    }
    QImage Shot() { return g.grab().toImage().convertToFormat(QImage::Format_RGB32); }
    QRect Inner(int col, int row) { return g.CellRect(col, row); }
};

}  // namespace

TEST(GridNumbers, ReadsByTheRuleAndItsExamples) {
    const TNumberFormat dot{'.', ','};
    struct Case {
        const char* text;
        std::optional<double> value;
    } cases[] = {
        {"35.50 ", 35.5}, {"1,234.5 ", 1234.5}, {" ", 0.0},      {"", 0.0},           {"- ", 0.0},
        {"-", 0.0},       {"abc-5", -5.0},      {"(12)", -12.0}, {"x 1.5e2y", 150.0}, {"1.2.3 ", std::nullopt},
        {"+3 ", 3.0},     {"7", 7.0},           {"-7", -7.0},    {"ab", 0.0},         {"12,345 ", 12345.0},
    };
    for (const Case& c : cases) {
        std::optional<double> v = ReadCellNumber(c.text, dot);
        ASSERT_EQ(v.has_value(), c.value.has_value()) << '"' << c.text << '"';
        if (v) {
            EXPECT_DOUBLE_EQ(*v, *c.value) << '"' << c.text << '"';
        }
    }
    // Decimal comma: the separators swap roles.
    const TNumberFormat comma{',', '.'};
    EXPECT_DOUBLE_EQ(*ReadCellNumber("35,50 ", comma), 35.5);
    EXPECT_DOUBLE_EQ(*ReadCellNumber("1.234,5 ", comma), 1234.5);
    EXPECT_DOUBLE_EQ(*ReadCellNumber("35.50 ", comma), 3550.0);  // why quote cells are read by "."
}

TEST(GridNumbers, CellNumberFollowsTheLocaleUnlessGivenSeparators) {
    TRichStringGrid g;
    g.SetCells(0, 0, "35.50 ");
    QLocale old;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_DOUBLE_EQ(*g.CellNumber(0, 0), 3550.0);
    EXPECT_DOUBLE_EQ(*g.CellNumber(0, 0, TNumberFormat{'.', ','}), 35.5);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_DOUBLE_EQ(*g.CellNumber(0, 0), 35.5);
    QLocale::setDefault(old);
}

TEST(GridHtml, TagsFormatAndNeverShow) {
    EXPECT_TRUE(grid::IsHtmlText("1.5</font>"));
    EXPECT_TRUE(grid::IsHtmlText("<B>x"));
    EXPECT_TRUE(grid::IsHtmlText("<I>x"));
    EXPECT_FALSE(grid::IsHtmlText("<b>x"));  // opening tags in lower case alone are plain text
    EXPECT_FALSE(grid::IsHtmlText("a < b"));

    auto runs = grid::ParseHtmlRuns(" <B>up</B> &amp; <font color=\"#ff0000\"><I>x</I></font>&#33;</td>");
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(runs[0].Text, " ");
    EXPECT_EQ(runs[1].Text, "up");
    EXPECT_TRUE(runs[1].Bold);
    EXPECT_EQ(runs[2].Text, " & ");
    EXPECT_FALSE(runs[2].Bold);
    EXPECT_EQ(runs[3].Text, "x");
    EXPECT_TRUE(runs[3].Italic);
    EXPECT_EQ(runs[3].Color, QColor(255, 0, 0));
    EXPECT_EQ(runs[4].Text, "!");
    EXPECT_FALSE(runs[4].Color.isValid());
    // An unfinished tag hides the rest; stray closing tags change nothing.
    runs = grid::ParseHtmlRuns("a</b>c<font");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].Text, "ac");
}

TEST_F(GridFixture, CellsRowFillAndClear) {
    g.SetRowCommaText(1, "a,,b,c,d,e");
    EXPECT_EQ(g.Cells(0, 1), "a");
    EXPECT_EQ(g.Cells(1, 1), " ");  // an empty item is one space
    EXPECT_EQ(g.Cells(2, 1), "b");
    EXPECT_EQ(g.Cells(3, 1), "c");  // d and e had no column
    g.SetRowCommaText(1, "x");      // the row is emptied first
    EXPECT_EQ(g.RowCommaText(1), "x,,,");
    g.SetRowCommaText(0, ",h1");
    EXPECT_EQ(g.Cells(0, 0), " ");
    EXPECT_EQ(g.Cells(1, 0), "h1");
    EXPECT_EQ(g.Cells(9, 9), "");
    g.SetCells(9, 9, "ignored");
    g.ClearCells();
    for (int r = 0; r < 3; ++r) EXPECT_EQ(g.RowCommaText(r), ",,,");
    // Texts keep their place when the column count changes.
    g.SetCells(1, 2, "kept");
    g.SetColCount(6);
    EXPECT_EQ(g.Cells(1, 2), "kept");
    g.SetColCount(2);
    EXPECT_EQ(g.Cells(1, 2), "kept");
}

TEST_F(GridFixture, CellColoursSelectionAndGridLines) {
    g.OnGetCellColor = [](QObject*, int row, int col, grid::TGridDrawState, QBrush& brush, TGridFont& font) {
        if (col == 1) font.Color = Qt::yellow;
        if (col == 2) brush = QBrush(Qt::darkGreen);
        if (row == 2 && col == 3) font.Height = 60;  // a font larger than the cell is clipped to it
    };
    for (int r = 0; r < 3; ++r) g.SetRowCommaText(r, "WW,WW,WW,WWWWWWWW");
    g.SetRow(1);
    QImage img = Shot();
    // Row 0: the grid's own silver on black, the handler's yellow, the handler's green ground.
    EXPECT_GT(CountColor(img, Inner(0, 0), QColor(192, 192, 192)), 20);
    EXPECT_GT(CountColor(img, Inner(1, 0), Qt::yellow), 20);
    EXPECT_EQ(CountColor(img, Inner(1, 0), QColor(192, 192, 192)), 0);  // a fresh font per cell
    EXPECT_EQ(img.pixelColor(Inner(2, 0).topLeft() + QPoint(1, 1)), QColor(Qt::darkGreen));
    // Row 1 selected: navy ground over the handler's, the cells' own text colours.
    for (int c = 0; c < 4; ++c) EXPECT_EQ(img.pixelColor(Inner(c, 1).topLeft() + QPoint(1, 1)), QColor(0, 0, 128));
    EXPECT_GT(CountColor(img, Inner(1, 1), Qt::yellow), 20);
    EXPECT_GT(CountColor(img, Inner(0, 1), QColor(192, 192, 192)), 20);
    // A selection text colour replaces them.
    g.SetSelectionTextColor(Qt::white);
    img = Shot();
    EXPECT_EQ(CountColor(img, Inner(1, 1), Qt::yellow), 0);
    EXPECT_GT(CountColor(img, Inner(1, 1), Qt::white), 20);
    // Grid lines right of and below each cell; a text larger than its cell stays inside it.
    QRect c00 = Inner(0, 0);
    EXPECT_EQ(img.pixelColor(c00.right() + 1, c00.top() + 5), QColor(15, 15, 15));
    EXPECT_EQ(img.pixelColor(c00.left() + 5, c00.bottom() + 1), QColor(15, 15, 15));
    QRect big = Inner(3, 2);
    EXPECT_EQ(img.pixelColor(big.right() + 1, big.top() + 5), QColor(15, 15, 15));
    EXPECT_EQ(img.pixelColor(410, 10), QColor(Qt::black));  // right of the last column: the grid's colour
}

TEST_F(GridFixture, HtmlCellsLookLikeTheirTextWithoutTags) {
    g.SetRowSelect(false);
    g.SetRow(2);
    g.SetCells(0, 0, B5(" △0.50"));
    g.SetCells(1, 0, B5(" △0.50</font></td>"));
    g.SetCells(0, 1, B5("<B>9</B>"));
    g.SetCells(1, 1, "9");
    QImage img = Shot();
    QImage plain = img.copy(Inner(0, 0)), html = img.copy(Inner(1, 0));
    EXPECT_GT(CountColor(img, Inner(0, 0), QColor(192, 192, 192)), 20);
    EXPECT_EQ(plain, html);
    // Bold ink is heavier than the plain one.
    EXPECT_GT(CountColor(img, Inner(0, 1), QColor(192, 192, 192)), CountColor(img, Inner(1, 1), QColor(192, 192, 192)));
}

TEST_F(GridFixture, AlignmentPlacesTheText) {
    g.OnGetAlignment = [](QObject*, int row, int, grid::THAlign& h, grid::TVAlign& v) {
        h = row == 0 ? grid::THAlign::Left : row == 1 ? grid::THAlign::Right : grid::THAlign::Center;
        v = grid::TVAlign::Center;
    };
    for (int r = 0; r < 3; ++r) g.SetCells(0, r, "I");
    QImage img = Shot();
    auto inkX = [&](int row) {
        QRect r = Inner(0, row);
        int lo = 1000, hi = -1;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (qGray(img.pixel(x, y)) > 60) lo = std::min(lo, x), hi = std::max(hi, x);
        return std::pair(lo - r.left(), r.right() - hi);
    };
    EXPECT_LT(inkX(0).first, 10);
    EXPECT_LT(inkX(1).second, 10);
    EXPECT_NEAR(inkX(2).first, inkX(2).second, 3);
}

// Writing a cell repaints that cell alone, and repaints it even when its text is unchanged.
TEST_F(GridFixture, RepaintsOnlyWrittenCellsEvenWhenUnchanged) {
    std::map<std::pair<int, int>, int> painted;
    g.OnGetCellColor = [&](QObject*, int row, int col, grid::TGridDrawState, QBrush&, TGridFont&) {
        ++painted[{col, row}];
    };
    g.SetCells(2, 1, "x");
    QApplication::processEvents();
    painted.clear();
    g.SetCells(2, 1, "x");
    QTest::qWait(20);
    EXPECT_EQ(painted.size(), 1u);
    EXPECT_EQ((painted[{2, 1}]), 1);
}

// A colour handler that fails in one cell: that cell gets the defaults, every other cell is still
// drawn, and the error reaches the application's handler once per paint.
TEST_F(GridFixture, AFailingColourHandlerSpoilsOneCellOnly) {
    std::vector<std::string> errors;
    auto old = ui::SetExceptionHandler([&](const std::string& m) { errors.push_back(m); });
    g.OnGetCellColor = [](QObject*, int row, int col, grid::TGridDrawState, QBrush& brush, TGridFont&) {
        brush = QBrush(Qt::darkGreen);
        if (row == 1 && col == 0) throw std::runtime_error("colour failed");
    };
    QImage img = Shot();
    ui::SetExceptionHandler(old);
    EXPECT_EQ(errors, std::vector<std::string>{"colour failed"});
    EXPECT_EQ(img.pixelColor(Inner(0, 1).topLeft() + QPoint(1, 1)), QColor(Qt::black));
    EXPECT_EQ(img.pixelColor(Inner(1, 1).topLeft() + QPoint(1, 1)), QColor(Qt::darkGreen));
    EXPECT_EQ(img.pixelColor(Inner(3, 2).topLeft() + QPoint(1, 1)), QColor(Qt::darkGreen));
}

TEST_F(GridFixture, RowChangingIsAskedByKeyMouseAndProgram) {
    std::vector<std::pair<int, int>> asked;
    g.OnRowChanging = [&](QObject*, int oldRow, int newRow, bool& allow) {
        asked.push_back({oldRow, newRow});
        allow = newRow > 0;
    };
    ASSERT_TRUE(g.SetRow(1));
    EXPECT_FALSE(g.SetRow(0));  // program
    EXPECT_EQ(g.Row(), 1);
    g.setFocus();
    QTest::keyClick(&g, Qt::Key_Up);  // key
    EXPECT_EQ(g.Row(), 1);
    QTest::keyClick(&g, Qt::Key_Down);
    EXPECT_EQ(g.Row(), 2);
    QTest::keyClick(&g, Qt::Key_Down);                                // no row below: nothing asked
    QTest::mouseClick(&g, Qt::LeftButton, {}, Inner(2, 0).center());  // mouse
    EXPECT_EQ(g.Row(), 2);
    QTest::mouseClick(&g, Qt::LeftButton, {}, Inner(2, 1).center());
    EXPECT_EQ(g.Row(), 1);
    std::vector<std::pair<int, int>> expected{{0, 1}, {1, 0}, {1, 0}, {1, 2}, {2, 0}, {2, 1}};
    EXPECT_EQ(asked, expected);
    // Selecting the same row again asks nothing; a right press selects nothing.
    asked.clear();
    QTest::mouseClick(&g, Qt::LeftButton, {}, Inner(3, 1).center());
    QTest::mouseClick(&g, Qt::RightButton, {}, Inner(3, 2).center());
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(g.Row(), 1);
}

TEST_F(GridFixture, MouseDownAndPointToCell) {
    struct Press {
        Qt::MouseButton button;
        Qt::MouseButtons buttons;
        int x, y;
    };
    std::vector<Press> presses;
    g.OnMouseDown = [&](QObject* sender, Qt::MouseButton b, Qt::MouseButtons held, Qt::KeyboardModifiers, int x,
                        int y) {
        EXPECT_EQ(sender, &g);
        presses.push_back({b, held, x, y});
    };
    QTest::mousePress(&g, Qt::RightButton, {}, QPoint(150, 50));
    QTest::mouseRelease(&g, Qt::RightButton, {}, QPoint(150, 50));
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].button, Qt::RightButton);
    EXPECT_TRUE(presses[0].buttons & Qt::RightButton);
    EXPECT_EQ(presses[0].x, 150);
    EXPECT_EQ(presses[0].y, 50);

    int col, row;
    g.MouseToCell(150, 50, col, row);
    EXPECT_EQ(col, 1);
    EXPECT_EQ(row, 1);
    g.MouseToCell(410, 10, col, row);  // right of the last column
    EXPECT_EQ(col, -1);
    EXPECT_EQ(row, -1);
    g.MouseToCell(10, 126, col, row);  // below the last row
    EXPECT_EQ(col, -1);
    EXPECT_EQ(row, -1);
    g.MouseToCell(-1, 5, col, row);
    EXPECT_EQ(col, -1);
    EXPECT_EQ(g.CellRect(1, 2), QRect(101, 82, 100, 40));
    EXPECT_TRUE(g.CellRect(4, 0).isNull());
    EXPECT_EQ(g.ClientToScreen(QPoint(3, 4)), g.mapToGlobal(QPoint(3, 4)));

    int resized = 0;
    g.OnResize = [&](QObject*) { ++resized; };
    g.resize(300, 100);
    EXPECT_EQ(resized, 1);
    EXPECT_EQ(g.ClientWidth(), 300);
    EXPECT_EQ(g.ClientHeight(), 100);
}

// The font height is the cell height of the face: the ink of a tall text fits in it.
TEST_F(GridFixture, FontHeightIsTheCellHeight) {
    g.SetDefaultRowHeight(40);
    TGridFont font = g.Font();
    font.Height = 40;
    font.Color = Qt::white;
    g.SetFont(font);
    g.SetCells(0, 0, "Eg|");  // E, g and | reach near the top and bottom of the face
    QImage img = Shot();
    QRect r = Inner(0, 0);
    int top = 1000, bottom = -1;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qGray(img.pixel(x, y)) > 60) top = std::min(top, y), bottom = std::max(bottom, y);
    EXPECT_GT(bottom - top + 1, 28);  // the glyphs fill most of the cell
    EXPECT_GT(top, r.top());          // and stay inside it
    EXPECT_LT(bottom, r.bottom());
}

// Drawn texts are kept as images: a change of colour, font or text, and the same text in
// another cell, must still show what the handler asks for.
TEST_F(GridFixture, KeptTextImagesFollowColourFontAndText) {
    QColor colour = Qt::red;
    int height = 30;
    g.OnGetCellColor = [&](QObject*, int row, int, grid::TGridDrawState, QBrush&, TGridFont& font) {
        font.Color = row == 2 ? QColor(Qt::green) : colour;
        font.Height = height;
    };
    g.SetCells(0, 0, "88");
    g.SetCells(0, 2, "88");
    QImage img = Shot();
    EXPECT_GT(CountColor(img, Inner(0, 0), Qt::red), 20);
    EXPECT_GT(CountColor(img, Inner(0, 2), Qt::green), 20);
    const int redInk = CountColor(img, Inner(0, 0), Qt::red);
    colour = Qt::yellow;  // the same text, another colour
    g.SetCells(0, 0, "88");
    img = Shot();
    EXPECT_EQ(CountColor(img, Inner(0, 0), Qt::red), 0);
    EXPECT_EQ(CountColor(img, Inner(0, 0), Qt::yellow), redInk);
    height = 20;  // a smaller font
    g.SetCells(0, 0, "88");
    img = Shot();
    EXPECT_LT(CountColor(img, Inner(0, 0), Qt::yellow), redInk * 3 / 4);
    g.SetCells(0, 0, "1");  // another text
    img = Shot();
    EXPECT_LT(CountColor(img, Inner(0, 0), Qt::yellow), redInk / 2);
}

// With FitText a text wider than its cell is condensed into it; without, it is cut at the
// cell's edges and no ink crosses into the neighbours.
TEST_F(GridFixture, WideTextsAreCutOrCondensed) {
    g.OnGetAlignment = [](QObject*, int, int, grid::THAlign& h, grid::TVAlign& v) {
        h = grid::THAlign::Center;
        v = grid::TVAlign::Center;
    };
    g.SetCells(1, 0, "WWWWWWWW");
    QImage img = Shot();
    QRect cell = Inner(1, 0);
    auto inkAtEdges = [&](const QImage& image) {
        int n = 0;
        for (int y = cell.top(); y <= cell.bottom(); ++y)
            n += qGray(image.pixel(cell.left(), y)) > 60 || qGray(image.pixel(cell.right(), y)) > 60;
        return n;
    };
    EXPECT_GT(inkAtEdges(img), 0);  // cut
    EXPECT_EQ(CountColor(img, Inner(0, 0), QColor(192, 192, 192)), 0);
    EXPECT_EQ(CountColor(img, Inner(2, 0), QColor(192, 192, 192)), 0);
    g.SetFitText(true);
    img = Shot();
    EXPECT_EQ(inkAtEdges(img), 0);  // condensed, a little space either side
    int ink = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x) ink += qGray(img.pixel(x, y)) > 60;
    EXPECT_GT(ink, 300);
}
