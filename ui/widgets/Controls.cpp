#include "ui/widgets/Controls.h"

#include "ui/core/Application.h"
#include "ui/core/Big5.h"
#include "ui/core/Consts.h"
#include "ui/widgets/Display.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <utility>

namespace ui {

namespace {

// One pixel of 3-D edge: the top and left lines in one colour, the bottom and right in another.
void DrawEdge(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
    p.setPen(topLeft);
    p.drawLine(r.left(), r.top(), r.right() - 1, r.top());
    p.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
    p.setPen(bottomRight);
    p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    p.drawLine(r.right(), r.top(), r.right(), r.bottom());
}

void DrawBevel(QPainter& p, const QRect& r, TBevel bevel) {
    if (bevel == TBevel::Raised) DrawEdge(p, r, clWhite, clGray);
    if (bevel == TBevel::Lowered) DrawEdge(p, r, clGray, clWhite);
}

// The two-pixel sunken border of edit and list boxes.
void DrawSunkenBorder(QPainter& p, const QRect& r) {
    DrawEdge(p, r, clGray, clWhite);
    DrawEdge(p, r.adjusted(1, 1, -1, -1), clBlack, clSilver);
}

}  // namespace

void SetColors(QWidget* w, const QColor& background, const QColor& text) {
    QPalette pal = w->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(g, QPalette::Window, background);
        pal.setColor(g, QPalette::Base, background);
        pal.setColor(g, QPalette::Button, background);
        pal.setColor(g, QPalette::WindowText, text);
        pal.setColor(g, QPalette::Text, text);
        pal.setColor(g, QPalette::ButtonText, text);
    }
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

int Scaled(int v, double f) { return static_cast<int>(v * f); }

void UseToolkitColors(QWidget* w) {
    const QPalette app = QApplication::palette();
    QPalette pal = w->palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        for (QPalette::ColorRole r : {QPalette::Button, QPalette::ButtonText, QPalette::Window, QPalette::WindowText,
                                      QPalette::Base, QPalette::Text, QPalette::Light, QPalette::Midlight,
                                      QPalette::Dark, QPalette::Mid, QPalette::Shadow, QPalette::Highlight})
            pal.setColor(g, r, app.color(g, r));
    w->setPalette(pal);
}

// ---- TForm ----

namespace {

std::optional<bool> FormsInOwnerWindow;

// The layer a form drawn inside its owner's window lies on: it covers the window, shows nothing
// and takes every press, move, wheel turn and key that is not the form's, so the board under it
// acts on none of them while the form is open.
class TModalLayer : public QWidget {
public:
    explicit TModalLayer(QWidget* window) : QWidget(window), FWindow(window) {
        setAttribute(Qt::WA_NoSystemBackground);
        setMouseTracking(true);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(window->rect());
        window->installEventFilter(this);
    }
    std::function<void()> OnPress;
    std::function<void()> OnMove;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (watched == FWindow && e->type() == QEvent::Resize) setGeometry(FWindow->rect());
        return false;
    }
    bool event(QEvent* e) override {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (OnPress) ui::Guarded([this] { OnPress(); });
            return true;
        case QEvent::MouseMove:
            if (OnMove) ui::Guarded([this] { OnMove(); });
            return true;
        case QEvent::MouseButtonRelease:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
            e->accept();
            return true;
        default:
            return QWidget::event(e);
        }
    }

private:
    QWidget* FWindow;
};

}  // namespace

TForm::TForm(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) { setModal(true); }

TForm::~TForm() {
    if (FLoop) FLoop->exit(ui::mrCancel);
}

void TForm::SetInOwnerWindow(std::optional<bool> inside) { FormsInOwnerWindow = inside; }

bool TForm::InOwnerWindow() const {
    if (!parentWidget()) return false;
    return FormsInOwnerWindow.value_or(WaylandSession());
}

int TForm::ShowModal() {
    FClosing = false;
    if (InOwnerWindow()) return RunInOwnerWindow(parentWidget()->window());
    return exec();
}

int TForm::RunInOwnerWindow(QWidget* top) {
    // The caller placed the form in screen coordinates, as the owner's window maps them.
    const QPoint at = top->mapFromGlobal(pos());
    QPointer<QWidget> focus = focusWidget();
    const Qt::WindowFlags flags = windowFlags();
    QPointer<TModalLayer> layer = new TModalLayer(top);
    layer->OnPress = [this] { PressOutside(); };
    layer->OnMove = [this] { PointerOutside(); };
    setParent(layer, Qt::Widget);
    move(at);
    layer->show();
    layer->raise();
    setResult(0);
    QPointer<TForm> self = this;
    QEventLoop loop;
    FLoop = &loop;
    show();
    // The owner's window is the active one already: the form hears of it as a window would.
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(this, &activate);
    if (focus && focus != this && isAncestorOf(focus))
        focus->setFocus(Qt::ActiveWindowFocusReason);
    else if (!focusWidget())
        setFocus(Qt::ActiveWindowFocusReason);
    loop.exec(QEventLoop::DialogExec);
    if (!self) {
        // Deleted while open: the layer must not stay over the board, taking its input.
        if (layer) layer->deleteLater();
        return ui::mrCancel;
    }
    FLoop = nullptr;
    hide();
    // Back to a hidden window of the owner's, which the caller deletes; the layer goes once the
    // events on the stack are done with it.
    setParent(top, flags);
    if (layer) {
        layer->hide();
        layer->deleteLater();
    }
    return result();
}

void TForm::done(int r) {
    if (FClosing) return;
    FClosing = true;
    QDialog::done(r);
    if (FLoop) FLoop->exit(r);
}

void TForm::accept() { done(ui::mrOK); }

void TForm::reject() { done(ui::mrCancel); }

QScreen* TForm::OwnerScreen() const {
    QScreen* s = nullptr;
    if (QWidget* owner = parentWidget()) s = owner->window()->screen();
    if (!s) s = screen();
    return s ? s : QGuiApplication::primaryScreen();
}

QRect TForm::ScreenArea() const {
    if (!isWindow() && parentWidget()) return parentWidget()->rect();
    QScreen* s = QGuiApplication::screenAt(geometry().center());
    if (!s) s = OwnerScreen();
    return s ? s->availableGeometry() : QRect();
}

double TForm::ScreenFactor() const {
    const QScreen* s = OwnerScreen();
    return s ? std::max(1.0, s->geometry().height() / double(ReferenceHeight)) : 1.0;
}

void TForm::showEvent(QShowEvent* e) {
    FClosing = false;
    ui::Guarded([this] {
        ScaleToScreen();
        FitInto(ScreenArea());
    });
    QDialog::showEvent(e);
    QTimer::singleShot(0, this, [this] { activateWindow(); });
}

QRect Scaled(const QRect& r, double f) {
    return QRect(Scaled(r.x(), f), Scaled(r.y(), f), std::max(1, Scaled(r.width(), f)),
                 std::max(1, Scaled(r.height(), f)));
}

namespace {
void ScaleFont(QWidget* w, double f) {
    QFont font = w->font();
    if (font.pixelSize() > 0) font.setPixelSize(std::max(1, Scaled(font.pixelSize(), f)));
    w->setFont(font);
}
}  // namespace

void TForm::FitInto(const QRect& area) {
    if (area.isEmpty()) return;
    if (width() > area.width() || height() > area.height())
        ScaleForm(std::min(double(area.width()) / width(), double(area.height()) / height()));
    const int left = std::clamp(x(), area.left(), std::max(area.left(), area.right() + 1 - width()));
    const int top = std::clamp(y(), area.top(), std::max(area.top(), area.bottom() + 1 - height()));
    if (left != x() || top != y()) move(left, top);
}

void TForm::ScaleToScreen() {
    // Drawn for a 1080-line screen: on a taller one whose desktop scales nothing, the form grows
    // with the screen so that its keys keep their size on the glass.
    if (FScaledToScreen) return;
    FScaledToScreen = true;
    if (const double f = ScreenFactor(); f > 1) ScaleForm(f);
}

void TForm::ScaleForm(double f) {
    const QSize size(Scaled(width(), f), Scaled(height(), f));
    const bool fixed = minimumSize() == maximumSize();
    ScaleControls(f);
    ScaleFont(this, f);
    if (fixed) setFixedSize(size);
    resize(size);
}

void TForm::ScaleControls(double f) {
    // The controls this unit builds, each placed by its form; what they hold inside (a list's
    // viewport, a scroll bar) follows them.
    for (QWidget* w : findChildren<QWidget*>()) {
        const bool placed = qobject_cast<TPanel*>(w) || qobject_cast<TEdit*>(w) || qobject_cast<TListBox*>(w) ||
                            qobject_cast<TButton*>(w);
        if (!placed) continue;
        w->setGeometry(Scaled(w->geometry(), f));
        if (auto* list = qobject_cast<TListBox*>(w))
            list->ScaleBy(f);
        else
            ScaleFont(w, f);
    }
}

// ---- TPanel ----

TPanel::TPanel(QWidget* parent, const QColor& color, TBevel outer, TBevel inner)
    : QFrame(parent), FColor(color), FOuter(outer), FInner(inner) {
    SetColors(this, color, clWhite);
    setContentsMargins(BorderWidth(), BorderWidth(), BorderWidth(), BorderWidth());
}

void TPanel::SetCaption(const QString& caption) {
    FCaption = caption;
    update();
}

int TPanel::BorderWidth() const { return (FOuter != TBevel::None ? 1 : 0) + (FInner != TBevel::None ? 1 : 0); }

void TPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), FColor);
    QRect r = rect();
    if (FOuter != TBevel::None) {
        DrawBevel(p, r, FOuter);
        r.adjust(1, 1, -1, -1);
    }
    if (FInner != TBevel::None) {
        DrawBevel(p, r, FInner);
        r.adjust(1, 1, -1, -1);
    }
    if (!FCaption.isEmpty()) {
        p.setFont(font());
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(r, Qt::AlignCenter, FCaption);
    }
}

// ---- TEdit ----

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {
    setFrame(false);
    setTextMargins(2, 0, 2, 0);
}

std::string TEdit::Text() const { return text() == FShown ? FBytes : ui::QStringToBig5(text()); }

void TEdit::SetText(const std::string& big5) {
    // The bytes are in place before the change notification that setText sends.
    FBytes = big5;
    FShown = ui::Big5ToQString(big5);
    setText(FShown);
}

void TEdit::CaretToEnd() {
    deselect();
    setCursorPosition(static_cast<int>(text().size()));
}

void TEdit::paintEvent(QPaintEvent* e) {
    QLineEdit::paintEvent(e);
    QPainter p(this);
    DrawSunkenBorder(p, rect());
}

// ---- TListBox ----

namespace {
// Every line of a list the list's line height (the width is the list's own).
class TLineDelegate : public QStyledItemDelegate {
public:
    explicit TLineDelegate(TListBox* list) : QStyledItemDelegate(list), FList(list) {}
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(1, FList->ItemHeight());
    }
    void HeightChanged() { emit sizeHintChanged(QModelIndex()); }

private:
    TListBox* FList;
};
}  // namespace

// ---- TListRows ----

QString TListItem::text() const { return FIndex.data(Qt::DisplayRole).toString(); }

void TListRows::SetRows(std::shared_ptr<const TListLines> lines, std::vector<std::size_t> rows) {
    if (!lines) lines = std::make_shared<TListLines>();
    const std::size_t size = std::min(lines->Bytes.size(), static_cast<std::size_t>(lines->Shown.size()));
    std::erase_if(rows, [size](std::size_t row) { return row >= size; });
    beginResetModel();
    FLines = std::move(lines);
    FRows = std::move(rows);
    endResetModel();
}

const std::string& TListRows::Bytes(int row) const { return FLines->Bytes[FRows[static_cast<std::size_t>(row)]]; }

int TListRows::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

QVariant TListRows::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= Count() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
    return FLines->Shown[static_cast<qsizetype>(FRows[static_cast<std::size_t>(index.row())])];
}

Qt::ItemFlags TListRows::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

// ---- TListBox ----

TListBox::TListBox(QWidget* parent, int itemHeight, TBorder border)
    : QListView(parent), FItemHeight(itemHeight), FBorder(border), FRows(new TListRows(this)) {
    setModel(FRows);
    setFrameShape(QFrame::NoFrame);
    setViewportMargins(BorderWidth(), BorderWidth(), BorderWidth(), BorderWidth());
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
    setItemDelegate(new TLineDelegate(this));
}

void TListBox::SetItems(std::vector<std::string> lines) {
    auto shared = std::make_shared<TListLines>();
    shared->Shown = ui::Big5ToQStrings(lines);
    shared->Bytes = std::move(lines);
    std::vector<std::size_t> rows(shared->Bytes.size());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = i;
    FRows->SetRows(std::move(shared), std::move(rows));
}

void TListBox::SetItems(std::vector<std::string> lines, const QStringList& shown) {
    if (shown.size() != static_cast<qsizetype>(lines.size())) return SetItems(std::move(lines));
    auto shared = std::make_shared<TListLines>();
    shared->Bytes = std::move(lines);
    shared->Shown = shown;
    std::vector<std::size_t> rows(shared->Bytes.size());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = i;
    FRows->SetRows(std::move(shared), std::move(rows));
}

void TListBox::SetRows(std::shared_ptr<const TListLines> lines, std::vector<std::size_t> rows) {
    FRows->SetRows(std::move(lines), std::move(rows));
}

void TListBox::AddItem(const std::string& line) { InsertItem(Count(), line); }

void TListBox::InsertItem(int index, const std::string& line) {
    // The shared lines stay as they are: the list takes a copy of its own rows with the new one.
    index = std::clamp(index, 0, Count());
    std::vector<std::string> lines = Items();
    lines.insert(lines.begin() + index, line);
    QStringList shown;
    shown.reserve(static_cast<qsizetype>(lines.size()));
    for (std::size_t row : FRows->Rows()) shown.push_back(FRows->Lines()->Shown[static_cast<qsizetype>(row)]);
    shown.insert(index, ui::Big5ToQString(line));
    SetItems(std::move(lines), shown);
}

std::vector<std::string> TListBox::Items() const {
    std::vector<std::string> r;
    r.reserve(FRows->Rows().size());
    for (std::size_t row : FRows->Rows()) r.push_back(FRows->Lines()->Bytes[row]);
    return r;
}

std::string TListBox::Item(int index) const {
    if (index < 0 || index >= Count()) return {};
    return FRows->Bytes(index);
}

TListItem TListBox::item(int row) const { return TListItem(FRows->index(row, 0)); }

int TListBox::ItemIndex() const {
    const QModelIndexList sel = selectionModel()->selectedIndexes();
    return sel.isEmpty() ? -1 : sel.first().row();
}

void TListBox::SelectRow(int row, bool scroll) {
    if (row < 0 || row >= Count()) {
        clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::Clear);
        return;
    }
    const QModelIndex index = FRows->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    if (scroll) scrollTo(index);
}

void TListBox::SetItemIndex(int index) { SelectRow(index, true); }

int TListBox::BorderWidth() const { return FBorder == TBorder::Sunken ? 2 : FBorder == TBorder::Flat ? 1 : 0; }

bool TListBox::event(QEvent* e) {
    const bool handled = QListView::event(e);
    if (e->type() == QEvent::Paint && FBorder != TBorder::None) {
        QPainter p(this);
        if (FBorder == TBorder::Sunken) {
            DrawSunkenBorder(p, rect());
        } else {
            p.setPen(clBlack);
            p.drawRect(rect().adjusted(0, 0, -1, -1));
        }
    }
    return handled;
}

void TListBox::ScaleBy(double f) {
    FItemHeight = std::max(1, Scaled(FItemHeight, f));
    static_cast<TLineDelegate*>(itemDelegate())->HeightChanged();
    ScaleFont(this, f);
}

void TListBox::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        // The form's keys: default button, cancel button, focus. The list leaves them alone.
        e->ignore();
        return;
    default:
        break;
    }
    // Whatever moves the selection, the key handler or the list itself, is told as a click.
    const int before = ItemIndex();
    if (OnKeyDown && OnKeyDown(e->key())) {
        e->accept();
    } else {
        QListView::keyPressEvent(e);
    }
    if (ItemIndex() != before && OnClick) OnClick();
}

void TListBox::mousePressEvent(QMouseEvent* e) {
    e->accept();
    if (e->button() != Qt::LeftButton) return;
    // Only presses on an active window count towards a double-click.
    if (window()->isActiveWindow()) {
        FPrevPress = FLastPress;
        FLastPress = e->timestamp();
    } else {
        FPrevPress = FLastPress = 0;
    }
    FPressed = true;
    FDragging = false;
    FPressPos = e->position().toPoint();
    FPressScroll = verticalScrollBar()->value();
}

void TListBox::mouseMoveEvent(QMouseEvent* e) {
    if (!FPressed) {
        // No button held: the list's own hover handling, which selects nothing.
        if (e->buttons() == Qt::NoButton) QListView::mouseMoveEvent(e);
        e->accept();
        return;
    }
    e->accept();
    const int dy = e->position().toPoint().y() - FPressPos.y();
    if (!FDragging && std::abs(dy) < QApplication::startDragDistance()) return;
    FDragging = true;
    // The lines follow the finger, a whole line at a time.
    const int lines = static_cast<int>(std::lround(double(dy) / std::max(1, FItemHeight)));
    verticalScrollBar()->setValue(FPressScroll - lines);
}

void TListBox::mouseReleaseEvent(QMouseEvent* e) {
    e->accept();
    if (e->button() != Qt::LeftButton || !FPressed) return;
    FPressed = false;
    if (FDragging) {
        FDragging = false;
        FPrevPress = FLastPress = 0;  // a drag is no half of a double-click
        return;
    }
    // A tap: the line under it is selected; a tap below the last line leaves the selection.
    const QModelIndex it = indexAt(FPressPos);
    if (!it.isValid()) return;
    SelectRow(it.row(), false);
    if (OnClick) OnClick();
}

void TListBox::mouseDoubleClickEvent(QMouseEvent* e) {
    e->accept();
    if (e->button() != Qt::LeftButton) return;
    const quint64 interval = static_cast<quint64>(QApplication::doubleClickInterval());
    // A window system's double-click comes in place of the second press (press, release,
    // double-click, release); where the second press came too, it carries the double-click's own
    // time. Either way the first half is the counted press before the second.
    const quint64 now = e->timestamp();
    const quint64 first = FLastPress == now ? FPrevPress : FLastPress;
    const bool active = window()->isActiveWindow();
    const bool both = active && first != 0 && now >= first && now - first <= interval;
    const QModelIndex it = indexAt(e->position().toPoint());
    if (!both || !it.isValid()) return;
    FPressed = false;
    FPrevPress = FLastPress = 0;
    if (ItemIndex() != it.row()) {
        SelectRow(it.row(), false);
        if (OnClick) OnClick();
    }
    if (OnDblClick) OnDblClick();
}

// ---- TButton ----

TButton::TButton(QWidget* parent, const QString& caption, int modalResult)
    : QPushButton(caption, parent), FModalResult(modalResult) {
    UseToolkitColors(this);
    connect(this, &QPushButton::clicked, this, [this] {
        ui::Guarded([this] {
            if (FModalResult == ui::mrNone) return;
            // The form the button is on, a window or drawn inside its owner's.
            for (QWidget* w = parentWidget(); w; w = w->parentWidget())
                if (auto* form = qobject_cast<TForm*>(w)) return form->done(FModalResult);
        });
    });
}

}  // namespace ui
