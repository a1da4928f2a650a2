#include "dialogs/fDlgMenu.h"

#include "ui/core/Application.h"
#include "ui/core/Consts.h"
#include "ui/widgets/Fonts.h"

#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>

using namespace ui;

TfrmDlgMenu::TfrmDlgMenu(QWidget* owner) : TForm(owner) {
    setCursor(Qt::PointingHandCursor);
    Panel1 = new TPanel(this, clNavy, TBevel::None);
    ListBox1 = new TListBox(Panel1, LineHeight, TBorder::Flat);
    SetColors(ListBox1, clNavy, clSilver);
    ListBox1->setFont(FaceFont(ui::KaiFaceName, 64));
    ListBox1->setCursor(Qt::PointingHandCursor);
    ListBox1->viewport()->setCursor(Qt::PointingHandCursor);
    ListBox1->setMouseTracking(true);
    ListBox1->viewport()->setMouseTracking(true);
    ListBox1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusProxy(ListBox1);
    ListBox1->setFocus();

    // The form sees the keys before the list; the list's presses, moves and leaving come here.
    ListBox1->installEventFilter(this);
    ListBox1->viewport()->installEventFilter(this);
    Panel1->installEventFilter(this);

    resize(FormWidth, LineHeight);

    FPointerWatch.setInterval(50);
    connect(&FPointerWatch, &QTimer::timeout, this, [this] { ui::Guarded([this] { WatchPointer(); }); });
}

void TfrmDlgMenu::showEvent(QShowEvent* e) {
    TForm::showEvent(e);
    if (FFollowsPointer) FPointerWatch.start();
}

void TfrmDlgMenu::hideEvent(QHideEvent* e) {
    FPointerWatch.stop();
    TForm::hideEvent(e);
}

void TfrmDlgMenu::WatchPointer() {
    // The pointer outside the menu, however it got there, dismisses it; so does a press outside
    // it, which takes the pointer there first.
    if (isVisible() && !rect().contains(mapFromGlobal(QCursor::pos()))) MouseLeave();
}

void TfrmDlgMenu::PressOutside() { done(ui::mrCancel); }

void TfrmDlgMenu::PointerOutside() { MouseLeave(); }

void TfrmDlgMenu::resizeEvent(QResizeEvent* e) {
    // The panel fills the form and the list fills the panel, whatever height the caller sets.
    Panel1->setGeometry(rect());
    ListBox1->setGeometry(Panel1->rect());
    TForm::resizeEvent(e);
}

void TfrmDlgMenu::SetHeight(int height) { resize(FormWidth, height); }

void TfrmDlgMenu::FormActivate() {
    ListBox1->setFocus();
    ListBox1->viewport()->update();
}

bool TfrmDlgMenu::FormKeyDown(int key) {
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        done(ui::mrOK);
        return true;
    case Qt::Key_Escape:
        done(ui::mrCancel);
        return true;
    default:
        return false;
    }
}

void TfrmDlgMenu::ListBox1MouseDown() { done(ui::mrOK); }

void TfrmDlgMenu::ListBox1MouseMove(int y) {
    const int index = y >= 0 ? y / ListBox1->ItemHeight() : -1;
    ListBox1->SetItemIndex(index < ListBox1->Count() ? index : -1);
}

void TfrmDlgMenu::MouseLeave() {
    if (FFollowsPointer) done(ui::mrCancel);
}

bool TfrmDlgMenu::event(QEvent* e) {
    switch (e->type()) {
    case QEvent::WindowActivate:
        ui::Guarded([this] { FormActivate(); });
        break;
    case QEvent::Leave:
        ui::Guarded([this] { MouseLeave(); });
        return true;
    case QEvent::KeyPress: {
        bool handled = false;
        ui::Guarded([&] { handled = FormKeyDown(static_cast<QKeyEvent*>(e)->key()); });
        if (handled) return true;
        break;
    }
    default:
        break;
    }
    return TForm::event(e);
}

bool TfrmDlgMenu::eventFilter(QObject* watched, QEvent* e) {
    bool handled = false;
    ui::Guarded([&] {
        const bool onList = watched == ListBox1 || watched == ListBox1->viewport();
        switch (e->type()) {
        case QEvent::KeyPress:
            if (watched == ListBox1) handled = FormKeyDown(static_cast<QKeyEvent*>(e)->key());
            break;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (onList) {
                ListBox1MouseDown();
                handled = true;
            }
            break;
        case QEvent::MouseMove:
            if (watched == ListBox1->viewport()) {
                ListBox1MouseMove(static_cast<QMouseEvent*>(e)->position().toPoint().y());
                handled = true;
            }
            break;
        case QEvent::Leave:
            // Leaving the lines for the list's own border is no leaving of the menu.
            if (watched != ListBox1->viewport()) MouseLeave();
            break;
        default:
            break;
        }
    });
    return handled || TForm::eventFilter(watched, e);
}
