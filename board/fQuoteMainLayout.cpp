// The board's column layouts, sizing, cell texts and per-cell font, colour and alignment rules.
#include "board/fQuoteMain.h"

#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"
#include "ui/widgets/Colors.h"
#include "ui/widgets/Fonts.h"

#include <cmath>

const int TfrmWatchMain::ColumnLayouts[LayoutCount][ColumnCount] = {
    {qfName, qfBid, qfAsk, qfLast, qfChange, qfVolume},
    {qfName, qfLast, qfChange, qfOpen, qfHigh, qfLow},
    {qfName, qfLast, qfChange, qfVolume, qfHigh, qfLow},
};

const char* const TfrmWatchMain::LayoutHeaders[LayoutCount] = {
    ",買進價,賣出價,成交價,漲跌,成交量",
    ",成交價,漲跌,開盤價,最高價,最低價",
    ",成交價,漲跌,成交量,最高價,最低價",
};

using ui::clAqua, ui::clBlack, ui::clGray, ui::clLime, ui::clMaroon, ui::clNavy, ui::clRed, ui::clSilver, ui::clSkyBlue,
    ui::clWhite, ui::clYellow;

namespace {

// The clock cell's font is the cell font enlarged by the square root of 40/29.
const double ClockFontScale = std::sqrt(1.3793103448275862);

// Quote pages write "." for decimals and "," for thousands, whatever the user's locale.
const grid::TNumberFormat QuoteNumberFormat{'.', ','};

const QString& KaiFace() {
    static const QString face = QString::fromUtf8(ui::KaiFaceName);
    return face;
}

const QString& ArialFace() {
    static const QString face = QString::fromUtf8(ui::ArialFaceName);
    return face;
}

}  // namespace

std::string TfrmWatchMain::ClockText() { return ui::FormatHHNN(ui::Now()); }

std::string TfrmWatchMain::CellText(int field, const std::string& text) {
    std::string t = ui::Trim(text);
    if (field == qfName) return t;
    if (field == qfChange) return " " + t;
    return t + " ";
}

void TfrmWatchMain::InitialGrid() {
    const int lineWidth = G_->GridLineWidth();
    const int rowHeight = G_->ClientHeight() / G_->RowCount() - lineWidth;
    G_->SetDefaultRowHeight(rowHeight);
    const int colWidth = G_->ClientWidth() / G_->ColCount() - lineWidth;
    G_->SetDefaultColWidth(colWidth);
    grid::TGridFont font = G_->Font();
    font.Height = std::min(rowHeight, static_cast<int>(colWidth / 3.75));
    G_->SetFont(font);

    G_->ClearCells();
    G_->SetRowCommaText(0, ui::Utf8ToBig5(LayoutHeaders[LayoutIndex]));
    G_->SetCells(0, 0, ClockText());

    LayoutFields = 0;
    for (int c = 0; c < ColumnCount; ++c) LayoutFields |= FieldBit(ColumnLayouts[LayoutIndex][c]);
}

void TfrmWatchMain::ApplyLayout() {
    InitialGrid();
    if (!StockList) return;
    for (int i = 0; i < StockList->Count(); ++i) {
        TStockObj* stock = StockList->Stocks(i);
        if (!stock) continue;
        stock->Data().Changed = LayoutFields;
        DO_OnUpdate(nullptr, i, stock);
    }
}

void TfrmWatchMain::NextLayout() {
    LayoutIndex = (LayoutIndex + 1) % LayoutCount;
    ApplyLayout();
}

void TfrmWatchMain::DO_OnUpdate(TStockObjList* /*Sender*/, int Index, TStockObj* Stock) {
    if (!Stock || Stock->Data().Changed == 0) return;
    if (Index < 0 || Index >= G_->RowCount() - 1) return;
    // New figures are drawn with the look they have now: a fetch that brings them is fresh.
    UpdateStaleRow(Index);
    WriteStockFields(Index, *Stock, Stock->Data().Changed);
}

void TfrmWatchMain::UpdateStaleRow(int Index) {
    if (Index < 0 || Index >= MaxStocks || Index >= G_->RowCount() - 1) return;
    const TStockObj* stock = StockList ? StockList->Stocks(Index) : nullptr;
    const bool stale = stock && stock->IsStale();
    if (stale == FStaleRows[Index]) return;
    FStaleRows[Index] = stale;
    // Only the figures change colour; a blank cell looks the same either way.
    for (int c = 1; c < ColumnCount; ++c) {
        const std::string text = G_->Cells(c, Index + 1);
        if (!ui::Trim(text).empty()) G_->SetCells(c, Index + 1, text);
    }
}

void TfrmWatchMain::CheckStaleRows() {
    for (int i = 0; i < MaxStocks; ++i) UpdateStaleRow(i);
}

void TfrmWatchMain::WriteStockFields(int Index, const TStockObj& Stock, TFieldSet fields) {
    const int row = Index + 1;
    const std::vector<std::string>& texts = Stock.Data().Fields;
    for (int c = 0; c < ColumnCount; ++c) {
        const int f = ColumnLayouts[LayoutIndex][c];
        if (!InSet(fields, f)) continue;
        const std::string empty;
        G_->SetCells(c, row, CellText(f, f < static_cast<int>(texts.size()) ? texts[f] : empty));
    }
}

void TfrmWatchMain::RewriteStockRows() {
    if (!StockList) return;
    for (int i = 0; i < StockList->Count() && i < G_->RowCount() - 1; ++i)
        if (const TStockObj* stock = StockList->Stocks(i)) WriteStockFields(i, *stock, LayoutFields);
}

void TfrmWatchMain::G_Resize(QObject* /*Sender*/) {
    InitialGrid();
    RewriteStockRows();
}

void TfrmWatchMain::G_RowChanging(QObject* /*Sender*/, int /*OldRow*/, int NewRow, bool& Allow) {
    Allow = NewRow > 0 && NewRow < G_->RowCount();
}

void TfrmWatchMain::G_GetAlignment(QObject* /*Sender*/, int ARow, int ACol, grid::THAlign& HAlign,
                                   grid::TVAlign& VAlign) {
    VAlign = grid::TVAlign::Center;
    if (ARow == 0 || ACol == 0 || ACol < 0 || ACol >= ColumnCount) {
        HAlign = grid::THAlign::Center;
        return;
    }
    const int f = ColumnLayouts[LayoutIndex][ACol];
    if (f == qfName || f == qfTradeTime)
        HAlign = grid::THAlign::Center;
    else if (f == qfChange)
        HAlign = grid::THAlign::Left;
    else
        HAlign = grid::THAlign::Right;
}

void TfrmWatchMain::G_GetCellColor(QObject* /*Sender*/, int ARow, int ACol, grid::TGridDrawState /*State*/,
                                   QBrush& ABrush, grid::TGridFont& AFont) {
    if (ACol < 0 || ACol >= ColumnCount || ARow < 0) return;
    const int f = ColumnLayouts[LayoutIndex][ACol];

    // Face: the Kai face for the header texts and the names, Arial for the clock and figures.
    const bool header = ARow == 0 && ACol > 0;
    const bool name = ACol == 0 && ARow > 0;
    AFont.Name = header || name ? KaiFace() : ArialFace();

    if (ARow == 0 && ACol == 0) {  // the clock
        AFont.Color = IsMarketTime() ? clSkyBlue : clGray;
        AFont.Height = static_cast<int>(AFont.Height * ClockFontScale);
        AFont.Bold = true;
        if (!Refreshing)
            ABrush = QBrush(clBlack);
        else
            ABrush = QBrush(Fetching ? clMaroon : clNavy);
        return;
    }
    if (ARow == 0) {
        switch (f) {
        case qfLast:
        case qfChange:
        case qfVolume:
            AFont.Color = clWhite;
            break;
        case qfHigh:
            AFont.Color = clRed;
            break;
        case qfLow:
            AFont.Color = clAqua;
            break;
        default:
            AFont.Color = clGray;
        }
        return;
    }

    if (f == qfName) {
        AFont.Color = ARow % 2 == 1 ? clYellow : clLime;
        return;
    }
    // A stale row's figures are dim, whatever they say.
    if (ARow - 1 < MaxStocks && FStaleRows[ARow - 1]) {
        AFont.Color = clGray;
        return;
    }
    switch (f) {
    case qfTradeTime:
        AFont.Color = clSilver;
        return;
    case qfChange: {
        const TQuoteTrend trend = QuoteTrend(G_->Cells(ACol, ARow));
        AFont.Color = trend == TQuoteTrend::Rising ? clRed : trend == TQuoteTrend::Falling ? clAqua : clLime;
        return;
    }
    case qfVolume:
        AFont.Color = clYellow;
        return;
    default:
        break;
    }

    // Prices, against the stock's reference price as 32-bit floats. A cell that begins like a
    // number but reads as none keeps the grid's silver.
    const TStockObj* stock = StockList ? StockList->Stocks(ARow - 1) : nullptr;
    if (!stock || !(stock->Data().RefPrice > 0)) return;
    const std::optional<double> value = G_->CellNumber(ACol, ARow, QuoteNumberFormat);
    if (!value) return;
    const float v = static_cast<float>(*value);
    const float ref = stock->Data().RefPrice;
    AFont.Color = v > ref ? clRed : v < ref ? clAqua : clLime;
}
