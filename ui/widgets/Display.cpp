#include "ui/widgets/Display.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <cstdlib>
#include <sys/stat.h>

namespace ui {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// The platform Qt picks for this process is X11: QT_QPA_PLATFORM names xcb, or names nothing
// and no Wayland session is there to prefer.
bool UsesX11() {
    std::string platform = Env("QT_QPA_PLATFORM");
    if (platform.empty()) return Env("WAYLAND_DISPLAY").empty() || !Env("DISPLAY").empty();
    return platform.rfind("xcb", 0) == 0;
}

bool HasSessionBus() {
    if (!Env("DBUS_SESSION_BUS_ADDRESS").empty()) return true;
    std::string runtime = Env("XDG_RUNTIME_DIR");
    struct stat st {};
    return !runtime.empty() && ::stat((runtime + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

const char* const Service = "org.freedesktop.ScreenSaver";
const char* const ServicePath = "/org/freedesktop/ScreenSaver";
constexpr int DBusTimeoutMs = 2000;

}  // namespace

std::string DisplayProblem() {
    if (!UsesX11()) return {};
    std::string display = Env("DISPLAY");
    if (display.empty()) return "no display to show the board on (DISPLAY is not set)";
    Display* d = XOpenDisplay(nullptr);
    if (!d) return "cannot open the display " + display;
    XCloseDisplay(d);
    return {};
}

struct TScreenSaverHold::Impl {
    Display* x = nullptr;
    bool suspended = false;
    bool inhibited = false;
    unsigned cookie = 0;
};

TScreenSaverHold::TScreenSaverHold(const std::string& application) : FImpl(std::make_unique<Impl>()) {
    if (UsesX11() && !Env("DISPLAY").empty()) FImpl->x = XOpenDisplay(nullptr);
    if (FImpl->x) {
        int event = 0, error = 0, major = 0, minor = 0;
        if (XScreenSaverQueryExtension(FImpl->x, &event, &error) &&
            XScreenSaverQueryVersion(FImpl->x, &major, &minor) && (major > 1 || (major == 1 && minor >= 1))) {
            XScreenSaverSuspend(FImpl->x, True);
            XFlush(FImpl->x);
            FImpl->suspended = true;
        }
    }
    // A desktop that keeps its own idle time (and blanks through it) offers the inhibit. Only a
    // session bus that is there is asked: none is to be started (autolaunched) for it.
    if (!HasSessionBus()) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(Service)) {
        QDBusMessage call = QDBusMessage::createMethodCall(Service, ServicePath, Service, "Inhibit");
        call << QString::fromStdString(application) << QStringLiteral("a wall board is showing quotes");
        QDBusMessage reply = bus.call(call, QDBus::Block, DBusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            FImpl->cookie = reply.arguments().first().toUInt();
            FImpl->inhibited = true;
        }
    }
}

TScreenSaverHold::~TScreenSaverHold() {
    if (FImpl->inhibited) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QDBusMessage call = QDBusMessage::createMethodCall(Service, ServicePath, Service, "UnInhibit");
        call << FImpl->cookie;
        bus.call(call, QDBus::Block, DBusTimeoutMs);
    }
    if (FImpl->x) {
        if (FImpl->suspended) XScreenSaverSuspend(FImpl->x, False);
        XCloseDisplay(FImpl->x);
    }
}

std::string TScreenSaverHold::Held() const {
    std::string held;
    if (FImpl->suspended) held = "x11-suspend";
    if (FImpl->inhibited) held += held.empty() ? "dbus-inhibit" : " dbus-inhibit";
    return held;
}

}  // namespace ui
