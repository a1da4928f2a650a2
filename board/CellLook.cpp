#include "board/CellLook.h"

#include "ui/widgets/Colors.h"

namespace boardlook {

namespace {

using ui::clAqua, ui::clBlack, ui::clGray, ui::clLime, ui::clMaroon, ui::clNavy, ui::clRed, ui::clSilver, ui::clSkyBlue,
    ui::clWhite, ui::clYellow;

// The field a cell of a layout shows; -1 outside the board's layouts and columns.
int CellField(int layout, int col) {
    if (layout < 0 || layout >= LayoutCount || col < 0 || col >= ColumnCount) return -1;
    return ColumnLayouts[layout][col];
}

bool IsPriceField(int f) { return f != qfName && f != qfTradeTime && f != qfChange && f != qfVolume; }

TCellLook ClockLook(const TCellState& cell) {
    TCellLook look;
    look.Color = cell.MarketOpen ? clSkyBlue : clGray;
    look.Height = static_cast<int>(cell.FontHeight * ClockFontScale);
    look.Bold = true;
    look.Background = !cell.Refreshing ? clBlack : cell.Fetching ? clMaroon : clNavy;
    return look;
}

QColor HeaderColor(int f) {
    switch (f) {
    case qfLast:
    case qfChange:
    case qfVolume:
        return clWhite;
    case qfHigh:
        return clRed;
    case qfLow:
        return clAqua;
    default:
        return clGray;
    }
}

// A stock row's figure; none keeps the grid's silver.
std::optional<QColor> FigureColor(int f, const TCellState& cell) {
    // A stale row's figures are dim, whatever they say.
    if (cell.Stale) return clGray;
    switch (f) {
    case qfTradeTime:
        return clSilver;
    case qfChange: {
        const TQuoteTrend trend = QuoteTrend(cell.Text);
        return trend == TQuoteTrend::Rising ? clRed : trend == TQuoteTrend::Falling ? clAqua : clLime;
    }
    case qfVolume:
        return clYellow;
    default:
        break;
    }
    // Prices, against the stock's reference price as 32-bit floats. A cell that begins like a
    // number but reads as none keeps the grid's silver.
    if (!(cell.RefPrice > 0) || !cell.Number) return std::nullopt;
    const float v = static_cast<float>(*cell.Number);
    return v > cell.RefPrice ? clRed : v < cell.RefPrice ? clAqua : clLime;
}

}  // namespace

TCellNeeds Needs(int layout, int row, int col, float refPrice) {
    const int f = CellField(layout, col);
    if (row <= 0 || f < 0) return {};
    return {f == qfChange, IsPriceField(f) && refPrice > 0};
}

std::optional<TCellLook> CellLook(const TCellState& cell) {
    const int f = CellField(cell.Layout, cell.Col);
    if (f < 0 || cell.Row < 0) return std::nullopt;
    if (cell.Row == 0 && cell.Col == 0) return ClockLook(cell);
    TCellLook look;
    look.Height = cell.FontHeight;
    // Face: the Kai face for the header texts and the names, Arial for the clock and figures.
    look.Face = cell.Row == 0 || f == qfName ? TFace::Kai : TFace::Arial;
    if (cell.Row == 0)
        look.Color = HeaderColor(f);
    else if (f == qfName)
        look.Color = cell.Row % 2 == 1 ? clYellow : clLime;
    else
        look.Color = FigureColor(f, cell);
    return look;
}

THAlign CellAlignment(int layout, int row, int col) {
    const int f = CellField(layout, col);
    if (row == 0 || col == 0 || f < 0) return THAlign::Center;
    if (f == qfName || f == qfTradeTime) return THAlign::Center;
    return f == qfChange ? THAlign::Left : THAlign::Right;
}

}  // namespace boardlook
