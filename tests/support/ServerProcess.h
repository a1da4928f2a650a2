#pragma once
// Runs the quote server (server/quote-server of the build tree) as a child process for a test.
//
//   testsupport::ServerProcess server;
//   ASSERT_TRUE(server.Start({"--always-open"})) << server.Error();
//   std::string url = server.Url("/q/q?s=2330");   // "http://127.0.0.1:PORT/q/q?s=2330"
//
// Start() adds "--port 0" (unless the arguments name a port), so every server gets a free port,
// waits for the ready line "quote-server listening on HOST:PORT (N stocks)" and reads the port
// from it. Without "--data" the server finds the repository's data/MARKET.TXT itself.
// The child is stopped (SIGTERM, then SIGKILL after a grace period, then its whole process
// group) by Stop() and by the destructor on every path, and it is killed by the kernel if the
// test process dies first, even by SIGKILL (more exactly, when the thread that started it ends:
// start it from the test's own thread).
// Its standard error goes to the test's standard error.
//
// RunToExit() and StartQuotewatch() run the build tree's programs with the same tie to the test:
// nothing they start outlives it.
#include <QStringList>
#include <string>
#include <sys/types.h>
#include <vector>

class QProcess;

namespace testsupport {

class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server with these extra arguments and waits up to timeoutMs for it to be
    // ready. False when it could not start, exited, or said nothing in time (see Error()).
    bool Start(const std::vector<std::string>& args = {}, int timeoutMs = 10000);

    // Stops the server and waits for it. Returns its exit status (0 for a clean exit on
    // SIGTERM), -1 when it was not running or had to be killed.
    int Stop(int graceMs = 5000);

    bool Running() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }
    int Port() const { return FPort; }
    const std::string& Host() const { return FHost; }
    // The ready line as the server printed it, without the line end.
    const std::string& ReadyLine() const { return FReadyLine; }
    // The number of stocks the ready line announced.
    int StockCount() const { return FStocks; }
    // "http://HOST:PORT" followed by path.
    std::string Url(const std::string& path = "/") const;
    // Why Start() failed.
    const std::string& Error() const { return FError; }

    // The program that Start() runs: $QB_BINARY_DIR/server/quote-server.
    static std::string Program();

    // Runs the server with these arguments until it exits by itself: its exit status, or -1 when
    // it died of a signal or was still running after timeoutMs (it is then killed).
    static int RunToExit(const std::vector<std::string>& args, int timeoutMs = 10000);

private:
    pid_t FPid = -1;
    int FOutput = -1;  // read end of the child's standard output
    int FPort = 0;
    int FStocks = 0;
    std::string FHost;
    std::string FReadyLine;
    std::string FError;
};

// Starts $QB_BINARY_DIR/quote/quotewatch in the directory, watching the quote server on
// 127.0.0.1:serverPort. The child is killed when the test process dies.
void StartQuotewatch(QProcess& watch, const std::string& dir, int serverPort, const QStringList& args);

}  // namespace testsupport
