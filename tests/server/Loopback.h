#pragma once
// A bare HTTP client over loopback for the quote server's tests: raw bytes out, the response
// and whether the server closed the connection back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

struct Reply {
    bool closed = false;  // the server closed the connection after its answer
    int status = 0;       // 0: no answer
    std::string head, body;
};

// A connected socket to 127.0.0.1:port, -1 when the connection failed.
inline int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

inline bool SendAll(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads one response from fd. With waitForClose it then waits for the server to close the
// connection; otherwise it stops at the end of the response. Gives up after waitMs without data.
inline Reply Read(int fd, bool waitForClose = false, int waitMs = 5000) {
    Reply r;
    std::string bytes;
    auto complete = [&] {
        std::size_t end = bytes.find("\r\n\r\n");
        std::size_t length = bytes.find("Content-Length: ");
        return end != std::string::npos && length != std::string::npos && length < end &&
               bytes.size() >= end + 4 + std::stoul(bytes.substr(length + 16));
    };
    while (waitForClose || !complete()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0) break;
        char buf[8192];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            r.closed = true;
            break;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t end = bytes.find("\r\n\r\n");
    r.head = bytes.substr(0, end);
    r.body = end == std::string::npos ? "" : bytes.substr(end + 4);
    std::sscanf(r.head.c_str(), "HTTP/1.%*d %d", &r.status);
    return r;
}

// Sends the bytes as they are on a new connection and reads the response (see Read).
inline Reply Exchange(int port, const std::string& request, bool waitForClose = false, int waitMs = 5000) {
    int fd = Connect(port);
    if (fd < 0) return {};
    SendAll(fd, request);
    Reply r = Read(fd, waitForClose, waitMs);
    ::close(fd);
    return r;
}

inline std::string PageRequest(const std::string& code, const std::string& version = "HTTP/1.0") {
    return "GET /q/q?s=" + code + " " + version + "\r\nHost: 127.0.0.1\r\n\r\n";
}

// Connections that send a page request's header one byte per connection every period, from a
// thread of their own, until Stop(): clients too slow ever to finish their request.
class SlowClients {
public:
    SlowClients(int port, int count, std::chrono::milliseconds period = std::chrono::milliseconds(100)) {
        for (int i = 0; i < count; ++i) {
            int fd = Connect(port);
            if (fd < 0) break;
            if (SendAll(fd, "GET /q/q?s=2330 HTTP/1.1\r\nX-Slow: "))
                FFds.push_back(fd);
            else
                ::close(fd);
        }
        FThread = std::thread([this, period] {
            while (!FStop) {
                for (int fd : FFds) ::send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                for (auto slept = std::chrono::milliseconds(0); slept < period && !FStop;
                     slept += std::chrono::milliseconds(10))
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~SlowClients() { Stop(); }
    SlowClients(const SlowClients&) = delete;
    SlowClients& operator=(const SlowClients&) = delete;
    std::size_t Count() const { return FFds.size(); }
    void Stop() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
        for (int fd : FFds) ::close(fd);
        FFds.clear();
    }

private:
    std::vector<int> FFds;
    std::atomic<bool> FStop = false;
    std::thread FThread;
};

}  // namespace loopback
