// Test entry for widget code: the GUI application object with the font substitutions the
// program registers at start-up. Without QT_QPA_PLATFORM in the environment the tests draw
// offscreen, so they (and their listing by CTest) need no display.
#include "ui/Fonts.h"
#include "ui/GuiApplication.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ui::TApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    return RUN_ALL_TESTS();
}
