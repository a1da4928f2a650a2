#include "dialogs/Controls.h"

#include "ui/Application.h"
#include "ui/Big5.h"
#include "ui/Consts.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QScrollBar>
#include <QShowEvent>

namespace dialogs {

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

QFont FaceFont(const char* face, int pixelHeight, bool bold) {
    QFont f(QString::fromUtf8(face));
    f.setPixelSize(pixelHeight);
    f.setBold(bold);
    return f;
}

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

TForm::TForm(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) { setModal(true); }

int TForm::ShowModal() {
    FClosing = false;
    return exec();
}

void TForm::done(int r) {
    if (FClosing) return;
    FClosing = true;
    QDialog::done(r);
}

void TForm::accept() { done(ui::mrOK); }

void TForm::reject() { done(ui::mrCancel); }

void TForm::showEvent(QShowEvent* e) {
    FClosing = false;
    QDialog::showEvent(e);
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

TListBox::TListBox(QWidget* parent, int itemHeight, TBorder border)
    : QListWidget(parent), FItemHeight(itemHeight), FBorder(border) {
    setFrameShape(QFrame::NoFrame);
    setViewportMargins(BorderWidth(), BorderWidth(), BorderWidth(), BorderWidth());
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setSortingEnabled(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
}

namespace {
QListWidgetItem* MakeItem(const std::string& line, int height) {
    auto* item = new QListWidgetItem(ui::Big5ToQString(line));
    item->setData(Qt::UserRole, QByteArray(line.data(), static_cast<qsizetype>(line.size())));
    item->setSizeHint(QSize(1, height));
    return item;
}
}  // namespace

void TListBox::SetItems(const std::vector<std::string>& lines) {
    clear();
    for (const std::string& line : lines) AddItem(line);
}

void TListBox::AddItem(const std::string& line) { addItem(MakeItem(line, FItemHeight)); }

void TListBox::InsertItem(int index, const std::string& line) { insertItem(index, MakeItem(line, FItemHeight)); }

std::vector<std::string> TListBox::Items() const {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(count()));
    for (int i = 0; i < count(); ++i) lines.push_back(Item(i));
    return lines;
}

std::string TListBox::Item(int index) const {
    const QListWidgetItem* it = item(index);
    if (!it) return {};
    QByteArray bytes = it->data(Qt::UserRole).toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

int TListBox::ItemIndex() const {
    const QList<QListWidgetItem*> sel = selectedItems();
    return sel.isEmpty() ? -1 : row(sel.first());
}

void TListBox::SetItemIndex(int index) {
    if (index < 0 || index >= count()) {
        clearSelection();
        setCurrentRow(-1, QItemSelectionModel::Clear);
        return;
    }
    setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    scrollToItem(item(index));
}

int TListBox::BorderWidth() const { return FBorder == TBorder::Sunken ? 2 : FBorder == TBorder::Flat ? 1 : 0; }

bool TListBox::event(QEvent* e) {
    const bool handled = QListWidget::event(e);
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

void TListBox::keyPressEvent(QKeyEvent* e) {
    if (OnKeyDown && OnKeyDown(e->key())) {
        e->accept();
        return;
    }
    const int before = ItemIndex();
    QListWidget::keyPressEvent(e);
    if (ItemIndex() != before && OnClick) OnClick();
}

void TListBox::mousePressEvent(QMouseEvent* e) {
    // A press below the last line leaves the selection as it is.
    if (!itemAt(e->position().toPoint())) {
        e->accept();
        return;
    }
    QListWidget::mousePressEvent(e);
    if (OnClick) OnClick();
}

void TListBox::mouseDoubleClickEvent(QMouseEvent* e) {
    QListWidget::mouseDoubleClickEvent(e);
    if (itemAt(e->position().toPoint()) && OnDblClick) OnDblClick();
}

// ---- TButton ----

TButton::TButton(QWidget* parent, const QString& caption, int modalResult)
    : QPushButton(caption, parent), FModalResult(modalResult) {
    // The toolkit's own button colours, whatever the colours of the panel around it.
    const QPalette app = QApplication::palette();
    QPalette pal = palette();
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        for (QPalette::ColorRole r :
             {QPalette::Button, QPalette::ButtonText, QPalette::Window, QPalette::WindowText, QPalette::Light,
              QPalette::Midlight, QPalette::Dark, QPalette::Mid, QPalette::Shadow, QPalette::Highlight})
            pal.setColor(g, r, app.color(g, r));
    setPalette(pal);
    connect(this, &QPushButton::clicked, this, [this] {
        ui::Guarded([this] {
            if (FModalResult == ui::mrNone) return;
            if (auto* form = qobject_cast<TForm*>(window())) form->done(FModalResult);
        });
    });
}

}  // namespace dialogs
