#pragma once
// The display a board shows on: whether there is one to open, and keeping it awake.
#include <memory>

class QWindow;
#include <string>

namespace ui {

// Empty when the platform Qt is going to use can show windows; otherwise one line saying why
// not (no DISPLAY, or an X server that cannot be opened). Platforms other than X11 (offscreen,
// wayland, ...) are left to Qt and always pass.
std::string DisplayProblem();
// The connection DisplayProblem() opened is kept until this is called, once the toolkit has its
// own: an X server without other clients resets itself when its last client leaves, which would
// cost the next connection the reset's time and reset what the session had set.
void CloseDisplayProbe();

// Whether the program runs in a Wayland session: natively on Qt's Wayland platform, or as an X11
// client of the compositor's XWayland server (WAYLAND_DISPLAY or XDG_SESSION_TYPE says so). A
// compositor places top-level windows itself, so dialogs are drawn inside the board's window.
bool WaylandSession();

// While it lives, the screen saver and display power saving are held off for the window it is
// given (the board, already on the screen):
// - on Wayland through the compositor's idle-inhibit protocol: on the window's own surface when
//   the program is a native Wayland client, else (under XWayland, whose surfaces the program does
//   not own) on a surface of a Wayland connection of its own;
// - on X11 through the MIT-SCREEN-SAVER extension's suspend request on the toolkit's own
//   connection (which holds off DPMS as well);
// - and through the desktop's org.freedesktop.ScreenSaver inhibit over D-Bus where the session
//   offers one.
// All are released when it goes (the servers also drop them if the program dies). Holding
// nothing (no such protocol, extension or desktop service) is not an error.
class TScreenSaverHold {
public:
    TScreenSaverHold(const std::string& application, QWindow* window);
    ~TScreenSaverHold();
    TScreenSaverHold(const TScreenSaverHold&) = delete;
    TScreenSaverHold& operator=(const TScreenSaverHold&) = delete;

    // What is held, e.g. "x11-suspend dbus-inhibit" or "wayland-idle-inhibit"; empty when
    // nothing is.
    std::string Held() const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

}  // namespace ui
