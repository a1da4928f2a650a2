// Test entry for console code: a core application object, so timers, socket notifiers and the
// event loop work as they do in the programs.
#include "ui/core/Application.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ui::TCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
