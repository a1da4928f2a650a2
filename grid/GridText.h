#pragma once
// What the grid keeps of its cells' texts to draw them: the cells, the resolved fonts and the
// images of drawn texts. Internal to the grid.
#include "grid/RichStringGrid.h"
#include "ui/core/Big5.h"

#include <QFont>
#include <QFontMetricsF>
#include <QImage>

namespace grid {

struct TRichStringGrid::TTextImage {
    // The text on a transparent ground: with Coverage, its alpha alone (Format_Alpha8, cropped
    // to the ink; null when it has none), coloured when drawn; else the text in its colours.
    QImage Image;
    bool Coverage = false;
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
    // A coverage image of Image in the colour it was last drawn in: what a repaint blends.
    mutable QImage Tinted;
    mutable const TTextImage* TintedFrom = nullptr;
    mutable QRgb TintedColor = 0;

    void Set(const std::string& text) {
        if (text == Text) return;  // what was drawn still holds
        Text = text;
        Prepared = false;
        Runs.clear();
        Decoded.clear();
        Image.reset();
        Tinted = QImage();
        TintedFrom = nullptr;
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

}  // namespace grid
