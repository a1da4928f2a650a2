#include "LoopbackServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {
namespace {

constexpr int kSlice = 20;  // ms between checks of the stop flag

int ListenOn(int backlog, int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) throw std::runtime_error("bind failed");
    if (backlog >= 0 && ::listen(fd, backlog) != 0) throw std::runtime_error("listen failed");
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

// Waits until fd is readable or the server stops; false when it stopped.
bool WaitReadable(int fd, const std::atomic<bool>& stop) {
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, kSlice);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

}  // namespace

bool LoopbackServer::Conn::Stopping() const { return server->FStop; }

bool LoopbackServer::Conn::Send(const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string LoopbackServer::Conn::ReadRequest() const {
    std::string text;
    char buf[4096];
    std::size_t need = std::string::npos;
    for (;;) {
        std::size_t end = text.find("\r\n\r\n");
        if (end != std::string::npos && need == std::string::npos) {
            need = end + 4;
            std::string head = text.substr(0, end);
            for (std::size_t i = 0; i < head.size(); ++i) head[i] = static_cast<char>(std::tolower(head[i]));
            std::size_t cl = head.find("\r\ncontent-length: ");
            if (cl != std::string::npos) need += std::stoul(head.substr(cl + 18));
        }
        if (need != std::string::npos && text.size() >= need) break;
        if (!WaitReadable(fd, server->FStop)) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    std::lock_guard<std::mutex> lock(server->FMutex);
    server->FRequests.push_back(text);
    return text;
}

std::string LoopbackServer::Conn::ReadBytes(std::size_t count) const {
    std::string text;
    char buf[65536];
    while (text.size() < count && WaitReadable(fd, server->FStop)) {
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - text.size()), 0);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

std::string LoopbackServer::Conn::ReadAll() const {
    std::string text;
    char buf[65536];
    while (WaitReadable(fd, server->FStop)) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

void LoopbackServer::Conn::WaitClosed() const { ReadAll(); }

void LoopbackServer::Conn::Pause(int ms) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!server->FStop && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
}

void LoopbackServer::Conn::Reset() {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd);
    fd = -1;
}

LoopbackServer::LoopbackServer(Script script, int backlog, bool acceptConnections) : FScript(std::move(script)) {
    FListen = ListenOn(backlog, &FPort);
    if (acceptConnections) FThread = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
    Stop();
    if (FListen >= 0) ::close(FListen);
}

void LoopbackServer::Stop() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
}

std::vector<std::string> LoopbackServer::Requests() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FRequests;
}

void LoopbackServer::Run() {
    while (WaitReadable(FListen, FStop)) {
        int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Conn conn{fd, FAccepted++, this};
        try {
            FScript(conn);
        } catch (...) {}
        if (conn.fd >= 0) ::close(conn.fd);
    }
}

RefusedPort::RefusedPort() { FFd = ListenOn(-1, &FPort); }
RefusedPort::~RefusedPort() { ::close(FFd); }

UnansweredPort::UnansweredPort() {
    FListen = ListenOn(0, &FPort);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(FPort));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Fill the accept queue; the attempts that find it full stay unanswered.
    for (int i = 0; i < 4; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        FFillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

UnansweredPort::~UnansweredPort() {
    for (int fd : FFillers) ::close(fd);
    ::close(FListen);
}

}  // namespace nettest
