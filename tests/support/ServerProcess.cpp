#include "ServerProcess.h"

#include "TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for the child for up to ms milliseconds; its wait status, or -1 while it still runs.
int WaitFor(pid_t pid, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return 0;  // not our child any more
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Forks and runs argv[0] with these arguments, its standard output on outFd (when >= 0). Only
// async-signal-safe calls between fork and exec. The child leads a process group of its own, so
// that Stop() ends anything it starts too, and it is killed when the test goes, however the test
// ends. The child's pid, or -1.
pid_t Spawn(std::vector<std::string> argv, int outFd) {
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        if (outFd >= 0) ::dup2(outFd, STDOUT_FILENO);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

std::string ServerProcess::Program() { return BinaryDir() + "/server/quote-server"; }

std::string ServerProcess::Url(const std::string& path) const {
    return "http://" + FHost + ":" + std::to_string(FPort) + path;
}

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(const std::vector<std::string>& args, int timeoutMs) {
    Stop();
    FError.clear();
    FReadyLine.clear();

    std::vector<std::string> argv = {Program()};
    bool hasPort = false;
    for (const std::string& a : args) hasPort = hasPort || a == "--port";
    if (!hasPort) argv.insert(argv.end(), {"--port", "0"});
    argv.insert(argv.end(), args.begin(), args.end());
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        FError = "pipe failed";
        return false;
    }
    pid_t pid = Spawn(argv, pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        FError = "fork failed";
        return false;
    }
    ::close(pipeFds[1]);
    FPid = pid;
    FOutput = pipeFds[0];

    // Read the ready line.
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.find('\n') == std::string::npos) {
        pollfd p{FOutput, POLLIN, 0};
        int r = ::poll(&p, 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            FError = "no ready line from " + Program() + " within " + std::to_string(timeoutMs) + " ms";
            Stop(0);
            return false;
        }
        char buf[256];
        ssize_t n = ::read(FOutput, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            FError = Program() + " exited before it was ready (see its messages above)";
            Stop(0);
            return false;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    FReadyLine = text.substr(0, text.find('\n'));
    if (!FReadyLine.empty() && FReadyLine.back() == '\r') FReadyLine.pop_back();

    // "quote-server listening on HOST:PORT (N stocks)"
    const std::string prefix = "quote-server listening on ";
    std::size_t colon = FReadyLine.rfind(':');
    std::size_t space = FReadyLine.find(' ', prefix.size());
    int stocks = 0;
    if (FReadyLine.compare(0, prefix.size(), prefix) != 0 || colon == std::string::npos || space == std::string::npos ||
        colon < prefix.size() || std::sscanf(FReadyLine.c_str() + colon + 1, "%d (%d stocks)", &FPort, &stocks) != 2) {
        FError = "unexpected ready line: " + FReadyLine;
        Stop(0);
        return false;
    }
    FHost = FReadyLine.substr(prefix.size(), colon - prefix.size());
    FStocks = stocks;
    return true;
}

int ServerProcess::RunToExit(const std::vector<std::string>& args, int timeoutMs) {
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = Spawn(argv, -1);
    if (pid < 0) return -1;
    int status = WaitFor(pid, timeoutMs);
    if (status == -1) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void StartQuotewatch(QProcess& watch, const std::string& dir, int serverPort, const QStringList& args) {
    watch.setWorkingDirectory(QString::fromStdString(dir));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUOTE_SERVER", QString("127.0.0.1:%1").arg(serverPort));
    watch.setProcessEnvironment(env);
    pid_t parent = ::getpid();
    watch.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
    });
    watch.start(QString::fromStdString(BinaryDir() + "/quote/quotewatch"), args);
}

int ServerProcess::Stop(int graceMs) {
    int result = -1;
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        int status = WaitFor(FPid, graceMs);
        if (status == -1) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, &status, 0);
        } else if (WIFEXITED(status)) {
            result = WEXITSTATUS(status);
        }
        ::kill(-FPid, SIGKILL);  // whatever is left of its process group
        FPid = -1;
    }
    if (FOutput >= 0) {
        ::close(FOutput);
        FOutput = -1;
    }
    FPort = 0;
    return result;
}

}  // namespace testsupport
