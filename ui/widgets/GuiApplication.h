#pragma once
// The widget side of the application object: a QApplication that keeps exceptions out of Qt's
// dispatch, and the default exception handling of a program with a screen (a message box that
// names the error).
#include <QApplication>

namespace ui {

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Makes the application's default exception handling show a message box.
void InstallGuiExceptionHandler();

}  // namespace ui
