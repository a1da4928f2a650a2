// The board's cell-look rules on plain values, without a window.
#include "board/CellLook.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>

using namespace boardlook;

namespace {

const QColor Red(255, 0, 0), Aqua(0, 255, 255), Lime(0, 255, 0), Gray(128, 128, 128), Yellow(255, 255, 0),
    White(255, 255, 255);

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

TEST(CellLook, TheClockShowsTheMarketAndTheRefreshState) {
    TCellState c = Cell(0, 0);
    TCellLook idle = CellLook(c).value();
    EXPECT_EQ(idle.Color, Gray);
    EXPECT_EQ(idle.Background, QColor(0, 0, 0));
    EXPECT_EQ(idle.Height, 52);
    EXPECT_TRUE(idle.Bold);
    EXPECT_EQ(idle.Face, TFace::Arial);
    c.MarketOpen = c.Refreshing = true;
    EXPECT_EQ(CellLook(c)->Color, QColor(166, 202, 240));
    EXPECT_EQ(CellLook(c)->Background, QColor(0, 0, 128));
    c.Fetching = true;
    EXPECT_EQ(CellLook(c)->Background, QColor(128, 0, 0));
    // Every other cell keeps the grid's ground and height.
    EXPECT_EQ(CellLook(Cell(0, 1))->Background, std::nullopt);
    EXPECT_EQ(CellLook(Cell(3, 3))->Height, 45);
}

TEST(CellLook, HeadersAndNamesByLayoutAndRow) {
    EXPECT_EQ(CellLook(Cell(0, 1))->Face, TFace::Kai);
    EXPECT_EQ(ColorOf(Cell(0, 1, 0)), Gray);   // bid
    EXPECT_EQ(ColorOf(Cell(0, 5, 0)), White);  // volume
    EXPECT_EQ(ColorOf(Cell(0, 4, 1)), Red);    // high
    EXPECT_EQ(ColorOf(Cell(0, 5, 2)), Aqua);   // low
    EXPECT_EQ(CellLook(Cell(1, 0))->Face, TFace::Kai);
    EXPECT_EQ(ColorOf(Cell(1, 0)), Yellow);
    EXPECT_EQ(ColorOf(Cell(10, 0)), Lime);
    // A stale row dims its figures, not its name.
    TCellState name = Cell(3, 0), volume = Cell(3, 5);
    name.Stale = volume.Stale = true;
    EXPECT_EQ(ColorOf(name), Yellow);
    EXPECT_EQ(ColorOf(volume), Gray);
    // No look outside the board's columns and layouts.
    EXPECT_FALSE(CellLook(Cell(1, 6)));
    EXPECT_FALSE(CellLook(Cell(-1, 1)));
    EXPECT_FALSE(CellLook(Cell(1, 1, 3)));
    EXPECT_EQ(CellAlignment(0, 0, 4), THAlign::Center);
    EXPECT_EQ(CellAlignment(0, 4, 0), THAlign::Center);
    EXPECT_EQ(CellAlignment(0, 4, 4), THAlign::Left);   // the change
    EXPECT_EQ(CellAlignment(1, 4, 4), THAlign::Right);  // the high
    EXPECT_EQ(CellAlignment(0, 4, 7), THAlign::Center);
}

TEST(CellLook, FiguresByTheirMarkOrAgainstTheReferencePrice) {
    // The change: the first of the four marks found decides, in the order up, down, up, down.
    for (const auto& [text, color] : std::initializer_list<std::pair<const char*, QColor>>{
             {" ▽0.5△", Red}, {" ▼0.5", Aqua}, {" ▲1", Red}, {" 0", Lime}, {" ", Lime}}) {
        TCellState c = Cell(2, 4);
        c.Text = ui::Utf8ToBig5(text);
        EXPECT_EQ(ColorOf(c), color) << text;
    }
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
    last.RefPrice = 0;  // no reference price yet
    last.Number = 40;
    EXPECT_EQ(ColorOf(last), std::nullopt);
    EXPECT_EQ(ColorOf(Cell(2, 1)), std::nullopt);
    EXPECT_EQ(ColorOf(Cell(2, 5)), Yellow);
    // The rules read a cell's text and figure only where they decide its colour.
    EXPECT_TRUE(Needs(0, 2, 4, 0).Text);
    EXPECT_FALSE(Needs(0, 0, 4, 35).Text);
    EXPECT_TRUE(Needs(0, 2, 3, 35).Number);
    EXPECT_FALSE(Needs(0, 2, 3, 0).Number);
    EXPECT_FALSE(Needs(0, 2, 5, 35).Number);
    EXPECT_FALSE(Needs(0, 2, 0, 35).Number);
}
