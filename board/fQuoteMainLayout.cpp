// The board's column layouts, sizing and cell texts, and the grid's handlers that draw each cell
// by the rules of CellLook.h.
#include "board/fQuoteMain.h"

#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"
#include "ui/widgets/Fonts.h"

#include <algorithm>
#include <optional>

const char* const TfrmWatchMain::LayoutHeaders[LayoutCount] = {
    ",買進價,賣出價,成交價,漲跌,成交量",
    ",成交價,漲跌,開盤價,最高價,最低價",
    ",成交價,漲跌,成交量,最高價,最低價",
};

namespace {

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
    switch (boardlook::CellAlignment(LayoutIndex, ARow, ACol)) {
    case boardlook::THAlign::Left:
        HAlign = grid::THAlign::Left;
        break;
    case boardlook::THAlign::Right:
        HAlign = grid::THAlign::Right;
        break;
    case boardlook::THAlign::Center:
        HAlign = grid::THAlign::Center;
        break;
    }
}

void TfrmWatchMain::G_GetCellColor(QObject* /*Sender*/, int ARow, int ACol, grid::TGridDrawState /*State*/,
                                   QBrush& ABrush, grid::TGridFont& AFont) {
    boardlook::TCellState cell;
    cell.Layout = LayoutIndex;
    cell.Row = ARow;
    cell.Col = ACol;
    cell.FontHeight = AFont.Height;
    const TStockObj* stock = ARow > 0 && StockList ? StockList->Stocks(ARow - 1) : nullptr;
    cell.RefPrice = stock ? stock->Data().RefPrice : 0;
    cell.Stale = ARow > 0 && ARow - 1 < MaxStocks && FStaleRows[ARow - 1];
    cell.MarketOpen = ARow == 0 && ACol == 0 && IsMarketTime();
    cell.Refreshing = Refreshing;
    cell.Fetching = Fetching;
    // The cell's text and figure are read only where the rules look at them.
    const boardlook::TCellNeeds needs = boardlook::Needs(LayoutIndex, ARow, ACol, cell.RefPrice);
    if (needs.Text) cell.Text = G_->Cells(ACol, ARow);
    if (needs.Number) cell.Number = G_->CellNumber(ACol, ARow, QuoteNumberFormat);

    const std::optional<boardlook::TCellLook> look = boardlook::CellLook(cell);
    if (!look) return;
    AFont.Name = look->Face == boardlook::TFace::Kai ? KaiFace() : ArialFace();
    AFont.Height = look->Height;
    if (look->Bold) AFont.Bold = true;
    if (look->Color) AFont.Color = *look->Color;
    if (look->Background) ABrush = QBrush(*look->Background);
}
