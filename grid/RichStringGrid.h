#pragma once
// TRichStringGrid: a custom-painted string grid for the board and the keypad.
//
// Every row has the same height and every column the same width; there are no fixed rows or
// columns and the grid never scrolls (the owner sizes the cells to fit). Cell texts are Big5
// bytes, decoded only to draw. Before a cell is painted the owner may set its font and
// background (OnGetCellColor) and its alignment (OnGetAlignment); the selection colours are
// applied after that. A text holding "</", "<B" or "<I" is drawn as formatted inline HTML: its
// tags format the text and never show.
//
// Painting covers only the damaged area. Large type is slow to draw from glyphs (Qt's raster
// engine caches none above 64 px), so each cell's text is drawn once into an image that is
// reused until the text or its font changes; images of equal texts are shared. A text in one
// colour is kept as its coverage, a byte a pixel, and coloured as it is drawn.
//
// A left press selects the cell under it (its row with RowSelect); other buttons select
// nothing. The arrow keys move the current cell. Every change of row, by key, mouse or
// program, asks OnRowChanging first.
//
// Events are std::function members, fired only when set. Handlers run inside Qt's event
// dispatch (paint, key, mouse, resize): an exception from one goes to the application's handler
// (once per paint), never into Qt; a cell whose colour or alignment handler failed is drawn with
// the defaults. A program's own SetRow() hears of an OnRowChanging failure itself.
#include "ui/core/Events.h"
#include "ui/widgets/Colors.h"

#include <QBrush>
#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace grid {

// Call before the application object exists. Large type (the board's is 85 px on a full-HD
// screen) is larger than the glyphs Qt's raster engine caches (64 px); the grid keeps each
// cell's text as an image instead, so a repaint does not fill every glyph as a path again.
// Raising the cache limit through QT_MAX_CACHED_GLYPH_SIZE is no remedy: with Qt 6.4 glyphs
// above 64 px then draw nothing at all. This drops such a setting from the environment.
void PrepareRendering();

// The font of one cell as the owner sets it. Height is the font's cell height in pixels
// (ascent plus descent, internal leading included), as a positive number.
struct TGridFont {
    QString Name = QStringLiteral("ARIAL");
    int Height = 16;
    QColor Color = Qt::black;
    bool Bold = false;
    bool Italic = false;

    bool operator==(const TGridFont&) const = default;
};

enum class THAlign { Left, Right, Center };
enum class TVAlign { Top, Center, Bottom };

// What the grid knows of the cell being painted.
struct TGridDrawState {
    bool Selected = false;  // the cell is drawn in the selection colours
    bool Focused = false;   // the cell is the grid's current cell and the grid has the focus
};

// The separators used to read a cell as a number.
struct TNumberFormat {
    char DecimalSeparator = '.';
    char ThousandSeparator = ',';
    // The separators of the user's locale (QLocale(), the system's unless QLocale::setDefault
    // changed it); a separator that is not a single
    // ASCII character becomes '\0', which matches nothing.
    static TNumberFormat Locale();
};

// Reads a cell text as a number:
// - leading characters are skipped while at least two remain, up to the first digit, "E",
//   "e" or separator; a "-" among them, or a text enclosed in "(" and ")", makes it negative;
// - then the run of digits, "+", "-", ".", "E", "e" and separators is taken, thousands
//   separators dropped and the decimal separator read as ".";
// - nothing taken, or a lone "-", reads as 0.
// std::nullopt when the run taken is no number (for example "1.2.3").
std::optional<double> ReadCellNumber(std::string_view text, TNumberFormat format);

// One run of formatted text of an HTML cell.
struct THtmlRun {
    QString Text;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    QColor Color;  // invalid: the cell's text colour
};

// True when the grid draws the text as HTML: it holds "</", "<B" or "<I".
bool IsHtmlText(std::string_view text);
// Splits decoded HTML text into formatted runs. Tags never show: <b>/<strong>, <i>/<em>, <u> and
// <font color=...> format, closing tags end the innermost formatting of their name, every other
// tag is dropped. The entities &amp; &lt; &gt; &quot; &apos; &nbsp; and &#N; are decoded. Spaces
// are kept as written, so padding in a cell survives.
std::vector<THtmlRun> ParseHtmlRuns(const QString& html, bool bold = false, bool italic = false);

class TRichStringGrid : public QWidget {
public:
    using TNotifyEvent = ::TNotifyEvent;
    using TGetCellColorEvent =
        std::function<void(QObject* sender, int aRow, int aCol, TGridDrawState state, QBrush& brush, TGridFont& font)>;
    using TGetAlignmentEvent =
        std::function<void(QObject* sender, int aRow, int aCol, THAlign& hAlign, TVAlign& vAlign)>;
    using TRowChangingEvent = std::function<void(QObject* sender, int oldRow, int newRow, bool& allow)>;
    // button: the button pressed; buttons: every button held, the pressed one included.
    using TMouseEvent = std::function<void(QObject* sender, Qt::MouseButton button, Qt::MouseButtons buttons,
                                           Qt::KeyboardModifiers modifiers, int x, int y)>;

    explicit TRichStringGrid(QWidget* parent = nullptr);
    ~TRichStringGrid() override;

    // ---- Geometry --------------------------------------------------------------------------
    int ColCount() const { return FColCount; }
    void SetColCount(int value);
    int RowCount() const { return FRowCount; }
    void SetRowCount(int value);
    int DefaultColWidth() const { return FColWidth; }
    void SetDefaultColWidth(int value);
    int DefaultRowHeight() const { return FRowHeight; }
    void SetDefaultRowHeight(int value);
    int GridLineWidth() const { return FLineWidth; }
    void SetGridLineWidth(int value);
    QColor GridLineColor() const { return FLineColor; }
    void SetGridLineColor(const QColor& value);
    int ClientWidth() const { return width(); }
    int ClientHeight() const { return height(); }

    // ---- Look ------------------------------------------------------------------------------
    // The font every cell starts from (OnGetCellColor may change it for one cell).
    const TGridFont& Font() const { return FFont; }
    void SetFont(const TGridFont& value);
    // The background of every cell and of the area right of and below the cells.
    QColor Color() const { return FColor; }
    void SetColor(const QColor& value);
    QColor SelectionColor() const { return FSelectionColor; }
    void SetSelectionColor(const QColor& value);
    // An invalid colour ("none") keeps the cell's own text colour in the selection.
    QColor SelectionTextColor() const { return FSelectionTextColor; }
    void SetSelectionTextColor(const QColor& value);
    // On: a focus frame around the current cell while the grid has the focus.
    bool ActiveCellShow() const { return FActiveCellShow; }
    void SetActiveCellShow(bool value);
    // On: a text wider than its cell is condensed to fit it instead of being cut off.
    bool FitText() const { return FFitText; }
    void SetFitText(bool value);
    // On: the whole row of the current cell is selected; off: the current cell alone.
    bool RowSelect() const { return FRowSelect; }
    void SetRowSelect(bool value);

    // ---- Current cell ----------------------------------------------------------------------
    int Row() const { return FRow; }
    // Moves the current row, asking OnRowChanging first (when the row changes). Returns
    // whether the grid's row is now value.
    bool SetRow(int value);
    int Col() const { return FCol; }
    void SetCol(int value);

    // ---- Cells -----------------------------------------------------------------------------
    // The cell's text; empty outside the grid.
    std::string Cells(int col, int row) const;
    // Writes the cell and repaints it, even when the text is unchanged. Ignored outside the grid.
    void SetCells(int col, int row, const std::string& text);
    // Empties the row, then puts each comma-separated item into the row's next cell (an empty
    // item is stored as one space); items past the last column are dropped.
    void SetRowCommaText(int row, const std::string& commaText);
    // The row's texts joined by commas (as SetRowCommaText takes them; no quoting).
    std::string RowCommaText(int row) const;
    // Empties every cell.
    void ClearCells();
    // The cell read as a number (see ReadCellNumber), by the user's locale or by the given
    // separators.
    std::optional<double> CellNumber(int col, int row) const;
    std::optional<double> CellNumber(int col, int row, TNumberFormat format) const;

    // ---- Coordinates -----------------------------------------------------------------------
    // The cell's rectangle in client coordinates, grid lines excluded.
    QRect CellRect(int col, int row) const;
    // The cell under a client point; col and row are -1 when the point is on no cell.
    void MouseToCell(int x, int y, int& col, int& row) const;
    QPoint ClientToScreen(const QPoint& p) const { return mapToGlobal(p); }

    // ---- Events ----------------------------------------------------------------------------
    TGetCellColorEvent OnGetCellColor;
    TGetAlignmentEvent OnGetAlignment;
    TRowChangingEvent OnRowChanging;
    TMouseEvent OnMouseDown;
    TNotifyEvent OnResize;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct TCell;
    struct TFontEntry;
    struct TTextImage;

    TCell* CellAt(int col, int row);
    const TCell* CellAt(int col, int row) const;
    void InvalidateCell(int col, int row);
    void InvalidateRow(int row);
    void InvalidateSelection();
    const TFontEntry& FontEntry(const TGridFont& font) const;
    // failure keeps the first error of a handler during this paint; the cell is drawn with the
    // defaults in place of what the failing handler would have set.
    void DrawCell(class QPainter& painter, int col, int row, const QRect& rect, std::exception_ptr& failure);
    // The cell's text, from its image, placed in the cell by the alignment.
    void DrawText(class QPainter& painter, const TCell& cell, const TGridFont& font, bool overrideText,
                  const QRect& rect, THAlign hAlign, TVAlign vAlign) const;
    std::shared_ptr<const TTextImage> TextImage(const TCell& cell, const TGridFont& font, const TFontEntry& entry,
                                                bool overrideText, int cellWidth, qreal dpr) const;
    // A coverage image in a colour, kept by the cell until its image or colour changes.
    const QImage& TintedImage(const TCell& cell, const TTextImage& image, QRgb color) const;
    // Draws the text into a new image for TextImage.
    std::shared_ptr<TTextImage> DrawTextImage(const TCell& cell, const TGridFont& font, const TFontEntry& entry,
                                              bool overrideText, int fitWidth, qreal dpr) const;
    void MoveTo(int col, int row);
    bool IsSelected(int col, int row) const;
    void ResizeCells();

    int FColCount = 5;
    int FRowCount = 5;
    int FColWidth = 64;
    int FRowHeight = 24;
    int FLineWidth = 1;
    QColor FLineColor = Qt::gray;
    TGridFont FFont;
    QColor FColor = Qt::white;
    QColor FSelectionColor = ui::clNavy;
    QColor FSelectionTextColor = Qt::white;
    bool FActiveCellShow = false;
    bool FRowSelect = false;
    bool FFitText = false;
    int FRow = 0;
    int FCol = 0;
    std::vector<TCell> FCells;  // row by row
    mutable std::vector<std::unique_ptr<TFontEntry>> FFonts;
    // The shared text images are bounded by 2 MB for a grid of 1920 x 1080 pixels, and by more as
    // the grid is larger, in proportion to its side rather than its area: a 4K board's texts take
    // four times the bytes and keep 4 MB, about the texts of a layout and a half.
    static constexpr qsizetype BaseSharedImageBytes = 2 << 20;
    qsizetype SharedImageBound() const;
    mutable std::unordered_map<std::string, std::shared_ptr<const TTextImage>> FImages;
    mutable qsizetype FImageBytes = 0;
    // The tinted copies the cells keep, in all: most of what a 1920 x 1080 board's texts take.
    static constexpr qsizetype MaxTintedBytes = 2 << 20;
    mutable QImage FScratch, FScratchView;  // where a text past that bound is tinted
};

}  // namespace grid
