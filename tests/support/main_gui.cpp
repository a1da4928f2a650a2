// Test entry for widget code: the GUI application object with the font substitutions the
// program registers at start-up. Without QT_QPA_PLATFORM in the environment the tests draw
// offscreen, so they (and their listing by CTest) need no display.
#include "ui/widgets/Fonts.h"
#include "ui/widgets/GuiApplication.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Offscreen, the screen is the board's full-HD kiosk screen rather than the plugin's 800 x 600:
    // dialogs are shrunk to fit a screen too small for them.
    const QByteArray config =
        QDir::temp().filePath(QStringLiteral("quoteboard-offscreen-%1.json").arg(::getpid())).toLocal8Bit();
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") {
        QFile file(QString::fromLocal8Bit(config));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            file.write(R"({"screens": [{"name": "kiosk", "x": 0, "y": 0, "width": 1920, "height": 1080,
                           "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})") > 0) {
            file.close();
            qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config);
        }
    }
    ui::TApplication app(argc, argv);
    QFile::remove(QString::fromLocal8Bit(config));  // read by the platform plugin by now
    ui::RegisterFontSubstitutions();
    return RUN_ALL_TESTS();
}
