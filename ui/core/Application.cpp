#include "ui/core/Application.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace ui {
namespace {

void StderrHandler(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
}

ExceptionHandler& CurrentHandler() {
    static ExceptionHandler handler = StderrHandler;
    return handler;
}

}  // namespace

ExceptionHandler SetExceptionHandler(ExceptionHandler handler) {
    ExceptionHandler old = CurrentHandler();
    CurrentHandler() = handler ? std::move(handler) : ExceptionHandler(StderrHandler);
    return old;
}

std::string ExceptionMessage(std::exception_ptr error) {
    if (!error) return "Unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

void HandleException(std::exception_ptr error) noexcept {
    try {
        CurrentHandler()(ExceptionMessage(error));
    } catch (...) {
        // A handler that fails itself has nowhere left to report to.
    }
}

void ProcessMessages() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitMessage(int maxMs) {
    if (!QCoreApplication::instance()) {
        if (maxMs > 0) QThread::msleep(static_cast<unsigned long>(maxMs));
        return;
    }
    if (maxMs < 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        return;
    }
    // A single-shot wake-up bounds the wait; it is cancelled when something else came first.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);  // a coarse timer may wake up to 5 % late
    wake.start(maxMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void Sleep(int ms) {
    if (ms > 0) QThread::msleep(static_cast<unsigned long>(ms));
}

int Run() { return QCoreApplication::exec(); }

TCoreApplication::TCoreApplication(int& argc, char** argv) : QCoreApplication(argc, argv) {}

bool TCoreApplication::notify(QObject* receiver, QEvent* event) {
    bool handled = false;  // an event whose handler threw counts as not handled
    Guarded([&] { handled = QCoreApplication::notify(receiver, event); });
    return handled;
}

}  // namespace ui
