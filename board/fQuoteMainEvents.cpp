// The board window's life and its user's actions: start-up in its fixed order, the clock, keys
// and mouse, the popup menu, the change of a row's stock, the exit confirmation, shut-down, and
// the close on a termination signal.
#include "board/fQuoteMain.h"

#include "dialogs/fDlgMenu.h"
#include "dialogs/fDlgStockSel.h"
#include "dialogs/fDlgYesNo.h"
#include "grid/RichStringGrid.h"
#include "quote/fQuoteDef.h"
#include "ui/core/Application.h"
#include "ui/core/Big5.h"
#include "ui/core/Consts.h"
#include "ui/core/DateTime.h"
#include "ui/core/Holidays.h"
#include "ui/core/ScopeGuard.h"
#include "ui/core/Signals.h"
#include "ui/core/TextFile.h"
#include "ui/core/Timer.h"
#include "ui/widgets/Display.h"
#include "ui/widgets/PressAndHold.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QKeyEvent>
#include <QListWidget>
#include <QPointer>
#include <QScreen>
#include <algorithm>

namespace {

int CompareTextNoCase(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

std::vector<std::string> LoadAvailableList(const std::string& fileName) {
    std::vector<std::string> list;
    if (!ui::PathExists(fileName)) return list;
    try {
        list = ui::ReadLines(fileName);
    } catch (...) {
        // A FIFO, a directory, a file that cannot be read: the user is told, and the picker
        // offers no stocks.
        ui::HandleException(std::current_exception());
        return {};
    }
    // Sorted once; of the lines that compare equal the first in the file stays.
    std::stable_sort(list.begin(), list.end(),
                     [](const std::string& a, const std::string& b) { return CompareTextNoCase(a, b) < 0; });
    list.erase(std::unique(list.begin(), list.end(),
                           [](const std::string& a, const std::string& b) { return CompareTextNoCase(a, b) == 0; }),
               list.end());
    return list;
}

// ---------------------------------------------------------------------------------------------
// Start-up

void TfrmWatchMain::FormCreate() {
    // The exchange's weekday closures count as weekend days.
    ui::LoadHolidays();
    IsWeekend = ui::IsClosedDay(ui::Now());
    // The grid was set up by the constructor.
    AvailableList = LoadAvailableList("AVAILABLE.TXT");
    StockList = std::make_unique<TStockObjList>();
    StockList->OnUpdate = [this](TStockObjList* sender, int index, TStockObj* stock) {
        DO_OnUpdate(sender, index, stock);
    };

    G_->OnMouseDown = [this](QObject* sender, Qt::MouseButton button, Qt::MouseButtons buttons, Qt::KeyboardModifiers,
                             int x, int y) { G_MouseDown(sender, button, buttons, x, y); };
    auto* hold = new ui::TPressAndHold(G_);
    hold->OnHold = [this](QPoint local, QPoint global) { G_PressAndHold(local.x(), local.y(), global); };
    // Key preview: the window sees every key before the grid does.
    G_->installEventFilter(this);
    Panel1->installEventFilter(this);
    G_->setFocus();

    tmrMain = new ui::TTimer(this);
    tmrMain->SetInterval(1000);
    tmrMain->SetOnTimer([this](QObject* sender) { tmrMainTimer(sender); });

    // X11: the work area of the screen, the whole screen less the panels of the desktop. A
    // Wayland compositor places and sizes windows itself: it is asked for the whole output.
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) setGeometry(screen->availableGeometry());
    if (ui::WaylandSession())
        showFullScreen();
    else
        show();
    activateWindow();  // the keyboard goes to the board from the start
    QCoreApplication::sendPostedEvents();
    if (OnShown) OnShown();
    // The first sizing is made for the final size and the final counts, before any quote.
    G_Resize(G_);
    repaint();

    StockList->Refresh(true);
}

// ---------------------------------------------------------------------------------------------
// Clock, keys, mouse

void TfrmWatchMain::tmrMainTimer(QObject*) {
    G_->SetCells(0, 0, ClockText());
    CheckStaleRows();
}

void TfrmWatchMain::FormKeyDown(int key) {
    switch (key) {
    case Qt::Key_Escape:
        close();
        break;
    case Qt::Key_Space:
        NextLayout();
        break;
    case Qt::Key_F5:
        if (StockList) StockList->Refresh(true);
        break;
    default:
        break;
    }
}

void TfrmWatchMain::keyPressEvent(QKeyEvent* event) {
    // A key the grid left alone comes up here after the filter below has handled it (perhaps
    // through a whole modal dialog in between, with the focus elsewhere by now): the key and its
    // time stamp tell it from a key that was sent to the window itself.
    const bool seen = event->key() == FPreviewKey && event->timestamp() == FPreviewTime;
    if (!seen) ui::Guarded([&] { FormKeyDown(event->key()); });
    QWidget::keyPressEvent(event);
}

bool TfrmWatchMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == G_ && event->type() == QEvent::KeyPress) {
        FPreviewKey = static_cast<QKeyEvent*>(event)->key();
        FPreviewTime = static_cast<QKeyEvent*>(event)->timestamp();
        ui::Guarded([&] { FormKeyDown(static_cast<QKeyEvent*>(event)->key()); });
    } else if (watched == Panel1 && event->type() == QEvent::MouseButtonDblClick) {
        ui::Guarded([&] { Panel1DblClick(); });
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmWatchMain::G_MouseDown(QObject*, Qt::MouseButton, Qt::MouseButtons buttons, int x, int y) {
    int col = -1, row = -1;
    G_->MouseToCell(x, y, col, row);
    if (buttons & Qt::RightButton) {
        if (col == 0 && row == 0) {
            ShowPopupMenu(0);
        } else if (row >= 1) {
            G_->SetRow(row);
            ShowPopupMenu(row);
        }
        return;
    }
    if (row == 0 && col >= 1) NextLayout();
}

void TfrmWatchMain::G_PressAndHold(int x, int y, QPoint finger) {
    int col = -1, row = -1;
    G_->MouseToCell(x, y, col, row);
    if (col == 0 && row == 0) {
        ShowPopupMenu(0, &finger);
    } else if (row >= 1) {
        G_->SetRow(row);
        ShowPopupMenu(row, &finger);
    }
}

void TfrmWatchMain::Panel1DblClick() { close(); }

// ---------------------------------------------------------------------------------------------
// The dialog flows. Each holds RefreshSuspended for as long as it runs and clears it on every
// way out; none starts while a refresh cycle runs or once the board is closing.

bool TfrmWatchMain::FlowAllowed() const { return !Refreshing && !FClosing && !FDialogBusy; }

namespace {
// Marks a step of a flow (a dialog on the screen, the fetch of a picked stock) for its length:
// no other flow starts meanwhile. A flow's next step starts only once the step before is over.
class TBusyScope {
public:
    explicit TBusyScope(bool& flag) : FFlag(flag) { FFlag = true; }
    ~TBusyScope() { FFlag = false; }
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    bool& FFlag;
};
}  // namespace

void TfrmWatchMain::RegainKeyboard() {
    // Without a window manager nobody gives the keyboard back to the board when a dialog goes.
    if (FClosing || !isVisible()) return;
    activateWindow();
    G_->setFocus();
}

void TfrmWatchMain::ShowPopupMenu(int row, const QPoint* finger) {
    if (!FlowAllowed()) return;
    RefreshSuspended = true;
    QPointer<TfrmDlgMenu> menu;
    ui::Finally done{[&] {
        delete menu.data();
        // A confirmed close keeps the flag: no cycle starts while the board shuts down.
        RefreshSuspended = FClosing;
        RegainKeyboard();
    }};
    menu = new TfrmDlgMenu(this);
    QPoint at;
    if (row == 0) {
        at = G_->ClientToScreen(G_->CellRect(0, 0).topLeft());
        menu->ListBox1->SetItems({ui::Utf8ToBig5("結束程式")});
    } else {
        at = finger ? *finger : QCursor::pos();
        menu->ListBox1->SetItems({ui::Utf8ToBig5("更換股票")});
    }
    // A finger is not the pointer: the menu stays until it is touched or a key answers it.
    menu->SetFollowsPointer(!finger);
    menu->SetLeftTop(at.x(), at.y());
    menu->ListBox1->SetItemIndex(0);
    menu->SetHeight(menu->ListBox1->ItemHeight());
    int result;
    {
        TBusyScope busy(FDialogBusy);
        result = menu->ShowModal();
    }
    if (result != ui::mrOK || FClosing) return;
    if (row == 0) {
        close();
    } else {
        ChangeStock();
    }
}

void TfrmWatchMain::ChangeStock() {
    if (!FlowAllowed()) return;
    RefreshSuspended = true;
    QPointer<TfrmStockSel> picker;
    ui::Finally done{[&] {
        delete picker.data();
        RefreshSuspended = FClosing;
        RegainKeyboard();
    }};
    picker = new TfrmStockSel(this, AvailableList);
    // Just below and right of the clock cell.
    const QRect clock = G_->CellRect(0, 0);
    const QPoint corner = G_->ClientToScreen(QPoint(clock.x() + clock.width(), clock.y() + clock.height()));
    picker->SetLeftTop(corner.x() + 1, corner.y());
    // The flow lasts until the picked stock has been fetched: its download runs the event loop.
    TBusyScope busy(FDialogBusy);
    if (picker->ShowModal() != ui::mrOK || FClosing) return;
    const std::string code = picker->GetStockCode();
    if (!stocksel::UsableCode(code)) return;
    const int row = G_->Row();
    TStockObj* stock = StockList->Stocks(row - 1);
    int index;
    if (stock) {
        stock->Reset(code);
        index = row - 1;
    } else {
        if (StockList->Count() >= MaxStocks) return;
        auto created = std::make_unique<TStockObj>(code);
        stock = created.get();
        index = StockList->Add(code, std::move(created));
    }
    StockList->RefreshStock(index, stock);
}

bool TfrmWatchMain::FormCloseQuery() {
    if (FSignalled) return true;  // a termination signal closes without asking
    if (!FlowAllowed()) return false;
    RefreshSuspended = true;
    bool canClose = false;
    {
        QPointer<TfrmDlgYesNo> confirm;
        ui::Finally freeIt{[&] { delete confirm.data(); }};
        ui::Finally flag{[&] {
            if (!canClose) RefreshSuspended = false;
        }};
        confirm = new TfrmDlgYesNo(this);
        TBusyScope busy(FDialogBusy);
        canClose = confirm->ShowModal() == ui::mrOK;
    }
    if (!canClose) RegainKeyboard();
    return canClose;
}

void TfrmWatchMain::closeEvent(QCloseEvent* event) {
    bool canClose = false;
    ui::Guarded([&] { canClose = FormCloseQuery(); });
    event->setAccepted(canClose);
    if (!canClose) return;
    FClosing = true;
    RefreshSuspended = true;
    if (StockList) StockList->Suspend(true);
}

void TfrmWatchMain::FormDestroy() {
    StockList.reset();  // stops its timer and writes STOCKLIST.TXT
    AvailableList.clear();
}

// ---------------------------------------------------------------------------------------------
// Termination signals: no dialog, no lost changes. The list is asked to stop; the running cycle
// (and any open dialog) unwinds back to the message loop, which then ends; destroying the board
// afterwards writes STOCKLIST.TXT.

void TfrmWatchMain::CloseOnSignal(int) {
    if (FSignalled) return;
    FSignalled = true;
    FClosing = true;
    RefreshSuspended = true;
    if (StockList) StockList->RequestStop();
    // Every open dialog answers Cancel; the message loop, and every modal loop above it, ends.
    QApplication::exit(0);
}
