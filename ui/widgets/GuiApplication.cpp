#include "ui/widgets/GuiApplication.h"

#include "ui/core/Application.h"

#include <QMessageBox>

namespace ui {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException(std::current_exception());
        return false;
    }
}

void InstallGuiExceptionHandler() {
    SetExceptionHandler([](const std::string& message) {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(),
                              QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
    });
}

}  // namespace ui
