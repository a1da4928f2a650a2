#pragma once
// The application object as the rest of the program sees it: the message loop, dispatch of
// pending messages, pauses, and the default handling of errors that nobody else caught.
//
// Qt must never see an exception unwind through its event dispatch. Every entry from the event
// loop (timer ticks, socket notifications, UI handlers) runs its body through Guarded(), which
// hands any exception to HandleException(); the application classes catch whatever is left.
#include <QCoreApplication>
#include <exception>
#include <functional>
#include <string>

namespace ui {

// Receives the message of an error that reached the application's default handling.
using ExceptionHandler = std::function<void(const std::string& message)>;

// Replaces the default handler (stderr for console programs, a message box once the widget
// layer installs its own). Returns the handler that was in force.
ExceptionHandler SetExceptionHandler(ExceptionHandler handler);

// Hands the given (or the current) exception to the handler in force. Never throws.
void HandleException(std::exception_ptr error = std::current_exception()) noexcept;

// The text that HandleException shows for an exception.
std::string ExceptionMessage(std::exception_ptr error);

// Runs f; an exception it raises goes to HandleException instead of the caller.
template <class F>
void Guarded(F&& f) noexcept {
    try {
        f();
    } catch (...) {
        HandleException(std::current_exception());
    }
}

// Dispatches every pending message and returns at once.
void ProcessMessages();

// Blocks in the event loop until at least one event has arrived and been dispatched, or until
// maxMs milliseconds have passed (-1: no limit). Uses no CPU while nothing happens.
void WaitMessage(int maxMs = -1);

// Pauses the calling thread for the given milliseconds.
void Sleep(int ms);

// Runs the message loop until the application quits; returns the exit code.
int Run();

// A console application object whose notify() keeps exceptions out of Qt's dispatch.
class TCoreApplication : public QCoreApplication {
public:
    TCoreApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace ui
