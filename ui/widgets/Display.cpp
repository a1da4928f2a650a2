#include "ui/widgets/Display.h"

#include "idle-inhibit-unstable-v1-client-protocol.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWindow>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <qpa/qplatformnativeinterface.h>
#include <sys/stat.h>
#include <wayland-client.h>

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

// The idle-inhibit manager of a Wayland connection, looked up on an event queue of its own so
// that the toolkit's dispatching of its connection never sees these objects.
struct TInhibitGlobals {
    wl_compositor* compositor = nullptr;
    zwp_idle_inhibit_manager_v1* manager = nullptr;
};

void OnGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
    auto* globals = static_cast<TInhibitGlobals*>(data);
    if (!std::strcmp(interface, wl_compositor_interface.name) && !globals->compositor)
        globals->compositor =
            static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 1));
    else if (!std::strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) && !globals->manager)
        globals->manager = static_cast<zwp_idle_inhibit_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, std::min(version, 1u)));
}

void OnGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener RegistryListener = {OnGlobal, OnGlobalRemove};

}  // namespace

static Display* DisplayProbe = nullptr;  // DisplayProblem()'s connection, until CloseDisplayProbe()

bool WaylandSession() {
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return true;
    return !Env("WAYLAND_DISPLAY").empty() || Env("XDG_SESSION_TYPE") == "wayland";
}

// An idle inhibitor on a Wayland surface. Native: the window's surface on the toolkit's
// connection. Under XWayland: a surface without a role on a connection of its own, which shows
// nothing and still counts with the compositor for as long as the connection lives.
class TIdleInhibit {
public:
    explicit TIdleInhibit(QWindow* window) {
        QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
        if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
            if (!native || !window) return;
            FDisplay = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
            FSurface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window));
            if (!FDisplay || !FSurface) return;
        } else {
            if (Env("WAYLAND_DISPLAY").empty()) return;
            FDisplay = wl_display_connect(nullptr);
            if (!FDisplay) return;
            FOwnConnection = true;
        }
        FQueue = wl_display_create_queue(FDisplay);
        FWrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(FDisplay));
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(FWrapper), FQueue);
        FRegistry = wl_display_get_registry(FWrapper);
        wl_registry_add_listener(FRegistry, &RegistryListener, &FGlobals);
        if (wl_display_roundtrip_queue(FDisplay, FQueue) < 0 || !FGlobals.manager) return;
        if (FOwnConnection) {
            if (!FGlobals.compositor) return;
            FSurface = wl_compositor_create_surface(FGlobals.compositor);
            FOwnSurface = true;
        }
        FInhibitor = zwp_idle_inhibit_manager_v1_create_inhibitor(FGlobals.manager, FSurface);
        if (wl_display_roundtrip_queue(FDisplay, FQueue) < 0) {
            zwp_idle_inhibitor_v1_destroy(FInhibitor);
            FInhibitor = nullptr;
            return;
        }
        if (FOwnConnection) {
            // The compositor's few messages to this connection are read as they come, so that
            // they never fill its socket; a connection the compositor dropped is left alone.
            FNotifier = new QSocketNotifier(wl_display_get_fd(FDisplay), QSocketNotifier::Read);
            QObject::connect(FNotifier, &QSocketNotifier::activated, [this] {
                if (wl_display_dispatch_queue(FDisplay, FQueue) < 0) FNotifier->setEnabled(false);
            });
        }
    }

    ~TIdleInhibit() {
        delete FNotifier;
        if (FInhibitor) zwp_idle_inhibitor_v1_destroy(FInhibitor);
        if (FOwnSurface && FSurface) wl_surface_destroy(FSurface);
        if (FGlobals.manager) zwp_idle_inhibit_manager_v1_destroy(FGlobals.manager);
        if (FGlobals.compositor) wl_compositor_destroy(FGlobals.compositor);
        if (FRegistry) wl_registry_destroy(FRegistry);
        if (FWrapper) wl_proxy_wrapper_destroy(FWrapper);
        if (FDisplay) wl_display_flush(FDisplay);
        if (FQueue) wl_event_queue_destroy(FQueue);
        if (FOwnConnection && FDisplay) wl_display_disconnect(FDisplay);
    }
    TIdleInhibit(const TIdleInhibit&) = delete;
    TIdleInhibit& operator=(const TIdleInhibit&) = delete;

    bool Held() const { return FInhibitor != nullptr; }

private:
    wl_display* FDisplay = nullptr;
    bool FOwnConnection = false;
    wl_event_queue* FQueue = nullptr;
    wl_display* FWrapper = nullptr;
    wl_registry* FRegistry = nullptr;
    TInhibitGlobals FGlobals;
    wl_surface* FSurface = nullptr;
    bool FOwnSurface = false;
    zwp_idle_inhibitor_v1* FInhibitor = nullptr;
    QSocketNotifier* FNotifier = nullptr;
};

std::string DisplayProblem() {
    if (!UsesX11()) return {};
    std::string display = Env("DISPLAY");
    if (display.empty()) return "no display to show the board on (DISPLAY is not set)";
    CloseDisplayProbe();
    DisplayProbe = XOpenDisplay(nullptr);
    if (!DisplayProbe) return "cannot open the display " + display;
    return {};
}

void CloseDisplayProbe() {
    if (DisplayProbe) XCloseDisplay(DisplayProbe);
    DisplayProbe = nullptr;
}

struct TScreenSaverHold::Impl {
    std::unique_ptr<TIdleInhibit> wayland;
    Display* x = nullptr;  // the toolkit's own connection
    bool suspended = false;
    bool inhibited = false;
    unsigned cookie = 0;
};

TScreenSaverHold::TScreenSaverHold(const std::string& application, QWindow* window) : FImpl(std::make_unique<Impl>()) {
    if (WaylandSession()) {
        FImpl->wayland = std::make_unique<TIdleInhibit>(window);
        if (!FImpl->wayland->Held()) FImpl->wayland.reset();
    }
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr)
        FImpl->x = x11->display();
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
    if (FImpl->x && FImpl->suspended) {
        XScreenSaverSuspend(FImpl->x, False);
        XFlush(FImpl->x);
    }
}

std::string TScreenSaverHold::Held() const {
    std::string held;
    if (FImpl->wayland) held = "wayland-idle-inhibit";
    if (FImpl->suspended) held += held.empty() ? "x11-suspend" : " x11-suspend";
    if (FImpl->inhibited) held += held.empty() ? "dbus-inhibit" : " dbus-inhibit";
    return held;
}

}  // namespace ui
