// Test entry for widget code: the GUI application object with the font substitutions the
// program registers at start-up. Run with QT_QPA_PLATFORM=offscreen.
#include "ui/Fonts.h"
#include "ui/GuiApplication.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ui::TApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    return RUN_ALL_TESTS();
}
