#pragma once
// The inside of the quote server, shared by its serving loop (QuoteServer.cpp) and the gate that
// reads a new connection's first request header before the HTTP layer sees it (ConnectionGate.cpp).
#include "server/QuoteServer.h"

#include <microhttpd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace server {

// The serving side's own types, apart from the rest of the server's.
namespace serving {

using Clock = std::chrono::steady_clock;

// Wakes one event loop from other threads: the library does not notice a connection resumed
// from outside its loop.
struct Waker {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Waker() {
        if (fd >= 0) ::close(fd);
    }
    void Wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
    void Drain() {
        std::uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
    }
};

// A request waiting for a page the source delivers later. Shared by the connection and the
// source's callback, which may outlive the connection and the server itself.
struct Pending {
    std::mutex lock;
    MHD_Connection* connection = nullptr;  // null once the connection has ended
    std::shared_ptr<Waker> loop;           // the event loop of the connection
    bool suspended = false;                // the connection is off the event loop, waiting
    bool answered = false;
    bool clientLeft = false;  // resumed because the client went away: close the connection
    int fd = -1;              // the connection's socket, watched for the client leaving
    int events = -1;          // the epoll set that watches it, while watching
    bool watching = false;
    std::string page;

    // Stops watching the socket. Called with the lock held.
    void Unwatch() {
        if (watching) ::epoll_ctl(events, EPOLL_CTL_DEL, fd, nullptr);
        watching = false;
    }
};

// The requests of all event loops that wait for their pages.
struct Waiting {
    std::mutex lock;  // taken before any Pending::lock
    bool stopping = false;
    std::unordered_set<std::shared_ptr<Pending>> requests;  // suspended connections
};

}  // namespace serving

struct QuoteServer::Impl {
    PageSource& source;
    Options options;
    int listenFd = -1;
    int stopFd = -1;  // an eventfd, readable once Stop() was called
    serving::Waiting waiting;
    mutable std::mutex errorLock;
    std::string error;

    Impl(PageSource& s, Options o) : source(s), options(o) {}

    void Fail(const std::string& why) {
        std::lock_guard g(errorLock);
        if (error.empty()) error = why;
    }

    // What the library hands the request callbacks of one event loop.
    struct LoopContext {
        Impl* impl = nullptr;
        std::shared_ptr<serving::Waker> waker;
        int events = -1;  // the loop's epoll set
        // The sockets of suspended connections, watched for their clients leaving. Used on the
        // loop's thread only.
        std::unordered_map<int, std::weak_ptr<serving::Pending>> watched;
        // The library's connections, and since when each has been between requests: a kept-alive
        // connection must send its next header within the idle and header time-outs together.
        struct Kept {
            int fd = -1;
            serving::Clock::time_point idleSince;
            bool inRequest = false;
        };
        std::unordered_map<MHD_Connection*, Kept> kept;
    };
    // A connection accepted but not yet handed to the library: its first request header is on
    // its way.
    struct Gated {
        sockaddr_storage address{};
        socklen_t addressSize = 0;
        serving::Clock::time_point accepted, firstByte;
        bool started = false;
    };
    // An event loop: a library instance of its own on the shared listening socket, and the epoll
    // set that waits for it, for Stop() and for late pages.
    struct EventLoop {
        LoopContext context;
        MHD_Daemon* daemon = nullptr;
        int events = -1;
        int daemonEvents = -1;  // the library's epoll set
        std::unordered_map<int, Gated> gate;
        bool accepting = true;
        serving::Clock::time_point acceptAgainAt;
        std::vector<char> peeked;
        ~EventLoop() {
            for (const auto& [fd, g] : gate) ::close(fd);
            if (daemon) MHD_stop_daemon(daemon);
            if (events >= 0) ::close(events);
        }
    };
    std::vector<std::unique_ptr<EventLoop>> loops;

    MHD_Result Handle(LoopContext& loop, MHD_Connection* c, const char* url, const char* method,
                      std::size_t* uploadSize, void** requestContext);
    MHD_Result HeaderIn(LoopContext& loop, MHD_Connection* c, void** requestContext);
    MHD_Result Wait(LoopContext& loop, MHD_Connection* c, const std::shared_ptr<serving::Pending>& p,
                    void** requestContext);
    MHD_Result Resumed(MHD_Connection* c, std::shared_ptr<serving::Pending>& p);
    void Completed(LoopContext& loop, MHD_Connection* c, void** requestContext);
    // What a connection's first bytes call for.
    enum class Step { Wait, Drop, Refuse, HandOver };
    void Accept(EventLoop& loop);
    Step Look(EventLoop& loop, int fd, Gated& g, std::uint32_t events);
    void Pass(EventLoop& loop, int fd, const Gated& g, Step step);
    void Admit(EventLoop& loop, int fd, std::uint32_t events);
    void ClientLeft(EventLoop& loop, int fd);
    void ExpireGate(EventLoop& loop);
    void ResumeAllWaiting();
    MHD_Daemon* StartLibrary(EventLoop& loop, unsigned count);
    bool WatchLoop(EventLoop& loop);
    bool Open();
    bool Serve(EventLoop& loop);
};

}  // namespace server
