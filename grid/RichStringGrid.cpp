#include "grid/RichStringGrid.h"

#include "grid/GridText.h"
#include "ui/core/Application.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace grid {

void PrepareRendering() {
    bool ok = false;
    const int cached = qEnvironmentVariableIntValue("QT_MAX_CACHED_GLYPH_SIZE", &ok);
    if (ok && cached > 64) qunsetenv("QT_MAX_CACHED_GLYPH_SIZE");
}

// ---------------------------------------------------------------------------------------------
// The grid

TRichStringGrid::TRichStringGrid(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    ResizeCells();
}

TRichStringGrid::~TRichStringGrid() = default;

void TRichStringGrid::ResizeCells() {
    std::vector<TCell> cells(static_cast<std::size_t>(FColCount) * FRowCount);
    for (int r = 0; r < FRowCount; ++r)
        for (int c = 0; c < FColCount; ++c)
            if (const TCell* old = CellAt(c, r)) cells[static_cast<std::size_t>(r) * FColCount + c].Set(old->Text);
    FCells = std::move(cells);
}

TRichStringGrid::TCell* TRichStringGrid::CellAt(int col, int row) {
    if (col < 0 || row < 0 || col >= FColCount || row >= FRowCount) return nullptr;
    std::size_t i = static_cast<std::size_t>(row) * FColCount + col;
    return i < FCells.size() ? &FCells[i] : nullptr;
}

const TRichStringGrid::TCell* TRichStringGrid::CellAt(int col, int row) const {
    return const_cast<TRichStringGrid*>(this)->CellAt(col, row);
}

void TRichStringGrid::SetColCount(int value) {
    value = std::max(1, value);
    if (value == FColCount) return;
    // Cells keep their (column, row) place: rebuild the store for the new width.
    std::vector<TCell> cells(static_cast<std::size_t>(value) * FRowCount);
    for (int r = 0; r < FRowCount; ++r)
        for (int c = 0; c < std::min(value, FColCount); ++c)
            cells[static_cast<std::size_t>(r) * value + c].Set(CellAt(c, r)->Text);
    FColCount = value;
    FCells = std::move(cells);
    if (FCol >= FColCount) FCol = FColCount - 1;
    update();
}

void TRichStringGrid::SetRowCount(int value) {
    value = std::max(1, value);
    if (value == FRowCount) return;
    FRowCount = value;
    FCells.resize(static_cast<std::size_t>(FColCount) * FRowCount);
    if (FRow >= FRowCount) FRow = FRowCount - 1;
    update();
}

void TRichStringGrid::SetDefaultColWidth(int value) {
    value = std::max(0, value);
    if (value == FColWidth) return;
    FColWidth = value;
    update();
}

void TRichStringGrid::SetDefaultRowHeight(int value) {
    value = std::max(0, value);
    if (value == FRowHeight) return;
    FRowHeight = value;
    update();
}

void TRichStringGrid::SetGridLineWidth(int value) {
    value = std::max(0, value);
    if (value == FLineWidth) return;
    FLineWidth = value;
    update();
}

void TRichStringGrid::SetGridLineColor(const QColor& value) {
    FLineColor = value;
    update();
}

void TRichStringGrid::SetFont(const TGridFont& value) {
    FFont = value;
    update();
}

void TRichStringGrid::SetColor(const QColor& value) {
    FColor = value;
    update();
}

void TRichStringGrid::SetSelectionColor(const QColor& value) {
    FSelectionColor = value;
    InvalidateSelection();
}

void TRichStringGrid::SetSelectionTextColor(const QColor& value) {
    FSelectionTextColor = value;
    InvalidateSelection();
}

void TRichStringGrid::SetActiveCellShow(bool value) {
    FActiveCellShow = value;
    InvalidateCell(FCol, FRow);
}

void TRichStringGrid::SetFitText(bool value) {
    if (value == FFitText) return;
    FFitText = value;
    update();
}

void TRichStringGrid::SetRowSelect(bool value) {
    if (value == FRowSelect) return;
    FRowSelect = value;
    InvalidateRow(FRow);
}

bool TRichStringGrid::SetRow(int value) {
    if (value < 0 || value >= FRowCount) return false;
    MoveTo(FCol, value);
    return FRow == value;
}

void TRichStringGrid::SetCol(int value) {
    if (value < 0 || value >= FColCount) return;
    MoveTo(value, FRow);
}

void TRichStringGrid::MoveTo(int col, int row) {
    if (row != FRow) {
        bool allow = true;
        if (OnRowChanging) OnRowChanging(this, FRow, row, allow);
        if (!allow) return;
    }
    if (col == FCol && row == FRow) return;
    InvalidateSelection();
    FCol = col;
    FRow = row;
    InvalidateSelection();
}

bool TRichStringGrid::IsSelected(int col, int row) const { return row == FRow && (FRowSelect || col == FCol); }

std::string TRichStringGrid::Cells(int col, int row) const {
    const TCell* cell = CellAt(col, row);
    return cell ? cell->Text : std::string();
}

void TRichStringGrid::SetCells(int col, int row, const std::string& text) {
    TCell* cell = CellAt(col, row);
    if (!cell) return;
    cell->Set(text);
    InvalidateCell(col, row);
}

void TRichStringGrid::SetRowCommaText(int row, const std::string& commaText) {
    if (row < 0 || row >= FRowCount) return;
    for (int c = 0; c < FColCount; ++c) CellAt(c, row)->Set(std::string());
    int col = 0;
    std::size_t start = 0;
    while (col < FColCount) {
        std::size_t comma = commaText.find(',', start);
        std::string item = commaText.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        CellAt(col++, row)->Set(item.empty() ? std::string(" ") : item);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    InvalidateRow(row);
}

std::string TRichStringGrid::RowCommaText(int row) const {
    std::string text;
    for (int c = 0; c < FColCount; ++c) {
        if (c) text += ',';
        text += Cells(c, row);
    }
    return text;
}

void TRichStringGrid::ClearCells() {
    for (TCell& cell : FCells) cell.Set(std::string());
    update();
}

std::optional<double> TRichStringGrid::CellNumber(int col, int row) const {
    return CellNumber(col, row, TNumberFormat::Locale());
}

std::optional<double> TRichStringGrid::CellNumber(int col, int row, TNumberFormat format) const {
    const TCell* cell = CellAt(col, row);
    return ReadCellNumber(cell ? std::string_view(cell->Text) : std::string_view(), format);
}

QRect TRichStringGrid::CellRect(int col, int row) const {
    if (col < 0 || row < 0 || col >= FColCount || row >= FRowCount) return {};
    return QRect(col * (FColWidth + FLineWidth), row * (FRowHeight + FLineWidth), FColWidth, FRowHeight);
}

void TRichStringGrid::MouseToCell(int x, int y, int& col, int& row) const {
    col = row = -1;
    if (x < 0 || y < 0) return;
    int c = FColWidth + FLineWidth > 0 ? x / (FColWidth + FLineWidth) : -1;
    int r = FRowHeight + FLineWidth > 0 ? y / (FRowHeight + FLineWidth) : -1;
    if (c < 0 || r < 0 || c >= FColCount || r >= FRowCount) return;
    // A point on a grid line belongs to the cell before the line, as a press there selects it.
    col = c;
    row = r;
}

void TRichStringGrid::InvalidateCell(int col, int row) {
    QRect r = CellRect(col, row);
    if (!r.isEmpty()) update(r.adjusted(0, 0, FLineWidth, FLineWidth));
}

void TRichStringGrid::InvalidateRow(int row) {
    if (row < 0 || row >= FRowCount) return;
    update(QRect(0, row * (FRowHeight + FLineWidth), FColCount * (FColWidth + FLineWidth), FRowHeight + FLineWidth));
}

void TRichStringGrid::InvalidateSelection() {
    if (FRowSelect)
        InvalidateRow(FRow);
    else
        InvalidateCell(FCol, FRow);
}

void TRichStringGrid::paintEvent(QPaintEvent* event) {
    std::exception_ptr failure;
    QPainter painter(this);
    const QRect dirty = event->rect();
    const int pitchX = FColWidth + FLineWidth;
    const int pitchY = FRowHeight + FLineWidth;
    const int gridW = FColCount * pitchX;
    const int gridH = FRowCount * pitchY;

    // The area right of and below the cells.
    if (dirty.right() >= gridW)
        painter.fillRect(QRect(gridW, dirty.top(), dirty.right() - gridW + 1, dirty.height()), FColor);
    if (dirty.bottom() >= gridH)
        painter.fillRect(QRect(dirty.left(), gridH, std::min(dirty.right(), gridW - 1) - dirty.left() + 1,
                               dirty.bottom() - gridH + 1),
                         FColor);
    if (pitchX <= 0 || pitchY <= 0) return;

    const int c0 = std::max(0, dirty.left() / pitchX);
    const int c1 = std::min(FColCount - 1, dirty.right() / pitchX);
    const int r0 = std::max(0, dirty.top() / pitchY);
    const int r1 = std::min(FRowCount - 1, dirty.bottom() / pitchY);

    if (FLineWidth > 0) {
        for (int c = c0; c <= c1; ++c) {
            QRect line = QRect(c * pitchX + FColWidth, 0, FLineWidth, gridH) & dirty;
            if (!line.isEmpty()) painter.fillRect(line, FLineColor);
        }
        for (int r = r0; r <= r1; ++r) {
            QRect line = QRect(0, r * pitchY + FRowHeight, gridW, FLineWidth) & dirty;
            if (!line.isEmpty()) painter.fillRect(line, FLineColor);
        }
    }
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c) {
            QRect rect = CellRect(c, r);
            if (rect.intersects(dirty)) DrawCell(painter, c, r, rect, failure);
        }
    // A handler's error reaches the application once per paint, after painting, and never Qt.
    painter.end();
    if (failure) ui::HandleException(failure);
}

void TRichStringGrid::DrawCell(QPainter& painter, int col, int row, const QRect& rect, std::exception_ptr& failure) {
    // Runs a handler; false when it failed (its error kept in failure).
    auto fire = [&failure](auto&& handler) {
        try {
            handler();
            return true;
        } catch (...) {
            if (!failure) failure = std::current_exception();
            return false;
        }
    };
    TGridDrawState state;
    state.Selected = IsSelected(col, row);
    state.Focused = col == FCol && row == FRow && hasFocus();
    QBrush brush(FColor);
    TGridFont font = FFont;
    if (OnGetCellColor && !fire([&] { OnGetCellColor(this, row, col, state, brush, font); })) {
        brush = QBrush(FColor);
        font = FFont;
    }
    const bool overrideText = state.Selected && FSelectionTextColor.isValid();
    if (state.Selected) {
        brush = QBrush(FSelectionColor);
        if (overrideText) font.Color = FSelectionTextColor;
    }
    painter.fillRect(rect, brush);

    const TCell* cell = CellAt(col, row);
    if (cell && !cell->Text.empty()) {
        THAlign hAlign = THAlign::Left;
        TVAlign vAlign = TVAlign::Center;
        if (OnGetAlignment && !fire([&] { OnGetAlignment(this, row, col, hAlign, vAlign); })) {
            hAlign = THAlign::Left;
            vAlign = TVAlign::Center;
        }
        DrawText(painter, *cell, font, overrideText, rect, hAlign, vAlign);
    }
    if (FActiveCellShow && state.Focused) {
        painter.save();
        QPen pen(font.Color);
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect.adjusted(1, 1, -2, -2));
        painter.restore();
    }
}

void TRichStringGrid::DrawText(QPainter& painter, const TCell& cell, const TGridFont& font, bool overrideText,
                               const QRect& rect, THAlign hAlign, TVAlign vAlign) const {
    const TFontEntry& entry = FontEntry(font);
    const qreal dpr = painter.device()->devicePixelRatioF();
    const std::shared_ptr<const TTextImage> held = TextImage(cell, font, entry, overrideText, rect.width(), dpr);
    const TTextImage& image = *held;
    if (image.Image.isNull()) return;  // no ink

    int x = rect.left();
    if (hAlign == THAlign::Right)
        x = rect.right() + 1 - image.Width;
    else if (hAlign == THAlign::Center)
        x = rect.left() + (rect.width() - image.Width) / 2;
    int top = rect.top();
    if (vAlign == TVAlign::Bottom)
        top = rect.bottom() + 1 - image.Height;
    else if (vAlign == TVAlign::Center)
        top = rect.top() + (rect.height() - image.Height) / 2;

    // The part of the text's image that falls inside the cell.
    const QSize logical = image.Image.deviceIndependentSize().toSize();
    const QRect target(x - image.Origin.x(), top - image.Origin.y(), logical.width(), logical.height());
    const QRect shown = target & rect;
    if (!shown.isEmpty()) {
        const QRectF source(QPointF(shown.topLeft() - target.topLeft()) * dpr, QSizeF(shown.size()) * dpr);
        painter.drawImage(QRectF(shown), image.Coverage ? TintedImage(cell, image, font.Color.rgba()) : image.Image,
                          source);
    }
}

void TRichStringGrid::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (OnResize) ui::Guarded([this] { OnResize(this); });
}

void TRichStringGrid::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        int col, row;
        MouseToCell(p.x(), p.y(), col, row);
        if (col >= 0 && row >= 0) ui::Guarded([&] { MoveTo(col, row); });
    }
    event->accept();
    if (OnMouseDown)
        ui::Guarded([&] { OnMouseDown(this, event->button(), event->buttons(), event->modifiers(), p.x(), p.y()); });
}

void TRichStringGrid::keyPressEvent(QKeyEvent* event) {
    int col = FCol, row = FRow;
    switch (event->key()) {
    case Qt::Key_Up:
        --row;
        break;
    case Qt::Key_Down:
        ++row;
        break;
    case Qt::Key_Left:
        if (FRowSelect) return event->accept();
        --col;
        break;
    case Qt::Key_Right:
        if (FRowSelect) return event->accept();
        ++col;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    if (col < 0 || row < 0 || col >= FColCount || row >= FRowCount) return;
    ui::Guarded([&] { MoveTo(col, row); });
}

}  // namespace grid
