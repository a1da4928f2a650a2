// Font resolution and the images of drawn texts.
#include "grid/GridText.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace grid {

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

namespace {

// The runs of a text with their fonts and pens, and where they start.
struct TPiece {
    const QString* Text;
    QFont Font;
    QColor Color;
    qreal Advance;
};

// The smallest rectangle holding every pixel of the image that is not fully transparent; a null
// rectangle when there is none.
QRect InkRect(const QImage& drawn) {
    int top = drawn.height(), bottom = -1, left = drawn.width(), right = -1;
    for (int y = 0; y < drawn.height(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
        int x0 = 0, x1 = drawn.width() - 1;
        while (x0 <= x1 && qAlpha(row[x0]) == 0) ++x0;
        if (x0 > x1) continue;
        while (qAlpha(row[x1]) == 0) --x1;
        top = std::min(top, y);
        bottom = y;
        left = std::min(left, x0);
        right = std::max(right, x1);
    }
    if (bottom < 0) return {};
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

// The alpha of a text drawn in opaque white, as 8-bit coverage cropped to the ink (at a device
// pixel ratio of 1; otherwise whole). origin, where the text's box starts, follows the crop. A
// text with no ink gives a null image.
QImage ToCoverage(const QImage& drawn, QPoint& origin) {
    QRect ink;
    if (drawn.devicePixelRatio() == 1) {
        ink = InkRect(drawn);
        if (ink.isNull()) return {};
        origin -= ink.topLeft();
    } else {
        ink = drawn.rect();
    }
    QImage coverage(ink.size(), QImage::Format_Alpha8);
    coverage.setDevicePixelRatio(drawn.devicePixelRatio());
    for (int y = 0; y < ink.height(); ++y) {
        const QRgb* from = reinterpret_cast<const QRgb*>(drawn.constScanLine(ink.top() + y)) + ink.left();
        uchar* to = coverage.scanLine(y);
        for (int x = 0; x < ink.width(); ++x) to[x] = static_cast<uchar>(qAlpha(from[x]));
    }
    return coverage;
}

// A text drawn in its own colours, cropped to its ink in the same way (a change cell's arrow and
// figure keep no empty margins).
QImage CropToInk(QImage drawn, QPoint& origin) {
    if (drawn.devicePixelRatio() != 1) return drawn;
    const QRect ink = InkRect(drawn);
    if (ink.isNull()) return {};
    origin -= ink.topLeft();
    return ink == drawn.rect() ? drawn : drawn.copy(ink);
}

// A premultiplied colour scaled by a coverage level (0 to 255), per channel, rounded.
inline quint32 ScaleByLevel(quint32 color, quint32 level) {
    quint32 rb = (color & 0xff00ff) * level;
    rb = ((rb + ((rb >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    quint32 ag = ((color >> 8) & 0xff00ff) * level;
    ag = (ag + ((ag >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return ag | rb;
}

// The pieces side by side on a transparent ground, with room of margin pixels around them for
// ink outside their advance and their ascent and descent.
QImage DrawPieces(const std::vector<TPiece>& pieces, int width, int ascent, int descent, int margin, qreal dpr) {
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
    return img;
}

// A text wider than its cell is condensed to fit, keeping a small space at either side: the
// image is scaled across to room and the left origin scaled with it. False when it fits.
bool CondenseToFit(QImage& img, int width, int height, int fitWidth, int margin, qreal dpr, int& room, int& originX) {
    room = fitWidth - 2 * std::max(1, height / 10);
    if (fitWidth <= 0 || width <= room || room <= 0) return false;
    const qreal scale = qreal(room) / width;
    const int scaledWidth = std::max(1, static_cast<int>(std::floor(img.width() * scale)));
    img = img.scaled(scaledWidth, img.height(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    img.setDevicePixelRatio(dpr);
    originX = static_cast<int>(std::floor(margin * scale));
    return true;
}

}  // namespace

qsizetype TRichStringGrid::SharedImageBound() const {
    const double dpr = devicePixelRatioF();
    const double pixels = double(width()) * height() * dpr * dpr;
    return static_cast<qsizetype>(BaseSharedImageBytes * std::max(1.0, std::sqrt(pixels / (1920.0 * 1080.0))));
}

const QImage& TRichStringGrid::TintedImage(const TCell& cell, const TTextImage& image, QRgb color) const {
    if (cell.TintedFrom == &image && cell.TintedColor == color) return cell.Tinted;
    cell.Tinted = QImage();
    cell.TintedFrom = nullptr;
    // A cell keeps its tinted copy while all the copies the cells keep stay within a bound; past
    // it (a 4K board's texts) the text is tinted into a buffer of the grid's own for this drawing
    // only, at the cost of tinting it again when it is next drawn unchanged.
    const QSize size = image.Image.size();
    const qsizetype bytes = qsizetype(size.width()) * size.height() * 4;
    qsizetype kept = 0;
    for (const TCell& c : FCells) kept += c.Tinted.sizeInBytes();
    const bool keep = kept + bytes <= MaxTintedBytes;
    QImage* target = &cell.Tinted;
    if (keep) {
        cell.Tinted = QImage(size, QImage::Format_ARGB32_Premultiplied);
    } else {
        if (FScratch.width() < size.width() || FScratch.height() < size.height())
            FScratch = QImage(size.expandedTo(FScratch.size()), QImage::Format_ARGB32_Premultiplied);
        // The part of the buffer the text takes, as an image of the text's size.
        FScratchView = QImage(FScratch.bits(), size.width(), size.height(), FScratch.bytesPerLine(),
                              QImage::Format_ARGB32_Premultiplied);
        target = &FScratchView;
    }
    target->setDevicePixelRatio(image.Image.devicePixelRatio());
    // The colour at each of the 256 coverage levels, looked up per pixel.
    const quint32 premultiplied = qPremultiply(color);
    quint32 levels[256];
    for (quint32 level = 0; level < 256; ++level) levels[level] = ScaleByLevel(premultiplied, level);
    const int width = size.width(), height = size.height();
    for (int y = 0; y < height; ++y) {
        const uchar* from = image.Image.constScanLine(y);
        quint32* to = reinterpret_cast<quint32*>(target->scanLine(y));
        for (int x = 0; x < width; ++x) to[x] = levels[from[x]];
    }
    if (!keep) return FScratchView;
    cell.TintedFrom = &image;
    cell.TintedColor = color;
    return cell.Tinted;
}

// Large text is slow to draw: the raster engine caches no glyphs above 64 pixels and fills each
// one as a path. A cell's text is therefore drawn once into an image of its own and the image is
// reused until the text, the font or the cell's width changes. A text in one colour is kept as
// its coverage, a byte a pixel cropped to its ink, and coloured as it is drawn.
std::shared_ptr<const TRichStringGrid::TTextImage> TRichStringGrid::TextImage(const TCell& cell, const TGridFont& font,
                                                                              const TFontEntry& entry,
                                                                              bool overrideText, int cellWidth,
                                                                              qreal dpr) const {
    const int fitWidth = FFitText ? cellWidth : 0;
    cell.Prepare();
    // A text in one colour is kept as its coverage and serves every colour; only an HTML text's
    // image holds its colours (and whether the selection overrode them).
    const QRgb color = cell.Html ? font.Color.rgba() : 0;
    overrideText = overrideText && cell.Html;
    auto matches = [&](const TTextImage& i) {
        return i.FontId == entry.Id && i.Color == color && i.OverrideText == overrideText && i.FitWidth == fitWidth &&
               i.Dpr == dpr;
    };
    if (cell.Image && matches(*cell.Image)) return cell.Image;
    // Texts recur (a price moving back, a layout shown again): images are shared by a key of
    // everything they were drawn from.
    std::string key = cell.Text;
    key += '\0';
    for (long long v :
         {static_cast<long long>(entry.Id), static_cast<long long>(color), static_cast<long long>(overrideText),
          static_cast<long long>(fitWidth), static_cast<long long>(dpr * 1000)}) {
        key += std::to_string(v);
        key += ',';
    }
    auto found = FImages.find(key);
    if (found != FImages.end()) return cell.Image = found->second;

    auto made = DrawTextImage(cell, font, entry, overrideText, fitWidth, dpr);
    // The shared images are dropped all at once when they grow past a bound; cells keep theirs.
    FImageBytes += made->Image.sizeInBytes();
    if (FImageBytes > SharedImageBound()) {
        FImages.clear();
        FImageBytes = made->Image.sizeInBytes();
    }
    FImages.emplace(std::move(key), made);
    return cell.Image = std::move(made);
}

std::shared_ptr<TRichStringGrid::TTextImage> TRichStringGrid::DrawTextImage(const TCell& cell, const TGridFont& font,
                                                                            const TFontEntry& entry, bool overrideText,
                                                                            int fitWidth, qreal dpr) const {
    if (cell.Html && cell.Runs.empty()) cell.Runs = ParseHtmlRuns(cell.Decoded);
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
        // Drawn opaque: its alpha is the coverage the colour is later applied through.
        pieces.push_back({&cell.Decoded, entry.Font, Qt::white, entry.Metrics->horizontalAdvance(cell.Decoded)});
    }
    qreal advance = 0;
    for (const TPiece& p : pieces) advance += p.Advance;

    // Room around the text for ink outside its advance and its ascent and descent.
    const int ascent = static_cast<int>(std::ceil(entry.Ascent));
    const int descent = static_cast<int>(std::ceil(entry.Descent));
    const int margin = (ascent + descent) / 4 + 1;
    const int width = static_cast<int>(std::ceil(advance));
    QImage img = DrawPieces(pieces, width, ascent, descent, margin, dpr);
    auto made = std::make_shared<TTextImage>();
    TTextImage& image = *made;
    image.Width = width;
    image.Height = ascent + descent;
    image.Origin = QPoint(margin, margin);

    int room = 0, originX = 0;
    if (CondenseToFit(img, width, ascent + descent, fitWidth, margin, dpr, room, originX)) {
        image.Width = room;
        image.Origin = QPoint(originX, margin);
    }
    image.Coverage = !cell.Html;
    if (image.Coverage) {
        image.Image = ToCoverage(img, image.Origin);
    } else {
        image.Image = CropToInk(std::move(img), image.Origin);
        image.Color = font.Color.rgba();
    }
    image.FontId = entry.Id;
    image.OverrideText = overrideText;
    image.FitWidth = fitWidth;
    image.Dpr = dpr;
    return made;
}

}  // namespace grid
