#pragma once
// A scripted TCP server on 127.0.0.1 for the tests and the network benchmarks. It listens on a free port and runs
// its script on a thread of its own for each connection it accepts, one after another. Scripts
// use the blocking helpers below; every wait in them also ends when the server stops, so a
// test never hangs on its server.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

class LoopbackServer {
public:
    // The script gets the accepted connection and its 0-based number. The socket is closed
    // after the script returns, unless the script reset it (Conn::Reset).
    struct Conn {
        int fd;
        int index;
        LoopbackServer* server;
        // Sends all bytes; false when the peer is gone.
        bool Send(const std::string& bytes) const;
        // Receives until the text contains "\r\n\r\n" and, if it announces one, the whole
        // "Content-Length" body; records it as a request. Empty when the peer closed first.
        std::string ReadRequest() const;
        // Receives exactly n bytes or until the peer closes.
        std::string ReadBytes(std::size_t n) const;
        // Receives everything until the peer closes.
        std::string ReadAll() const;
        // Waits until the peer closes (or the server stops); reads and drops what comes.
        void WaitClosed() const;
        // Sleeps, ending early when the server stops.
        void Pause(int ms) const;
        // Closes the connection with a reset instead of an orderly close.
        void Reset();
        bool Stopping() const;
    };
    using Script = std::function<void(Conn&)>;

    explicit LoopbackServer(Script script, int backlog = 16, bool acceptConnections = true);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return FPort; }
    // The requests recorded by Conn::ReadRequest, in order.
    std::vector<std::string> Requests();
    int Accepted() const { return FAccepted; }
    void Stop();

private:
    void Run();

    Script FScript;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStop{false};
    std::atomic<int> FAccepted{0};
    std::mutex FMutex;
    std::vector<std::string> FRequests;
    std::thread FThread;
};

// A port on 127.0.0.1 that refuses connections while the object lives.
class RefusedPort {
public:
    RefusedPort();
    ~RefusedPort();
    int Port() const { return FPort; }

private:
    int FFd = -1;
    int FPort = 0;
};

// A listener whose accept queue is full, so that a further connection attempt stays unanswered.
class UnansweredPort {
public:
    UnansweredPort();
    ~UnansweredPort();
    int Port() const { return FPort; }

private:
    int FListen = -1;
    int FPort = 0;
    std::vector<int> FFillers;
};

// The message of the exception of type E that f raises, or "(nothing raised)".
template <class E, class F>
std::string MessageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

}  // namespace nettest
