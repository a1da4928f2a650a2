#pragma once
// The faces the board and its dialogs ask for, served by the fonts installed on the machine:
// "標楷體" by AR PL UKai TW, "ARIAL" by Liberation Sans, "Arial Narrow" by Liberation Sans Narrow.
#include <QFont>
#include <QString>

namespace ui {

extern const char* const KaiFaceName;  // "標楷體" in UTF-8
extern const char* const ArialFaceName;
extern const char* const ArialNarrowFaceName;

// A font of the given face (UTF-8 name, one of the above) and pixel height.
QFont FaceFont(const char* face, int pixelHeight, bool bold = false);

// Registers the substitutions. Call once after the application object exists.
void RegisterFontSubstitutions();

}  // namespace ui
