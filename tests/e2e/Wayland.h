#pragma once
// A headless wlroots compositor for end-to-end tests: sway (with its XWayland server) or cage (a
// kiosk running one program), each on one virtual output, read back with grim. The compositors
// refuse to run as root, so they run as a throwaway user that the tests create; the programs a
// test shows on them run as that user too.
//
//   e2e::Compositor sway;
//   ASSERT_TRUE(sway.StartSway()) << sway.Error();
//   board.Start(sway.AsUser({copied board}), dir, sway.Environment(e2e::Compositor::Native, {...}), true);
//   sway.Pointer("move 900 380"); sway.Pointer("click right"); sway.Key("Escape");
//   QImage shot = sway.Screenshot();
#include "Harness.h"

#include <QImage>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

// Why the compositors cannot run here (not root, a program or the toolkit's Wayland platform
// missing); empty when they can. Creates the throwaway user when it is missing.
std::string WaylandMissing();

class Compositor {
public:
    enum Platform { Native, XWayland };

    Compositor();
    ~Compositor();
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    // The runtime directory, owned by the throwaway user: before Program() or StartCage().
    bool Prepare();
    // sway with one 1920 x 1080 output and XWayland. False with Error() set when it cannot.
    bool StartSway();
    // cage running argv (made to run as the throwaway user here) in dir with env, on one output
    // of wlroots' default 1280 x 720. Its standard output and error are the program's.
    bool StartCage(const std::vector<std::string>& argv, const std::string& dir, const std::vector<std::string>& env);
    const std::string& Error() const { return FError; }
    Child& Process() { return FCompositor; }

    // A program of the build tree, copied where the throwaway user may run it.
    std::string Program(const std::string& relative);
    // argv run as the throwaway user.
    std::vector<std::string> AsUser(const std::vector<std::string>& argv) const;
    // Lets the throwaway user write the directory (and the files in it).
    void GiveDirectory(const std::string& dir) const;
    // BaseEnvironment() for a program shown on this compositor, natively or through XWayland.
    std::vector<std::string> Environment(Platform platform, const std::vector<std::string>& extra = {}) const;

    QImage Screenshot() const;
    QSize OutputSize() const { return FOutput; }
    // Keys through the virtual-keyboard protocol (wtype): an X key name, or text.
    bool Key(const std::string& name) const;
    bool Type(const std::string& text) const;
    // A pointer through the virtual-pointer protocol: "move X Y", "press right", "click left".
    bool Pointer(const std::string& command);
    // sway's tree of windows, as JSON.
    std::string Tree() const;
    // Whether the compositor found the seat idle for one second since the last call (swayidle
    // asks it through the idle protocol, which an idle inhibitor holds off).
    bool WentIdle();

private:
    bool WaitForSocket();
    void StartIdleWatch();
    int Run(const std::vector<std::string>& argv, std::string* out = nullptr) const;
    std::unique_ptr<testsupport::TempDir> FRuntime;  // XDG_RUNTIME_DIR, owned by the user
    Child FCompositor, FIdle, FPointer;
    int FPointerIn = -1;
    int FPointerAnswers = 0;
    std::string FSocket, FSwaySocket, FXDisplay, FError;
    QSize FOutput;
};

}  // namespace e2e
