// The board's cell-look rules on plain values, without a window. (The board's own tests check
// the same rules through the painted grid.)
#include "board/CellLook.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>

using namespace boardlook;

namespace {

const QColor Red(255, 0, 0), Aqua(0, 255, 255), Lime(0, 255, 0), Gray(128, 128, 128), Yellow(255, 255, 0);

TCellState Cell(int row, int col, int layout = 0) {
    TCellState c;
    c.Layout = layout;
    c.Row = row;
    c.Col = col;
    c.FontHeight = 45;
    return c;
}

std::optional<QColor> ColorOf(const TCellState& c) { return CellLook(c).value().Color; }

}  // namespace

// Only the clock changes size, weight and ground; cells outside the board's columns or
// layouts get no look at all, and keep the grid's.
TEST(CellLook, TheClockAloneChangesSizeAndGroundAndOutsideCellsKeepTheGrids) {
    TCellState clock = Cell(0, 0);
    clock.Refreshing = clock.Fetching = true;
    const TCellLook look = CellLook(clock).value();
    EXPECT_EQ(look.Height, 52);
    EXPECT_TRUE(look.Bold);
    EXPECT_EQ(look.Background, QColor(128, 0, 0));
    const TCellLook header = CellLook(Cell(0, 1)).value();
    EXPECT_EQ(header.Height, 45);
    EXPECT_FALSE(header.Bold);
    EXPECT_EQ(header.Background, std::nullopt);
    EXPECT_FALSE(CellLook(Cell(1, 6)));
    EXPECT_FALSE(CellLook(Cell(-1, 1)));
    EXPECT_FALSE(CellLook(Cell(1, 1, 3)));
    EXPECT_EQ(CellAlignment(0, 4, 7), THAlign::Center);
}

TEST(CellLook, FiguresByTheirMarkOrAgainstTheReferencePriceAndOnlyThoseReadTheCell) {
    // Prices compare as 32-bit floats: 35.45 read as a double equals a reference of 35.45f.
    TCellState last = Cell(2, 3);
    last.RefPrice = 35.45f;
    for (const auto& [value, color] :
         std::initializer_list<std::pair<double, QColor>>{{35.45, Lime}, {35.5, Red}, {35.4, Aqua}, {0, Aqua}}) {
        last.Number = value;
        EXPECT_EQ(ColorOf(last), color) << value;
    }
    last.Number.reset();  // begins like a number, reads as none: the grid's silver
    EXPECT_EQ(ColorOf(last), std::nullopt);
    last.Stale = true;  // a stale row's figures are grey whatever they say; its name is not
    EXPECT_EQ(ColorOf(last), Gray);
    TCellState name = Cell(2, 0);
    name.Stale = true;
    EXPECT_EQ(ColorOf(name), Lime);
    // The change: the first of the marks found decides, in the order up, down, up, down.
    TCellState change = Cell(2, 4);
    change.Text = ui::Utf8ToBig5(" ▼0.5△");
    EXPECT_EQ(ColorOf(change), Red);
    // The rules read a cell's text and figure only where they decide its colour.
    EXPECT_TRUE(Needs(0, 2, 4, 0).Text);
    EXPECT_FALSE(Needs(0, 0, 4, 35).Text);
    EXPECT_TRUE(Needs(0, 2, 3, 35).Number);
    EXPECT_FALSE(Needs(0, 2, 3, 0).Number);
    EXPECT_FALSE(Needs(0, 2, 5, 35).Number);
    EXPECT_FALSE(Needs(0, 2, 0, 35).Number);
    EXPECT_EQ(ColorOf(Cell(2, 5)), Yellow);
}
