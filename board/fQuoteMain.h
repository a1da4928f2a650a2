#pragma once
// TfrmWatchMain: the full-screen quote board. One grid, G_, on one panel, Panel1: a header row
// whose first cell is the clock, and one row per watched stock with its name and five figures
// chosen by one of three column layouts.
//
// This unit holds the window's composition and its rendering: the column layouts, the sizing
// of rows, columns and font to the window, the writing of changed fields into their row, and
// the grid's handlers that draw each cell by the rules of CellLook.h (fQuoteMainLayout.cpp). The constructor builds
// the window and sets the grid up for the board (layout 0, 6 columns, 11 rows, row 1 selected)
// without creating the watch list: StockList is set by the start-up code (or a test), which
// also wires DO_OnUpdate as the list's listener.
#include "board/CellLook.h"
#include "grid/RichStringGrid.h"
#include "quote/fQuoteDef.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ui {
class TTimer;
}

// The lines of an AVAILABLE.TXT, sorted without regard to ASCII letter case, each line that
// compares equal to one already held dropped; empty when the file does not exist. Anything of
// that name that cannot be read is reported to the application's exception handler and gives
// an empty list.
std::vector<std::string> LoadAvailableList(const std::string& fileName);

class TfrmWatchMain : public QWidget {
public:
    explicit TfrmWatchMain(QWidget* parent = nullptr);
    ~TfrmWatchMain() override;

    // ---- Composition -------------------------------------------------------------------------
    QWidget* Panel1 = nullptr;            // fills the window; black
    grid::TRichStringGrid* G_ = nullptr;  // the board, fills Panel1

    // ---- Fields ------------------------------------------------------------------------------
    int LayoutIndex = 0;         // current column layout, 0..2
    TFieldSet LayoutFields = 0;  // the fields the current layout shows
    std::unique_ptr<TStockObjList> StockList;

    // ---- Column layouts ----------------------------------------------------------------------
    static constexpr int LayoutCount = boardlook::LayoutCount;
    static constexpr int ColumnCount = boardlook::ColumnCount;
    // The stock field each column shows, per layout.
    static constexpr const int (&ColumnLayouts)[LayoutCount][ColumnCount] = boardlook::ColumnLayouts;
    // The header row of each layout, comma-separated, in UTF-8; its empty first item is the
    // clock's cell.
    static const char* const LayoutHeaders[LayoutCount];

    // ---- Layout and rendering ----------------------------------------------------------------
    // Sizes rows, columns and font to the grid, empties every cell, writes the header row and
    // the clock, and sets LayoutFields.
    void InitialGrid();
    // InitialGrid, then every stock's row written again (each stock's Changed := LayoutFields).
    void ApplyLayout();
    // The next of the three layouts.
    void NextLayout();
    // The update listener: writes the changed fields that the layout shows into row Index + 1.
    void DO_OnUpdate(TStockObjList* Sender, int Index, TStockObj* Stock);

    // The text a stock field shows in its cell: trimmed, the change with a space before it,
    // every other figure with a space after it, the name as it is.
    static std::string CellText(int field, const std::string& text);

    // ---- Grid event handlers -----------------------------------------------------------------
    void G_GetCellColor(QObject* Sender, int ARow, int ACol, grid::TGridDrawState State, QBrush& ABrush,
                        grid::TGridFont& AFont);
    void G_GetAlignment(QObject* Sender, int ARow, int ACol, grid::THAlign& HAlign, grid::TVAlign& VAlign);
    void G_RowChanging(QObject* Sender, int OldRow, int NewRow, bool& Allow);
    // A change of the grid's size: InitialGrid, then the stocks' rows written again from their
    // stored fields (the quotes would otherwise stay blank until they next change).
    void G_Resize(QObject* Sender);

    // The clock cell's text now, "hh:nn".
    static std::string ClockText();

    // ---- Start-up, the user's actions and shut-down (fQuoteMainEvents.cpp) ------------------
    std::vector<std::string> AvailableList;  // AVAILABLE.TXT for the picker, sorted
    ui::TTimer* tmrMain = nullptr;           // the clock, every second

    // Start-up in its fixed order, ending with the first forced refresh cycle; the window is on
    // the screen, full size, before any quote arrives. In a Wayland session the compositor is
    // asked for full screen (it gives a tiled or decorated window otherwise); on X11 the window
    // covers the screen's work area, leaving the desktop's panels alone.
    void FormCreate();
    // Fired once the window is on the screen, before the first refresh.
    std::function<void()> OnShown;
    // Cell (0,0) := the time, "hh:nn"; then every stock row whose staleness changed is drawn
    // again (CheckStaleRows).
    void tmrMainTimer(QObject* Sender);
    // A stale stock's figures (TStockObj::IsStale) are drawn grey. This brings each row's look
    // up to date and writes again only the figure cells of rows whose look changed.
    void CheckStaleRows();
    // Escape closes (through the confirmation), Space switches the layout, F5 refreshes. The key
    // goes on to the grid afterwards.
    void FormKeyDown(int Key);
    // Right button: the clock cell's menu, or a stock row's after selecting it; left button on
    // a header cell: the next layout.
    void G_MouseDown(QObject* Sender, Qt::MouseButton Button, Qt::MouseButtons Shift, int X, int Y);
    // A finger held still on the grid (a touch screen's right button): on the clock cell its
    // menu, on a stock row that row selected and its menu opened at the finger.
    void G_PressAndHold(int X, int Y, QPoint Finger);
    void Panel1DblClick();
    // The one-line menu: "結束程式" at the clock cell (Row 0) or "更換股票" at the pointer, or at
    // the finger when a held finger opened it (the menu then does not follow the pointer).
    void ShowPopupMenu(int Row, const QPoint* Finger = nullptr);
    // The stock picker; a code of four characters (or of five or six letters and digits) goes
    // into the selected row and is fetched at once.
    void ChangeStock();
    // The exit confirmation; true when the board may close.
    bool FormCloseQuery();
    // Frees the watch list (which writes STOCKLIST.TXT) and AvailableList.
    void FormDestroy();

    // A termination signal: the board closes without a dialog once the running cycle and any
    // open dialog have unwound; destroying it then writes STOCKLIST.TXT.
    void CloseOnSignal(int Signo);
    bool Signalled() const { return FSignalled; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Writes the cells of row Index + 1 whose layout field is in fields.
    void WriteStockFields(int Index, const TStockObj& Stock, TFieldSet fields);
    // Every stock's row written again from its stored fields; Changed is left alone.
    void RewriteStockRows();
    // Row Index + 1's staleness brought up to date; its shown figures are written again when it
    // changed.
    void UpdateStaleRow(int Index);
    bool FStaleRows[MaxStocks] = {};  // the look each stock row is drawn with: stale or not

    // False while a refresh cycle runs or once the board is closing: no dialog flow starts.
    bool FlowAllowed() const;
    bool FClosing = false;     // a close was accepted or a signal came
    bool FDialogBusy = false;  // a dialog of a flow is open, or a picked stock is being fetched
    // Gives the keyboard back to the board after a dialog.
    void RegainKeyboard();
    bool FSignalled = false;  // a termination signal came
    int FPreviewKey = 0;      // the last key the window saw before the grid, and its time
    quint64 FPreviewTime = 0;
};
