// quote-server under slow clients: the time one page takes (a connection per page, as the board
// fetches) while N connections trickle their request headers a byte at a time, the server's
// memory and open files while they do, both again once they have gone, and how long SIGTERM
// takes to end it while they hold on.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef QB_QUOTE_SERVER
#define QB_QUOTE_SERVER "server/quote-server"
#endif

namespace {

// The quote server as a child process on a free port.
class Server {
public:
    Server() {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_t parent = ::getpid();
        FPid = ::fork();
        if (FPid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the benchmark
            if (::getppid() != parent) ::_exit(127);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::execl(QB_QUOTE_SERVER, QB_QUOTE_SERVER, "--port", "0", "--always-open", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char line[256] = {};
        ssize_t n = ::read(out[0], line, sizeof line - 1);
        ::close(out[0]);
        const char* colon = n > 0 ? std::strrchr(line, ':') : nullptr;
        if (colon) FPort = std::atoi(colon + 1);
    }
    ~Server() { Stop(); }
    // Sends SIGTERM and waits for the exit: milliseconds taken, -1 for an unclean exit.
    double Stop() {
        if (FPid <= 0) return -1;
        auto start = std::chrono::steady_clock::now();
        ::kill(FPid, SIGTERM);
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FPid = -1;
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took.count() : -1;
    }
    int Port() const { return FPort; }
    // Resident memory in MB.
    double MemoryMb() const {
        std::ifstream status("/proc/" + std::to_string(FPid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024;
        return -1;
    }
    double OpenFiles() const {
        std::error_code ec;
        auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(FPid) + "/fd", ec);
        return ec ? -1 : static_cast<double>(std::distance(begin(entries), end(entries)));
    }

private:
    pid_t FPid = -1;
    int FPort = 0;
};

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One page over a connection of its own; false when no complete answer came within 5 s.
bool FetchPage(int port) {
    int fd = Connect(port);
    if (fd < 0) return false;
    const char request[] = "GET /q/q?s=2330 HTTP/1.0\r\n\r\n";
    bool ok = ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == sizeof request - 1;
    std::size_t got = 0;
    for (char buf[8192]; ok;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            ok = false;
            break;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ok && got > 1000;
}

// Connections that send one header byte each every second or so.
class SlowClients {
public:
    SlowClients(int port, int count) {
        for (int i = 0; i < count; ++i) {
            int fd = Connect(port);
            if (fd < 0) break;
            ::send(fd, "GET /q/q?s=2330 HTTP/1.1\r\nX-Slow: ", 34, MSG_NOSIGNAL);
            FFds.push_back(fd);
        }
        FThread = std::thread([this] {
            while (!FStop) {
                for (int fd : FFds) ::send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                for (int i = 0; i < 10 && !FStop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~SlowClients() {
        FStop = true;
        FThread.join();
        for (int fd : FFds) ::close(fd);
    }
    std::size_t Count() const { return FFds.size(); }

private:
    std::vector<int> FFds;
    std::atomic<bool> FStop = false;
    std::thread FThread;
};

void BM_PageWhileSlowClientsHold(benchmark::State& state) {
    Server server;
    if (server.Port() <= 0) {
        state.SkipWithError("quote-server did not start");
        return;
    }
    FetchPage(server.Port());
    double baseMemory = server.MemoryMb(), baseFiles = server.OpenFiles();
    int failed = 0;
    std::size_t held = 0;
    double heldMemory = 0, heldFiles = 0;
    {
        SlowClients slow(server.Port(), static_cast<int>(state.range(0)));
        held = slow.Count();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (auto _ : state) failed += !FetchPage(server.Port());
        heldMemory = server.MemoryMb();
        heldFiles = server.OpenFiles();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.counters["rss_mb_after"] = server.MemoryMb();
    state.counters["fds_after"] = server.OpenFiles();
    {
        SlowClients slow(server.Port(), static_cast<int>(state.range(0)));
        state.counters["sigterm_ms"] = server.Stop();
    }
    state.counters["slow_clients"] = static_cast<double>(held);
    state.counters["failed"] = failed;
    state.counters["rss_mb_before"] = baseMemory;
    state.counters["rss_mb_held"] = heldMemory;
    state.counters["fds_before"] = baseFiles;
    state.counters["fds_held"] = heldFiles;
}
BENCHMARK(BM_PageWhileSlowClientsHold)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
