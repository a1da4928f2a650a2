#include "ui/widgets/Fonts.h"

#include <QFont>
#include <QStringList>

namespace ui {

const char* const KaiFaceName = "標楷體";
const char* const ArialFaceName = "ARIAL";
const char* const ArialNarrowFaceName = "Arial Narrow";

QFont FaceFont(const char* face, int pixelHeight, bool bold) {
    QFont f(QString::fromUtf8(face));
    f.setPixelSize(pixelHeight);
    f.setBold(bold);
    return f;
}

void RegisterFontSubstitutions() {
    QFont::insertSubstitutions(QString::fromUtf8(KaiFaceName), {"AR PL UKai TW", "AR PL UKai TW MBE"});
    QFont::insertSubstitutions(QString::fromUtf8(ArialFaceName), {"Liberation Sans", "Arial"});
    QFont::insertSubstitutions(QString::fromUtf8(ArialNarrowFaceName), {"Liberation Sans Narrow"});
}

}  // namespace ui
