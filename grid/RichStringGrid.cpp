#include "grid/RichStringGrid.h"

#include "ui/Application.h"
#include "ui/Big5.h"

#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace grid {

// ---------------------------------------------------------------------------------------------
// Numbers

TNumberFormat TNumberFormat::Locale() {
    QLocale locale;  // the system locale unless the program set another default
    auto single = [](const QString& s) -> char {
        return s.size() == 1 && s.at(0).unicode() > 0x20 && s.at(0).unicode() < 0x7f
                   ? static_cast<char>(s.at(0).unicode())
                   : '\0';
    };
    TNumberFormat f;
    f.DecimalSeparator = single(locale.decimalPoint());
    f.ThousandSeparator = single(locale.groupSeparator());
    return f;
}

std::optional<double> ReadCellNumber(std::string_view text, TNumberFormat format) {
    auto isSep = [&](char ch) {
        return ch != '\0' && (ch == format.DecimalSeparator || ch == format.ThousandSeparator);
    };
    auto isDigit = [](char ch) { return ch >= '0' && ch <= '9'; };
    bool negative = text.size() >= 2 && text.front() == '(' && text.back() == ')';
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (n - i >= 2) {
        char ch = text[i];
        if (isDigit(ch) || ch == 'E' || ch == 'e' || isSep(ch)) break;
        if (ch == '-') negative = true;
        ++i;
    }
    std::string taken;
    for (; i < n; ++i) {
        char ch = text[i];
        if (ch != '\0' && ch == format.ThousandSeparator) continue;
        if (ch != '\0' && ch == format.DecimalSeparator) {
            taken += '.';
            continue;
        }
        if (isDigit(ch) || ch == '+' || ch == '-' || ch == '.' || ch == 'E' || ch == 'e') {
            taken += ch;
            continue;
        }
        break;
    }
    if (taken.empty() || taken == "-") return 0.0;
    const char* first = taken.data();
    const char* last = taken.data() + taken.size();
    if (*first == '+') ++first;  // from_chars takes no plus sign
    double value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || first == last) return std::nullopt;
    return negative ? -value : value;
}

// ---------------------------------------------------------------------------------------------
// HTML cells

bool IsHtmlText(std::string_view text) {
    return text.find("</") != std::string_view::npos || text.find("<B") != std::string_view::npos ||
           text.find("<I") != std::string_view::npos;
}

namespace {

QString DecodeEntity(const QString& name) {
    if (name == u"amp") return QStringLiteral("&");
    if (name == u"lt") return QStringLiteral("<");
    if (name == u"gt") return QStringLiteral(">");
    if (name == u"quot") return QStringLiteral("\"");
    if (name == u"apos") return QStringLiteral("'");
    if (name == u"nbsp") return QString(QChar(0x00a0));
    if (name.startsWith(u'#')) {
        bool ok = false;
        uint code = name.size() > 1 && (name.at(1) == u'x' || name.at(1) == u'X') ? name.mid(2).toUInt(&ok, 16)
                                                                                  : name.mid(1).toUInt(&ok, 10);
        if (ok && code > 0 && code <= 0x10ffff) {
            char32_t c = code;
            return QString::fromUcs4(&c, 1);
        }
    }
    return {};
}

// The value of attribute "color" in the inside of a tag, quoted or not.
QColor FontColorOf(const QString& tag) {
    int at = tag.indexOf(QStringLiteral("color"), 0, Qt::CaseInsensitive);
    if (at < 0) return {};
    int i = at + 5;
    while (i < tag.size() && tag.at(i).isSpace()) ++i;
    if (i >= tag.size() || tag.at(i) != u'=') return {};
    ++i;
    while (i < tag.size() && tag.at(i).isSpace()) ++i;
    QString value;
    if (i < tag.size() && (tag.at(i) == u'"' || tag.at(i) == u'\'')) {
        QChar quote = tag.at(i++);
        int end = tag.indexOf(quote, i);
        value = tag.mid(i, end < 0 ? -1 : end - i);
    } else {
        int end = i;
        while (end < tag.size() && !tag.at(end).isSpace() && tag.at(end) != u'/') ++end;
        value = tag.mid(i, end - i);
    }
    QColor c = QColor::fromString(value.trimmed());
    return c.isValid() ? c : QColor();
}

}  // namespace

std::vector<THtmlRun> ParseHtmlRuns(const QString& html, bool bold, bool italic) {
    struct TOpen {
        QString Name;
        THtmlRun Style;
    };
    std::vector<THtmlRun> runs;
    THtmlRun style;
    style.Bold = bold;
    style.Italic = italic;
    std::vector<TOpen> open;
    QString text;
    auto flush = [&] {
        if (text.isEmpty()) return;
        THtmlRun run = style;
        run.Text = text;
        text.clear();
        if (!runs.empty() && runs.back().Bold == run.Bold && runs.back().Italic == run.Italic &&
            runs.back().Underline == run.Underline && runs.back().Color == run.Color)
            runs.back().Text += run.Text;
        else
            runs.push_back(std::move(run));
    };
    const int n = html.size();
    for (int i = 0; i < n;) {
        QChar ch = html.at(i);
        if (ch == u'<') {
            int end = html.indexOf(u'>', i + 1);
            if (end < 0) {  // an unfinished tag is hidden to the end of the text
                break;
            }
            QString inside = html.mid(i + 1, end - i - 1).trimmed();
            i = end + 1;
            bool closing = inside.startsWith(u'/');
            if (closing) inside = inside.mid(1).trimmed();
            int nameEnd = 0;
            while (nameEnd < inside.size() && (inside.at(nameEnd).isLetterOrNumber())) ++nameEnd;
            QString name = inside.left(nameEnd).toLower();
            if (name == u"strong") name = QStringLiteral("b");
            if (name == u"em") name = QStringLiteral("i");
            if (name != u"b" && name != u"i" && name != u"u" && name != u"font") continue;
            flush();
            if (closing) {
                for (auto it = open.rbegin(); it != open.rend(); ++it) {
                    if (it->Name == name) {
                        style = it->Style;
                        open.erase(std::next(it).base(), open.end());
                        break;
                    }
                }
                continue;
            }
            if (inside.endsWith(u'/')) continue;  // <b/> formats nothing
            open.push_back({name, style});
            if (name == u"b") style.Bold = true;
            if (name == u"i") style.Italic = true;
            if (name == u"u") style.Underline = true;
            if (name == u"font") {
                QColor c = FontColorOf(inside);
                if (c.isValid()) style.Color = c;
            }
            continue;
        }
        if (ch == u'&') {
            int end = html.indexOf(u';', i + 1);
            if (end > i + 1 && end - i <= 10) {
                QString decoded = DecodeEntity(html.mid(i + 1, end - i - 1));
                if (!decoded.isEmpty()) {
                    text += decoded;
                    i = end + 1;
                    continue;
                }
            }
        }
        if (ch == u'\r' || ch == u'\n' || ch == u'\t') ch = u' ';
        text += ch;
        ++i;
    }
    flush();
    return runs;
}

// ---------------------------------------------------------------------------------------------
// The grid

struct TRichStringGrid::TTextImage {
    QImage Image;   // the text on a transparent ground
    QPoint Origin;  // where the text's box (advance by ascent + descent) starts in the image
    int Width = 0;  // the box in pixels
    int Height = 0;
    // What the image was drawn for.
    int FontId = 0;
    QRgb Color = 0;
    bool OverrideText = false;
    int FitWidth = 0;
    qreal Dpr = 1;
};

struct TRichStringGrid::TCell {
    std::string Text;
    // What painting needs, made from Text when first drawn.
    mutable bool Prepared = false;
    mutable bool Html = false;
    mutable QString Decoded;
    mutable std::vector<THtmlRun> Runs;
    mutable std::shared_ptr<const TTextImage> Image;  // the text as last drawn

    void Set(const std::string& text) {
        if (text == Text) return;  // what was drawn still holds
        Text = text;
        Prepared = false;
        Runs.clear();
        Decoded.clear();
        Image.reset();
    }
    void Prepare() const {
        if (Prepared) return;
        Prepared = true;
        Html = IsHtmlText(Text);
        Decoded = ui::Big5ToQString(Text);
    }
};

// A resolved font: the Qt font whose cell height is the asked height, and its metrics.
struct TRichStringGrid::TFontEntry {
    int Id = 0;  // unique over the program's run
    TGridFont Key;
    QFont Font;
    qreal Ascent = 0;
    qreal Descent = 0;
    std::unique_ptr<QFontMetricsF> Metrics;
};

namespace {

// Ascent plus descent per pixel of em size, per face and style.
qreal CellHeightRatio(const QString& name, bool bold, bool italic) {
    struct TRatio {
        QString Name;
        bool Bold, Italic;
        qreal Value;
    };
    static std::vector<TRatio> ratios;
    for (const TRatio& r : ratios)
        if (r.Bold == bold && r.Italic == italic && r.Name == name) return r.Value;
    QFont f(name);
    f.setPixelSize(200);
    f.setBold(bold);
    f.setItalic(italic);
    QFontMetricsF m(f);
    qreal ratio = (m.ascent() + m.descent()) / 200.0;
    if (!(ratio > 0.5 && ratio < 3)) ratio = 1;
    ratios.push_back({name, bold, italic, ratio});
    return ratio;
}

}  // namespace

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

const TRichStringGrid::TFontEntry& TRichStringGrid::FontEntry(const TGridFont& font) const {
    // The fonts of one paint are few (the board uses five); the most recent ones come first.
    for (std::size_t i = 0; i < FFonts.size(); ++i) {
        const TGridFont& k = FFonts[i]->Key;
        if (k.Height == font.Height && k.Bold == font.Bold && k.Italic == font.Italic && k.Name == font.Name) {
            if (i > 0) std::swap(FFonts[i], FFonts[0]);
            return *FFonts[0];
        }
    }
    auto entry = std::make_unique<TFontEntry>();
    static int lastId = 0;
    entry->Id = ++lastId;
    entry->Key = font;
    entry->Font = QFont(font.Name);
    entry->Font.setBold(font.Bold);
    entry->Font.setItalic(font.Italic);
    qreal ratio = CellHeightRatio(font.Name, font.Bold, font.Italic);
    entry->Font.setPixelSize(std::max(1, static_cast<int>(std::floor(std::max(1, font.Height) / ratio + 1e-6))));
    entry->Metrics = std::make_unique<QFontMetricsF>(entry->Font);
    entry->Ascent = entry->Metrics->ascent();
    entry->Descent = entry->Metrics->descent();
    FFonts.insert(FFonts.begin(), std::move(entry));
    if (FFonts.size() > 16) FFonts.pop_back();
    return *FFonts[0];
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
        const TFontEntry& entry = FontEntry(font);
        const qreal dpr = painter.device()->devicePixelRatioF();
        const std::shared_ptr<const TTextImage> held = TextImage(*cell, font, entry, overrideText, rect.width(), dpr);
        const TTextImage& image = *held;

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
            painter.drawImage(QRectF(shown), image.Image, source);
        }
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

// Large text is slow to draw: the raster engine caches no glyphs above 64 pixels and fills each
// one as a path. A cell's text is therefore drawn once into an image of its own (transparent,
// alpha-blended) and the image is reused until the text, the font, the colour or the cell's
// width changes.
std::shared_ptr<const TRichStringGrid::TTextImage> TRichStringGrid::TextImage(const TCell& cell, const TGridFont& font,
                                                                              const TFontEntry& entry,
                                                                              bool overrideText, int cellWidth,
                                                                              qreal dpr) const {
    const int fitWidth = FFitText ? cellWidth : 0;
    auto matches = [&](const TTextImage& i) {
        return i.FontId == entry.Id && i.Color == font.Color.rgba() && i.OverrideText == overrideText &&
               i.FitWidth == fitWidth && i.Dpr == dpr;
    };
    if (cell.Image && matches(*cell.Image)) return cell.Image;
    // Texts recur (a price moving back, a layout shown again): images are shared by a key of
    // everything they were drawn from.
    std::string key = cell.Text;
    key += '\0';
    for (long long v :
         {static_cast<long long>(entry.Id), static_cast<long long>(font.Color.rgba()),
          static_cast<long long>(overrideText), static_cast<long long>(fitWidth), static_cast<long long>(dpr * 1000)}) {
        key += std::to_string(v);
        key += ',';
    }
    auto found = FImages.find(key);
    if (found != FImages.end()) return cell.Image = found->second;

    auto made = std::make_shared<TTextImage>();
    TTextImage& image = *made;
    cell.Prepare();
    if (cell.Html && cell.Runs.empty()) cell.Runs = ParseHtmlRuns(cell.Decoded);

    // The runs with their fonts and pens.
    struct TPiece {
        const QString* Text;
        QFont Font;
        QColor Color;
        qreal Advance;
    };
    std::vector<TPiece> pieces;
    if (cell.Html) {
        for (const THtmlRun& run : cell.Runs) {
            TGridFont f = font;
            f.Bold = run.Bold || font.Bold;
            f.Italic = run.Italic || font.Italic;
            const TFontEntry& e = f == font ? entry : FontEntry(f);
            QFont qf = e.Font;
            if (run.Underline) qf.setUnderline(true);
            pieces.push_back({&run.Text, qf, run.Color.isValid() && !overrideText ? run.Color : font.Color,
                              e.Metrics->horizontalAdvance(run.Text)});
        }
    } else {
        pieces.push_back({&cell.Decoded, entry.Font, font.Color, entry.Metrics->horizontalAdvance(cell.Decoded)});
    }
    qreal advance = 0;
    for (const TPiece& p : pieces) advance += p.Advance;

    // Room around the text for ink outside its advance and its ascent and descent.
    const int ascent = static_cast<int>(std::ceil(entry.Ascent));
    const int descent = static_cast<int>(std::ceil(entry.Descent));
    const int margin = (ascent + descent) / 4 + 1;
    const int width = static_cast<int>(std::ceil(advance));
    QImage img(QSize(width + 2 * margin, ascent + descent + 2 * margin) * dpr, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        qreal x = margin;
        for (const TPiece& piece : pieces) {
            p.setFont(piece.Font);
            p.setPen(piece.Color);
            p.drawText(QPointF(x, margin + ascent), *piece.Text);
            x += piece.Advance;
        }
    }
    image.Width = width;
    image.Height = ascent + descent;
    image.Origin = QPoint(margin, margin);

    // A text wider than its cell is condensed to fit, keeping a small space at either side.
    const int room = fitWidth - 2 * std::max(1, (ascent + descent) / 10);
    if (fitWidth > 0 && width > room && room > 0) {
        const qreal scale = qreal(room) / width;
        const int scaledWidth = std::max(1, static_cast<int>(std::floor(img.width() * scale)));
        img = img.scaled(scaledWidth, img.height(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        img.setDevicePixelRatio(dpr);
        image.Width = room;
        image.Origin = QPoint(static_cast<int>(std::floor(margin * scale)), margin);
    }
    image.Image = std::move(img);
    image.FontId = entry.Id;
    image.Color = font.Color.rgba();
    image.OverrideText = overrideText;
    image.FitWidth = fitWidth;
    image.Dpr = dpr;

    // The shared images are dropped all at once when they grow past a bound; cells keep theirs.
    FImageBytes += image.Image.sizeInBytes();
    if (FImageBytes > MaxSharedImageBytes) {
        FImages.clear();
        FImageBytes = image.Image.sizeInBytes();
    }
    FImages.emplace(std::move(key), made);
    return cell.Image = std::move(made);
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
