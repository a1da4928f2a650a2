#include "Harness.h"

#include "support/TempDir.h"

#include <QByteArray>
#include <QRect>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string Which(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return program;
}

bool OnPath(const std::string& program) { return Which(program) != program; }

// Forks and execs argv with the environment; the child's stdout (and stderr) goes to outFd
// when it is not -1, extraFd becomes the child's descriptor 3. Only async-signal-safe calls
// between fork and exec.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, const std::vector<std::string>& env,
            int outFd, bool captureStderr, int extraFd) {
    std::vector<std::string> args = argv;
    args[0] = args[0].find('/') == std::string::npos ? Which(args[0]) : args[0];
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> envCopy = env;
    std::vector<char*> cenv;
    for (std::string& e : envCopy) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);  // keys such as Ctrl-C on the test's terminal stay with the test
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    if (extraFd >= 0) {
        if (extraFd == 3) {
            ::fcntl(3, F_SETFD, 0);
        } else {
            ::dup2(extraFd, 3);
        }
    }
    if (outFd >= 0) {
        ::dup2(outFd, STDOUT_FILENO);
        if (captureStderr) ::dup2(outFd, STDERR_FILENO);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string FakeTimeLibrary() {
    const char* const candidates[] = {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                                      "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
                                      "/usr/lib/faketime/libfaketime.so.1"};
    for (const char* c : candidates)
        if (::access(c, R_OK) == 0) return c;
    return {};
}

}  // namespace

std::vector<std::string> FakeTimeEnvironment(const std::string& localTime) {
    std::vector<std::string> env = {"LD_PRELOAD=" + FakeTimeLibrary(), "FAKETIME=@" + localTime,
                                    "FAKETIME_DONT_FAKE_MONOTONIC=1", "FAKETIME_DONT_RESET=1"};
    // A sanitized program wants its runtime first among the libraries; the preloaded clock comes
    // before it and does no harm there. The X keyboard library hands strndup() unterminated
    // buffers, as strndup() allows: strict string checks would stop the program on it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                  "strict_string_checks=0:verify_asan_link_order=0");
    return env;
}

std::string MissingTools() {
    struct Tool {
        const char* program;
        const char* package;
    };
    const Tool tools[] = {{"Xvfb", "xvfb"},
                          {"xdotool", "xdotool"},
                          {"import", "imagemagick"},
                          {"faketime", "faketime"},
                          {"xset", "x11-xserver-utils"}};
    std::string missing;
    for (const Tool& t : tools) {
        if (OnPath(t.program)) continue;
        missing += std::string(missing.empty() ? "" : ", ") + t.program + " (Debian package " + t.package + ")";
    }
    if (missing.empty()) return {};
    return "These end-to-end tests need " + missing + ": install them with scripts/install-deps or apt-get install";
}

std::string ProgramPath(const std::string& relative) { return testsupport::BinaryDir() + "/" + relative; }

// ---------------------------------------------------------------------------------------------

Child::~Child() { Stop(1000); }

bool Child::Start(const std::vector<std::string>& argv, const std::string& dir, const std::vector<std::string>& env,
                  bool captureStderr) {
    Stop(0);
    FOutput.clear();
    FStatus = -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    FPid = Spawn(argv, dir, env, fds[1], captureStderr, -1);
    ::close(fds[1]);
    if (FPid < 0) {
        ::close(fds[0]);
        return false;
    }
    FOut = fds[0];
    ::fcntl(FOut, F_SETFL, O_NONBLOCK);
    return true;
}

void Child::Adopt(pid_t pid) {
    Stop(0);
    FPid = pid;
    FStatus = -1;
}

bool Child::Running() { return Wait(0) == -1 && FPid > 0; }

int Child::Wait(int ms) {
    if (FPid <= 0) return FStatus;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(FPid, &status, WNOHANG);
        if (r == FPid) {
            FStatus = DecodeStatus(status);
            FPid = -1;
            ReadOutput(0);
            return FStatus;
        }
        if (r < 0 && errno != EINTR) {
            FPid = -1;
            return FStatus;
        }
        if (Clock::now() >= deadline) return -1;
        ReadOutput(10);
    }
}

void Child::Signal(int signo) {
    if (FPid > 0) ::kill(FPid, signo);
}

int Child::Stop(int graceMs) {
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        if (Wait(graceMs) == -1 && FPid > 0) {
            ::kill(FPid, SIGKILL);
            Wait(5000);
        }
    }
    if (FOut >= 0) {
        ReadOutput(0);
        ::close(FOut);
        FOut = -1;
    }
    return FStatus;
}

void Child::ReadOutput(int waitMs) {
    if (FOut < 0) return;
    pollfd p{FOut, POLLIN, 0};
    if (waitMs > 0) ::poll(&p, 1, waitMs);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(FOut, buf, sizeof buf)) > 0) FOutput.append(buf, static_cast<std::size_t>(n));
}

const std::string& Child::Output() {
    ReadOutput(0);
    return FOutput;
}

bool Child::WaitForOutput(const std::string& text, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        ReadOutput(0);
        if (FOutput.find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline || FOut < 0) return false;
        ReadOutput(std::min(50, MsLeft(deadline)));
        if (FOutput.find(text) != std::string::npos) return true;
        if (FPid <= 0 || Wait(0) != -1) {
            ReadOutput(0);
            return FOutput.find(text) != std::string::npos;
        }
    }
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string* out,
               int timeoutMs) {
    Child child;
    if (!child.Start(argv, "", env)) return -1;
    int code = child.Wait(timeoutMs);
    if (code == -1) child.Stop(0);
    if (out) *out = child.Output();
    return code;
}

std::vector<std::string> BaseEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (name == "DISPLAY" || name == "QT_QPA_PLATFORM" || name == "WAYLAND_DISPLAY" || name == "XAUTHORITY" ||
            name == "XDG_SESSION_TYPE")
            continue;
        env.push_back(entry);
    }
    // An extra entry replaces the inherited one of the same name.
    for (const std::string& e : extra) {
        const std::string name = e.substr(0, e.find('=') + 1);
        std::erase_if(env, [&](const std::string& old) { return old.rfind(name, 0) == 0; });
        env.push_back(e);
    }
    return env;
}

// ---------------------------------------------------------------------------------------------

XServer::~XServer() { FServer.Stop(2000); }

bool XServer::Start(int width, int height) {
    FError = MissingTools();
    if (!FError.empty()) return false;
    // Servers that start at the same moment (tests run in parallel) may reach for the same free
    // display; the one that loses exits at once and is started again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (StartOnce(width, height)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + 150 * attempt));
    }
    return false;
}

bool XServer::StartOnce(int width, int height) {
    FWidth = width;
    FHeight = height;
    return Launch({"Xvfb", "-displayfd", "3", "-screen", "0",
                   std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp", "-noreset",
                   "+extension", "XTEST"});
}

// The X server with the dummy video driver: it has several outputs, which RandR arranges as
// monitors of one screen, as a desktop with two displays has them.
namespace {
const char DummyConfig[] = R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "1920x1080" 148.50 1920 2008 2052 2200 1080 1084 1089 1125 +hsync +vsync
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 3840 1080
    Modes "1920x1080"
  EndSubSection
EndSection
Section "ServerFlags"
  Option "AutoAddDevices" "false"
EndSection
)";
}  // namespace

std::string TwoMonitorsMissing() {
    if (::geteuid() != 0) return "the X server with two monitors (Xorg, dummy driver) needs root";
    if (!OnPath("Xorg") || ::access("/usr/lib/xorg/modules/drivers/dummy_drv.so", R_OK) != 0)
        return "the two-monitor tests need Xorg with its dummy driver (Debian packages xserver-xorg-core, "
               "xserver-xorg-video-dummy): install them with scripts/install-deps";
    return {};
}

bool XServer::StartTwoMonitors() {
    FError = TwoMonitorsMissing();
    if (!FError.empty()) return false;
    FConfig = std::make_unique<testsupport::TempDir>();
    testsupport::WriteFileBytes(FConfig->file("xorg.conf"), DummyConfig);
    FWidth = 3840;
    FHeight = 1080;
    if (!Launch({"Xorg", "-displayfd", "3", "-config", FConfig->file("xorg.conf"), "-logfile",
                 FConfig->file("Xorg.log"), "-nolisten", "tcp", "-noreset", "+extension", "XTEST"}))
        return false;
    // Two 1920 x 1080 monitors side by side, the right one primary.
    const bool arranged =
        RunProgram({"xrandr", "--addmode", "DUMMY1", "1920x1080"}, Environment()) == 0 &&
        RunProgram({"xrandr", "--fb", "3840x1080", "--output", "DUMMY0", "--mode", "1920x1080", "--pos", "0x0",
                    "--output", "DUMMY1", "--mode", "1920x1080", "--pos", "1920x0", "--primary"},
                   Environment()) == 0;
    if (!arranged) {
        FError = "xrandr could not arrange the two monitors";
        return false;
    }
    return true;
}

void XServer::Kill() { FServer.Stop(0); }

bool XServer::Launch(const std::vector<std::string>& argv) {
    // -displayfd: the server picks a free display itself and writes its number to descriptor 3.
    const std::string server = argv[0];
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        FError = "pipe failed";
        return false;
    }
    // Child::Start has no descriptor passing of its own; start the server through Spawn.
    std::vector<std::string> env = BaseEnvironment();
    // Its messages go to a file: a closed pipe would kill it with SIGPIPE at its next message
    // (it writes some whenever another server holds a display it tried).
    char logName[] = "/tmp/e2e-xvfb-XXXXXX";
    int log = ::mkostemp(logName, O_CLOEXEC);
    auto messages = [&] {
        std::string text = testsupport::ReadFileBytes(logName);
        return text.empty() ? std::string("no message") : text;
    };
    pid_t pid = Spawn(argv, "", env, log, true, fds[1]);
    ::close(fds[1]);
    if (log >= 0) ::close(log);
    if (pid < 0) {
        ::close(fds[0]);
        ::unlink(logName);
        FError = "cannot start " + server;
        return false;
    }
    FServer.Adopt(pid);

    std::string number;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (number.find('\n') == std::string::npos) {
        pollfd p{fds[0], POLLIN, 0};
        int r = ::poll(&p, 1, MsLeft(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[32];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        FServer.Stop(0);
        FError = server + " did not report its display within 10 s: " + messages();
        ::unlink(logName);
        return false;
    }
    ::unlink(logName);
    FDisplay = ":" + number.substr(0, number.find('\n'));
    return true;
}

std::vector<std::string> XServer::Environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> all = {"DISPLAY=" + FDisplay, "QT_QPA_PLATFORM=xcb"};
    all.insert(all.end(), extra.begin(), extra.end());
    return BaseEnvironment(all);
}

QImage XServer::Screenshot() const {
    std::string png;
    if (RunProgram({"import", "-display", FDisplay, "-window", "root", "png:-"}, Environment(), &png) != 0) return {};
    QImage image;
    image.loadFromData(QByteArray(png.data(), static_cast<qsizetype>(png.size())), "PNG");
    return image.convertToFormat(QImage::Format_RGB32);
}

bool XServer::XDoTool(const std::vector<std::string>& args, std::string* out) const {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, Environment(), out) == 0;
}

bool XServer::Key(const std::string& name) const { return XDoTool({"key", name}); }

bool XServer::MoveTo(int x, int y) const {
    // "mousemove --sync" waits for the pointer to move: to where it already is, it never does.
    std::string where;
    const std::string target = "x:" + std::to_string(x) + " y:" + std::to_string(y) + " ";
    if (XDoTool({"getmouselocation"}, &where) && where.rfind(target, 0) == 0) return true;
    return XDoTool({"mousemove", "--sync", std::to_string(x), std::to_string(y)});
}

bool XServer::Click(int x, int y, int button) const {
    return MoveTo(x, y) && XDoTool({"click", std::to_string(button)});
}

unsigned long XServer::FindWindow(const std::string& name) const {
    std::string out;
    if (!XDoTool({"search", "--onlyvisible", "--name", name}, &out)) return 0;
    return std::strtoul(out.c_str(), nullptr, 10);
}

int CountColour(const QImage& image, const QRect& rect, QRgb colour) {
    int count = 0;
    QRect r = rect.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = r.left(); x <= r.right(); ++x)
            if ((line[x] & 0xFFFFFF) == (colour & 0xFFFFFF)) ++count;
    }
    return count;
}

}  // namespace e2e

// ---------------------------------------------------------------------------------------------

namespace e2e {

struct CountingRelay::State {
    std::string Host;
    int UpstreamPort = 0;
    int Listen = -1;
    std::atomic<bool> Stop{false};
    std::atomic<bool> Stalling{false};
    std::atomic<int> Held{0};
    mutable std::mutex Lock;
    std::vector<std::string> Paths;
    std::vector<std::thread> Workers;
    std::thread Acceptor;

    void Serve(int client) {
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) {
                if (Stop) break;
                continue;
            }
            ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        std::size_t sp1 = request.find(' ');
        std::size_t sp2 = request.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
        if (sp1 != std::string::npos && sp2 != std::string::npos) {
            std::lock_guard<std::mutex> g(Lock);
            Paths.push_back(request.substr(sp1 + 1, sp2 - sp1 - 1));
        }
        if (Stalling) {
            ++Held;
            while (!Stop && Stalling) {
                pollfd p{client, POLLIN, 0};
                ::poll(&p, 1, 100);
                if (p.revents & (POLLHUP | POLLERR)) break;
                if (p.revents & POLLIN) {
                    ssize_t n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT);
                    if (n == 0) break;  // the client gave up
                }
            }
            --Held;
            ::close(client);
            return;
        }
        int up = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(UpstreamPort));
        ::inet_pton(AF_INET, Host.c_str(), &a.sin_addr);
        if (::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            ::send(up, request.data(), request.size(), MSG_NOSIGNAL);
            ssize_t n;
            while ((n = ::recv(up, buf, sizeof buf, 0)) > 0)
                if (::send(client, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) < 0) break;
        }
        ::close(up);
        ::shutdown(client, SHUT_WR);
        ::close(client);
    }
};

CountingRelay::CountingRelay(std::string upstreamHost, int upstreamPort) : FState(std::make_unique<State>()) {
    FState->Host = std::move(upstreamHost);
    FState->UpstreamPort = upstreamPort;
    FState->Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(FState->Listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FState->Listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FState->Listen, 64);
    socklen_t len = sizeof a;
    ::getsockname(FState->Listen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    State* s = FState.get();
    s->Acceptor = std::thread([s] {
        while (!s->Stop) {
            pollfd p{s->Listen, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            int c = ::accept4(s->Listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::lock_guard<std::mutex> g(s->Lock);
            s->Workers.emplace_back([s, c] { s->Serve(c); });
        }
    });
}

CountingRelay::~CountingRelay() {
    FState->Stop = true;
    FState->Acceptor.join();
    ::close(FState->Listen);
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> g(FState->Lock);
        workers.swap(FState->Workers);
    }
    for (std::thread& t : workers) t.join();
}

int CountingRelay::Requests() const {
    std::lock_guard<std::mutex> g(FState->Lock);
    return static_cast<int>(FState->Paths.size());
}

int CountingRelay::RequestsFor(const std::string& code) const {
    std::lock_guard<std::mutex> g(FState->Lock);
    int n = 0;
    for (const std::string& p : FState->Paths)
        if (p.size() >= code.size() && p.compare(p.size() - code.size(), code.size(), code) == 0) ++n;
    return n;
}

void CountingRelay::Stall(bool on) { FState->Stalling = on; }

int CountingRelay::Stalled() const { return FState->Held; }

}  // namespace e2e

namespace e2e {

namespace {
// OSC strings and bundles: big-endian 32-bit numbers, texts padded with NULs to four bytes.
void PutText(std::string& out, const std::string& text) {
    out += text;
    out.append(4 - text.size() % 4, '\0');
}
void PutWord(std::string& out, std::uint32_t v) {
    v = htonl(v);
    out.append(reinterpret_cast<const char*>(&v), 4);
}
void PutFloat(std::string& out, float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    PutWord(out, v);
}
}  // namespace

TuioTouch::TuioTouch() {
    FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // A free port for the board's touch input: taken here, then let go for the board to bind.
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        FPort = ntohs(a.sin_port);
    if (probe >= 0) ::close(probe);
}

TuioTouch::~TuioTouch() {
    if (FSocket >= 0) ::close(FSocket);
}

std::string TuioTouch::Environment() const { return "QT_QPA_GENERIC_PLUGINS=tuiotouch:udp=" + std::to_string(FPort); }

void TuioTouch::SendFrame(bool down, int id, double fx, double fy) {
    // One bundle: the fingers alive, the place of each, the frame's number.
    auto message = [](const std::string& tags, const std::function<void(std::string&)>& args) {
        std::string m;
        PutText(m, "/tuio/2Dcur");
        PutText(m, "," + tags);
        args(m);
        return m;
    };
    std::vector<std::string> parts;
    parts.push_back(message(down ? "si" : "s", [&](std::string& m) {
        PutText(m, "alive");
        if (down) PutWord(m, static_cast<std::uint32_t>(id));
    }));
    if (down)
        parts.push_back(message("sifffff", [&](std::string& m) {
            PutText(m, "set");
            PutWord(m, static_cast<std::uint32_t>(id));
            PutFloat(m, static_cast<float>(fx));
            PutFloat(m, static_cast<float>(fy));
            for (int i = 0; i < 3; ++i) PutFloat(m, 0.0f);
        }));
    parts.push_back(message("si", [&](std::string& m) {
        PutText(m, "fseq");
        PutWord(m, static_cast<std::uint32_t>(++FFrame));
    }));
    std::string bundle;
    PutText(bundle, "#bundle");
    PutWord(bundle, 0);
    PutWord(bundle, 1);  // "immediately"
    for (const std::string& part : parts) {
        PutWord(bundle, static_cast<std::uint32_t>(part.size()));
        bundle += part;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(FPort));
    ::sendto(FSocket, bundle.data(), bundle.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void TuioTouch::Touch(double fx, double fy, int holdMs) {
    const int id = ++FLastId;
    const auto until = Clock::now() + std::chrono::milliseconds(holdMs);
    // The finger stays where it is: the same place each frame, a frame each 40 ms.
    do {
        SendFrame(true, id, fx, fy);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    } while (Clock::now() < until);
    SendFrame(false, id, 0, 0);
}

}  // namespace e2e
