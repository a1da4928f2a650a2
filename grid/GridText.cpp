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

}  // namespace

// Large text is slow to draw: the raster engine caches no glyphs above 64 pixels and fills each
// one as a path. A cell's text is therefore drawn once into an image of its own and the image is
// reused until the text, the font, the colour or the cell's width changes.
std::shared_ptr<const TRichStringGrid::TTextImage> TRichStringGrid::TextImage(const TCell& cell, const TGridFont& font,
                                                                              const TFontEntry& entry,
                                                                              bool overrideText, int cellWidth,
                                                                              qreal dpr) const {
    const int fitWidth = FFitText ? cellWidth : 0;
    const QRgb color = font.Color.rgba();
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
    if (FImageBytes > MaxSharedImageBytes) {
        FImages.clear();
        FImageBytes = made->Image.sizeInBytes();
    }
    FImages.emplace(std::move(key), made);
    return cell.Image = std::move(made);
}

std::shared_ptr<TRichStringGrid::TTextImage> TRichStringGrid::DrawTextImage(const TCell& cell, const TGridFont& font,
                                                                            const TFontEntry& entry, bool overrideText,
                                                                            int fitWidth, qreal dpr) const {
    cell.Prepare();
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
    auto made = std::make_shared<TTextImage>();
    TTextImage& image = *made;
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
    return made;
}

}  // namespace grid
