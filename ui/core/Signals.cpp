#include "ui/core/Signals.h"

#include "ui/core/Application.h"
#include "ui/core/Exception.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ui {
namespace {

// The write end of the live watcher's pipe; the handler reads it once per signal. -1: none.
volatile sig_atomic_t WriteEnd = -1;

extern "C" void ForwardSignal(int signo) {
    const int saved = errno;
    const int fd = WriteEnd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signo);
        // A full pipe drops the signal: hundreds are already waiting to be handled.
        ssize_t ignored = ::write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

}  // namespace

TSignalWatcher::TSignalWatcher(std::initializer_list<int> signos, QObject* owner) : QObject(owner) {
    if (WriteEnd >= 0) throw Exception("A signal watcher exists already");
    if (::pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Exception(std::string("Cannot make the signal pipe: ") + std::strerror(errno));
    WriteEnd = FPipe[1];

    FNotifier = std::make_unique<QSocketNotifier>(FPipe[0], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });

    for (int signo : signos) {
        struct sigaction action {};
        action.sa_handler = ForwardSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        TSaved saved{signo, {}};
        if (::sigaction(signo, &action, &saved.Action) == 0) FSaved.push_back(saved);
    }
}

TSignalWatcher::~TSignalWatcher() {
    for (auto it = FSaved.rbegin(); it != FSaved.rend(); ++it) ::sigaction(it->Signo, &it->Action, nullptr);
    WriteEnd = -1;
    FNotifier.reset();
    ::close(FPipe[0]);
    ::close(FPipe[1]);
}

void TSignalWatcher::Drain() {
    unsigned char buf[64];
    ssize_t n;
    while ((n = ::read(FPipe[0], buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            ++FReceived;
            if (OnSignal) {
                // The handler may destroy this watcher (it may close the program): nothing of
                // it is touched once that has happened.
                TSignalEvent handler = OnSignal;
                const int signo = buf[i];
                if (!Survives(FLifetime, [&] { Guarded([&] { handler(signo); }); })) return;
            }
        }
    }
}

}  // namespace ui
