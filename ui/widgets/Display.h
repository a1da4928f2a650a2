#pragma once
// The display a board shows on: whether there is one to open, and keeping it awake.
#include <memory>
#include <string>

namespace ui {

// Empty when the platform Qt is going to use can show windows; otherwise one line saying why
// not (no DISPLAY, or an X server that cannot be opened). Platforms other than X11 (offscreen,
// wayland, ...) are left to Qt and always pass.
std::string DisplayProblem();

// While it lives, the screen saver and display power saving are held off: on X11 through the
// MIT-SCREEN-SAVER extension's suspend request (which holds off DPMS as well), and through the
// desktop's org.freedesktop.ScreenSaver inhibit over D-Bus where the session offers one. Both
// are released when it goes (the X server also drops the suspension if the program dies).
// Holding nothing (no X server, no such extension, no desktop service) is not an error.
class TScreenSaverHold {
public:
    explicit TScreenSaverHold(const std::string& application);
    ~TScreenSaverHold();
    TScreenSaverHold(const TScreenSaverHold&) = delete;
    TScreenSaverHold& operator=(const TScreenSaverHold&) = delete;

    // What is held, e.g. "x11-suspend dbus-inhibit"; empty when nothing is.
    std::string Held() const;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

}  // namespace ui
