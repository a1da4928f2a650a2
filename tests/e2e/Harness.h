#pragma once
// Running the installed-style programs on a real X server for end-to-end tests.
//
//   e2e::XServer x;                       // Xvfb on a free display, 1920 x 1080 by default
//   ASSERT_TRUE(x.Start()) << x.Error();  // fails, naming the package, when Xvfb is missing
//   e2e::Child board;
//   board.Start({e2e::ProgramPath("board/quoteboard")}, dir, x.Environment({"QUOTE_SERVER=..."}));
//   QImage shot = x.Screenshot();
//   x.Key("Escape"); x.Click(100, 50, 3);
//
// Every child is killed by the kernel if the test process dies first, and stopped (SIGTERM, then
// SIGKILL) when its object goes.
#include "support/TempDir.h"

#include <QImage>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

// The tools these tests drive, each with the Debian package that brings it. Empty when all are
// installed; otherwise a message that names what to install.
std::string MissingTools();

// The environment entries that make a program see its local clock start at the given time
// ("2026-12-09 10:00:00") and run on from there: libfaketime preloaded into the program itself,
// so that its process id stays its own (the faketime command would run it as a child).
std::vector<std::string> FakeTimeEnvironment(const std::string& localTime);

// The build tree's program at a path relative to it, e.g. "board/quoteboard".
std::string ProgramPath(const std::string& relative);

// A child process with its standard output (and error, when asked) captured through a pipe.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] (a path) in the directory dir (empty: this one), with the environment env
    // (each "NAME=value"; a complete environment). False when it could not start.
    bool Start(const std::vector<std::string>& argv, const std::string& dir, const std::vector<std::string>& env,
               bool captureStderr = false);
    // Takes over a child started elsewhere (without captured output).
    void Adopt(pid_t pid);
    pid_t Pid() const { return FPid; }
    bool Running();
    // Waits up to ms for the child to end; its exit code, 128 + signal when a signal ended it,
    // or -1 while it still runs.
    int Wait(int ms);
    // Sends a signal.
    void Signal(int signo);
    // SIGTERM, then SIGKILL after graceMs; the exit code as Wait() gives it.
    int Stop(int graceMs = 3000);

    // Everything the child has written so far.
    const std::string& Output();
    // Waits up to ms until the output holds text; true when it does.
    bool WaitForOutput(const std::string& text, int ms);

private:
    void ReadOutput(int waitMs);
    pid_t FPid = -1;
    int FOut = -1;
    int FStatus = -1;
    std::string FOutput;
};

// Runs a program to its end and returns its exit code (-1 when it could not run); its standard
// output goes to out when given.
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string* out = nullptr,
               int timeoutMs = 20000);

// The environment of this process less the display, the session type and the Qt platform choice,
// plus extra.
std::vector<std::string> BaseEnvironment(const std::vector<std::string>& extra = {});

// Why the X server with two monitors cannot start here (not root, Xorg or its dummy driver
// missing); empty when it can.
std::string TwoMonitorsMissing();

class XServer {
public:
    XServer() = default;
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // Starts Xvfb on a display it picks itself. False with Error() set when it cannot; a
    // missing tool is named with its package.
    bool Start(int width = 1920, int height = 1080);
    // Starts Xorg with its dummy driver instead: two 1920 x 1080 monitors side by side on one
    // 3840 x 1080 screen, the right one primary. It needs root; False with Error() set when it
    // cannot start.
    bool StartTwoMonitors();
    // Ends the server at once, as a session that goes away does.
    void Kill();
    const std::string& Error() const { return FError; }
    const std::string& Display() const { return FDisplay; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }

    // BaseEnvironment() for a program that is to show its windows on this server.
    std::vector<std::string> Environment(const std::vector<std::string>& extra = {}) const;

    // The whole screen; a null image when it could not be taken.
    QImage Screenshot() const;
    // xdotool: a key by its X name ("Escape", "space", "F5", "Return"), a press of a mouse
    // button at a point, the pointer moved to a point. False when xdotool failed.
    bool Key(const std::string& name) const;
    bool Click(int x, int y, int button = 1) const;
    bool MoveTo(int x, int y) const;
    // The X window id of the first visible window whose name matches, 0 when none.
    unsigned long FindWindow(const std::string& name) const;
    bool XDoTool(const std::vector<std::string>& args, std::string* out = nullptr) const;

private:
    bool StartOnce(int width, int height);
    bool Launch(const std::vector<std::string>& argv);
    Child FServer;
    std::unique_ptr<testsupport::TempDir> FConfig;
    std::string FDisplay;
    std::string FError;
    int FWidth = 0;
    int FHeight = 0;
};

// True when the image holds at least minPixels pixels of the colour (exact RGB) inside rect.
int CountColour(const QImage& image, const QRect& rect, QRgb colour);

}  // namespace e2e

namespace e2e {

// A loopback relay in front of a quote server: counts the page requests that pass and, while
// Stall() is on, holds new connections open without an answer (a server that hangs).
class CountingRelay {
public:
    CountingRelay(std::string upstreamHost, int upstreamPort);
    ~CountingRelay();
    CountingRelay(const CountingRelay&) = delete;
    CountingRelay& operator=(const CountingRelay&) = delete;

    int Port() const { return FPort; }
    // Requests seen so far, and how many of them asked for the code.
    int Requests() const;
    int RequestsFor(const std::string& code) const;
    // While on, connections are accepted and their requests read, then nothing is sent back.
    void Stall(bool on);
    // Connections currently held by a stall.
    int Stalled() const;

private:
    struct State;
    std::unique_ptr<State> FState;
    int FPort = 0;
};

}  // namespace e2e

namespace e2e {

// Fingers on a touch screen, through the toolkit's own TUIO touch plugin: a program started with
// Environment() among its variables takes touch points over UDP on loopback from this sender.
// The plugin places a touch, given as fractions of the width and the height, in the window that
// has the keyboard focus: the board, or the dialog open over it.
class TuioTouch {
public:
    TuioTouch();
    ~TuioTouch();
    TuioTouch(const TuioTouch&) = delete;
    TuioTouch& operator=(const TuioTouch&) = delete;

    std::string Environment() const;
    // One finger down at (fx, fy) of the focused window, held still for holdMs, then lifted.
    void Touch(double fx, double fy, int holdMs = 60);

private:
    void SendFrame(bool down, int id, double fx, double fy);
    int FSocket = -1;
    int FPort = 0;
    int FFrame = 0;
    int FLastId = 0;
};

}  // namespace e2e
