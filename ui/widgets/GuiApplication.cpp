#include "ui/widgets/GuiApplication.h"

#include "ui/core/Application.h"

#include <QMessageBox>

namespace ui {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    bool handled = false;  // an event whose handler threw counts as not handled
    Guarded([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

void InstallGuiExceptionHandler() {
    SetExceptionHandler([](const std::string& message) {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(),
                              QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
    });
}

}  // namespace ui
