#pragma once
// The look of the board's cells: for one cell of the grid, the face, text colour, background,
// size and alignment it is drawn with. Rules over plain values, with no widget and no grid: the
// board's grid handlers call them with what the grid, the watch list and the flags hold.
#include "quote/fQuoteDef.h"

#include <QColor>
#include <optional>
#include <string>

namespace boardlook {

inline constexpr int LayoutCount = 3;
inline constexpr int ColumnCount = 6;
// The stock field each column shows, per layout.
inline constexpr int ColumnLayouts[LayoutCount][ColumnCount] = {
    {qfName, qfBid, qfAsk, qfLast, qfChange, qfVolume},
    {qfName, qfLast, qfChange, qfOpen, qfHigh, qfLow},
    {qfName, qfLast, qfChange, qfVolume, qfHigh, qfLow},
};

// The clock cell's font is the cell font enlarged by the square root of 40/29.
inline constexpr double ClockFontScale = 1.174440439029407;

enum class TFace { Kai, Arial };
enum class THAlign { Left, Right, Center };

// What a cell's look is made from. Text and Number are looked at only where Needs() says so.
struct TCellState {
    int Layout = 0;
    int Row = 0;
    int Col = 0;
    int FontHeight = 0;            // the grid font's height in pixels
    std::string Text;              // the cell's raw text
    std::optional<double> Number;  // the text read as a number by the grid; none: no figure
    float RefPrice = 0;            // the row's stock's reference price; 0: none, or no stock
    bool Stale = false;            // the row's figures may be old
    bool MarketOpen = false;       // inside the trading window
    bool Refreshing = false;       // a refresh cycle runs
    bool Fetching = false;         // a page downloads
};

struct TCellLook {
    TFace Face = TFace::Arial;
    std::optional<QColor> Color;       // none: the grid's own
    std::optional<QColor> Background;  // none: the grid's own
    bool Bold = false;                 // added to the font's style
    int Height = 0;                    // the font's height in pixels
};

// Which of the cell's values its look reads: the text (the change column's mark) and the number
// (the price columns of the stock rows, once the row's stock has a reference price).
struct TCellNeeds {
    bool Text = false;
    bool Number = false;
};
TCellNeeds Needs(int layout, int row, int col, float refPrice);

// The look of a cell; none for a cell outside the board's columns or layouts, which keeps the
// grid's look.
std::optional<TCellLook> CellLook(const TCellState& cell);

// Horizontal alignment: centred in the header row, the name column and the trade-time field;
// the change left-aligned; every other figure right-aligned. (Vertically every cell is centred.)
THAlign CellAlignment(int layout, int row, int col);

}  // namespace boardlook
