#pragma once
// The program's named colours, one definition for the board, its dialogs and the grid.
#include <QColor>

namespace ui {

inline const QColor clBlack{0, 0, 0};
inline const QColor clMaroon{128, 0, 0};
inline const QColor clNavy{0, 0, 128};
inline const QColor clGray{128, 128, 128};
inline const QColor clSilver{192, 192, 192};
inline const QColor clWhite{255, 255, 255};
inline const QColor clRed{255, 0, 0};
inline const QColor clLime{0, 255, 0};
inline const QColor clYellow{255, 255, 0};
inline const QColor clAqua{0, 255, 255};
inline const QColor clSkyBlue{166, 202, 240};

}  // namespace ui
