#include "Wayland.h"

#include <QFile>
#include <QLibraryInfo>
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace e2e {

namespace {

const char* const TestUser = "qb-wayland-test";

bool Found(const std::string& program) {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
        if (::access((std::string(dir) + program).c_str(), X_OK) == 0) return true;
    return false;
}

bool UserIds(uid_t& uid, gid_t& gid) {
    const passwd* pw = ::getpwnam(TestUser);
    if (!pw) return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    return true;
}

bool WaitUntil(const std::function<bool()>& holds, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

std::string WaylandMissing() {
    if (::geteuid() != 0) return "the compositors run as a throwaway user, which only root can create and become";
    struct Tool {
        const char* program;
        const char* package;
    };
    const Tool tools[] = {{"sway", "sway"}, {"swaymsg", "sway"}, {"cage", "cage"},         {"swayidle", "swayidle"},
                          {"grim", "grim"}, {"wtype", "wtype"},  {"Xwayland", "xwayland"}, {"setpriv", "util-linux"}};
    std::string missing;
    for (const Tool& t : tools)
        if (!Found(t.program))
            missing += std::string(missing.empty() ? "" : ", ") + t.program + " (Debian package " + t.package + ")";
    const QString plugin = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so";
    if (!QFile::exists(plugin))
        missing += std::string(missing.empty() ? "" : ", ") + "the toolkit's Wayland platform (qt6-wayland)";
    if (!missing.empty()) return "These tests need " + missing + ": install them with scripts/install-deps";
    uid_t uid;
    gid_t gid;
    if (!UserIds(uid, gid)) {
        // Tests running side by side may both create it: the second one's failure is no failure.
        RunProgram({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
                    "/usr/sbin/nologin", TestUser},
                   BaseEnvironment());
        if (!UserIds(uid, gid)) return std::string("the throwaway user ") + TestUser + " could not be created";
    }
    return {};
}

Compositor::Compositor() = default;

Compositor::~Compositor() {
    if (FPointerIn >= 0) ::close(FPointerIn);
    FPointer.Stop(1000);
    FIdle.Stop(1000);
    FCompositor.Stop(3000);
}

bool Compositor::Prepare() {
    FError = WaylandMissing();
    if (!FError.empty()) return false;
    uid_t uid = 0;
    gid_t gid = 0;
    UserIds(uid, gid);
    FRuntime = std::make_unique<testsupport::TempDir>();
    if (::chown(FRuntime->path().c_str(), uid, gid) != 0 || ::chmod(FRuntime->path().c_str(), 0700) != 0) {
        FError = "cannot hand the runtime directory to " + std::string(TestUser);
        return false;
    }
    return true;
}

std::vector<std::string> Compositor::AsUser(const std::vector<std::string>& argv) const {
    uid_t uid = 0;
    gid_t gid = 0;
    UserIds(uid, gid);
    std::vector<std::string> all = {"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
                                    "--clear-groups", "--"};
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

void Compositor::GiveDirectory(const std::string& dir) const {
    uid_t uid = 0;
    gid_t gid = 0;
    if (!UserIds(uid, gid)) return;
    // A file left to root is only a file the board cannot rewrite: its test then fails on it.
    std::error_code ignored;
    if (::chown(dir.c_str(), uid, gid) != 0) return;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        if (::chown(entry.path().c_str(), uid, gid) != 0) return;
}

std::string Compositor::Program(const std::string& relative) {
    const std::string target = FRuntime->file(std::filesystem::path(relative).filename().string());
    std::filesystem::copy_file(ProgramPath(relative), target, std::filesystem::copy_options::overwrite_existing);
    ::chmod(target.c_str(), 0755);
    GiveDirectory(FRuntime->path());
    return target;
}

std::vector<std::string> Compositor::Environment(Platform platform, const std::vector<std::string>& extra) const {
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + FRuntime->path(), "HOME=" + FRuntime->path(),
                                    // The tests' own session bus, if any, is not the compositor's.
                                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
    if (!FSocket.empty()) env.push_back("WAYLAND_DISPLAY=" + FSocket);
    if (platform == Native) {
        env.push_back("QT_QPA_PLATFORM=wayland");
    } else {
        env.push_back("QT_QPA_PLATFORM=xcb");
        if (!FXDisplay.empty()) env.push_back("DISPLAY=" + FXDisplay);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    env = BaseEnvironment(env);
    // A sanitizer's suppressions, read by a program that runs as the throwaway user: a copy it
    // may read (the build tree may lie where that user cannot go).
    for (std::string& e : env) {
        if (e.rfind("LSAN_OPTIONS=", 0) != 0 && e.rfind("UBSAN_OPTIONS=", 0) != 0) continue;
        const std::size_t at = e.find("suppressions=");
        if (at == std::string::npos) continue;
        const std::size_t start = at + std::string("suppressions=").size(), end = e.find(':', start);
        const std::string file = e.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string copy = FRuntime->file(std::filesystem::path(file).filename().string());
        std::error_code failed;
        std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing, failed);
        ::chmod(copy.c_str(), 0644);
        e.replace(start, file.size(), copy);
    }
    return env;
}

int Compositor::Run(const std::vector<std::string>& argv, std::string* out) const {
    return RunProgram(argv, Environment(Native), out, 10000);
}

bool Compositor::WaitForSocket() {
    const bool found = WaitUntil(
        [&] {
            FCompositor.Output();  // drains the pipe
            if (!FCompositor.Running()) return true;
            for (const auto& entry : std::filesystem::directory_iterator(FRuntime->path())) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos) FSocket = name;
                if (name.rfind("sway-ipc.", 0) == 0) FSwaySocket = entry.path().string();
            }
            return !FSocket.empty();
        },
        10000);
    if (!found || !FCompositor.Running()) {
        FError = "the compositor did not start: " + FCompositor.Output();
        return false;
    }
    return true;
}

void Compositor::StartIdleWatch() {
    FIdle.Start({"swayidle", "-w", "timeout", "1", "touch " + FRuntime->file("idle")}, "", Environment(Native), true);
}

bool Compositor::WentIdle() {
    FIdle.Output();
    return std::filesystem::remove(FRuntime->file("idle"));
}

bool Compositor::StartSway() {
    if (!FRuntime && !Prepare()) return false;
    const std::string config = FRuntime->file("sway.conf");
    testsupport::WriteFileBytes(config, "output HEADLESS-1 resolution 1920x1080 position 0 0\n"
                                        "xwayland enable\n"
                                        "exec sh -c 'echo \"$DISPLAY\" > " +
                                            FRuntime->file("x-display") + "'\n");
    GiveDirectory(FRuntime->path());
    std::vector<std::string> env =
        BaseEnvironment({"XDG_RUNTIME_DIR=" + FRuntime->path(), "HOME=" + FRuntime->path(), "WLR_BACKENDS=headless",
                         "WLR_HEADLESS_OUTPUTS=1", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"});
    if (!FCompositor.Start(AsUser({"sway", "-c", config}), FRuntime->path(), env, true)) {
        FError = "cannot start sway";
        return false;
    }
    if (!WaitForSocket()) return false;
    if (!WaitUntil([&] { return !testsupport::ReadFileBytes(FRuntime->file("x-display")).empty(); }, 10000)) {
        FError = "sway started no XWayland server";
        return false;
    }
    FXDisplay = testsupport::ReadFileBytes(FRuntime->file("x-display"));
    while (!FXDisplay.empty() && (FXDisplay.back() == '\n' || FXDisplay.back() == '\r')) FXDisplay.pop_back();
    FOutput = QSize(1920, 1080);
    StartIdleWatch();
    return true;
}

bool Compositor::StartCage(const std::vector<std::string>& argv, const std::string& dir,
                           const std::vector<std::string>& env) {
    if (!FRuntime && !Prepare()) return false;
    // cage gives its program the display variables itself.
    std::vector<std::string> cageEnv;
    for (const std::string& e : env)
        if (e.rfind("WAYLAND_DISPLAY=", 0) != 0 && e.rfind("DISPLAY=", 0) != 0) cageEnv.push_back(e);
    for (const char* e :
         {"WLR_BACKENDS=headless", "WLR_HEADLESS_OUTPUTS=1", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"})
        cageEnv.push_back(e);
    std::vector<std::string> command = {"cage", "-d", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    if (!FCompositor.Start(AsUser(command), dir, cageEnv, true)) {
        FError = "cannot start cage";
        return false;
    }
    if (!WaitForSocket()) return false;
    FOutput = QSize(1280, 720);  // wlroots' headless output
    StartIdleWatch();
    return true;
}

QImage Compositor::Screenshot() const {
    const std::string file = FRuntime->file("screen.png");
    if (Run({"grim", file}) != 0) return {};
    return QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32);
}

bool Compositor::Key(const std::string& name) const {
    // A new virtual keyboard each time: the client must take its keymap before the first key.
    return Run({"wtype", "-s", "300", "-k", name}) == 0;
}

bool Compositor::Type(const std::string& text) const { return Run({"wtype", "-s", "300", text}) == 0; }

bool Compositor::Pointer(const std::string& command) {
    if (FPointerIn < 0) {
        const std::string fifo = FRuntime->file("pointer");
        ::mkfifo(fifo.c_str(), 0600);
        if (!FPointer.Start({ProgramPath("tests/e2e/qb-wl-pointer"), fifo}, "", Environment(Native), true))
            return false;
        FPointerIn = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        if (FPointerIn < 0 || !FPointer.WaitForOutput("ready", 5000)) return false;
        FPointerAnswers = 1;
    }
    const std::string line = command + "\n";
    if (::write(FPointerIn, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    ++FPointerAnswers;
    const bool answered = WaitUntil(
        [&] {
            const std::string& out = FPointer.Output();
            return std::count(out.begin(), out.end(), '\n') >= FPointerAnswers || !FPointer.Running();
        },
        5000);
    const std::string& out = FPointer.Output();
    return answered && out.size() >= 3 && out.compare(out.size() - 3, 3, "ok\n") == 0;
}

std::string Compositor::Tree() const {
    std::string out;
    if (FSwaySocket.empty() || Run({"swaymsg", "-s", FSwaySocket, "-t", "get_tree"}, &out) != 0) return {};
    return out;
}

}  // namespace e2e
