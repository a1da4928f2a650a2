#pragma once
// POSIX signals delivered on the event loop. The signal handler only writes the signal's number
// into a pipe; a socket notifier on the other end hands it to OnSignal on the thread that
// created the watcher, where any code may run. SIGTERM, SIGINT and SIGHUP can so close a program
// the way a user would, between two messages, never in the middle of one.
//
// One watcher exists at a time. Its destructor puts back the handlers that were in force before
// it. An exception from OnSignal goes to the application's exception handler.
#include "ui/core/Lifetime.h"

#include <QObject>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace ui {

class TSignalWatcher : public QObject {
public:
    using TSignalEvent = std::function<void(int signo)>;

    // Watches the given signals from now on. Raises Exception when another watcher exists or
    // the pipe cannot be made.
    explicit TSignalWatcher(std::initializer_list<int> signos, QObject* owner = nullptr);
    ~TSignalWatcher() override;
    TSignalWatcher(const TSignalWatcher&) = delete;
    TSignalWatcher& operator=(const TSignalWatcher&) = delete;

    // Called once per delivered signal, in the order they came; signals that arrive while
    // nothing is set are dropped.
    TSignalEvent OnSignal;

    // How many signals have been delivered so far.
    int Received() const { return FReceived; }

private:
    void Drain();

    struct TSaved {
        int Signo;
        struct sigaction Action;
    };
    std::vector<TSaved> FSaved;
    int FPipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> FNotifier;
    int FReceived = 0;
    TLifetime FLifetime;
};

}  // namespace ui
