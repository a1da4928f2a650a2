// The gate of the quote server's event loops: connections are accepted here and handed to the
// HTTP layer only once their first request header is whole, so that a client trickling its
// header or sending no request holds no connection of the layer's.
#include "server/QuoteServerImpl.h"
#include "server/RequestHead.h"

#include <algorithm>
#include <cerrno>

namespace server {

using namespace serving;

// Takes the connections waiting on the listening socket into the gate.
void QuoteServer::Impl::Accept(EventLoop& loop) {
    const std::size_t most = std::max(1u, options.maxConnections / std::max(1u, options.threads));
    for (int i = 0; i < 64; ++i) {
        Gated g;
        g.addressSize = sizeof g.address;
        int fd =
            ::accept4(listenFd, reinterpret_cast<sockaddr*>(&g.address), &g.addressSize, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of files: leave the rest in the backlog for a moment instead of spinning.
                ::epoll_ctl(loop.events, EPOLL_CTL_DEL, listenFd, nullptr);
                loop.accepting = false;
                loop.acceptAgainAt = Clock::now() + std::chrono::milliseconds(100);
            }
            return;
        }
        epoll_event e{};
        e.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        e.data.fd = fd;
        if (loop.gate.size() >= most || ::epoll_ctl(loop.events, EPOLL_CTL_ADD, fd, &e) != 0) {
            ::close(fd);
            continue;
        }
        g.accepted = Clock::now();
        loop.gate.emplace(fd, g);
    }
}

// Looks at what a gated connection sent so far: refuses it, waits for more, or hands it over.
// events are those epoll reported for it.
void QuoteServer::Impl::Admit(EventLoop& loop, int fd, std::uint32_t events) {
    auto it = loop.gate.find(fd);
    if (it == loop.gate.end()) return;
    ssize_t n = ::recv(fd, loop.peeked.data(), loop.peeked.size(), MSG_PEEK | MSG_DONTWAIT);
    // A client that shut its side (or whose connection failed) sends no more: a header still
    // partial never becomes whole, though the peek goes on showing its first bytes.
    const bool ended = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) && !ended) return;
    if (n <= 0) {  // gone before its request
        ::close(fd);
        loop.gate.erase(it);
        return;
    }
    if (!it->second.started) {
        it->second.started = true;
        it->second.firstByte = Clock::now();
    }
    Head head = CheckHead(std::string_view(loop.peeked.data(), static_cast<std::size_t>(n)));
    if (head == Head::Partial && static_cast<std::size_t>(n) < loop.peeked.size()) {
        if (!ended) return;
        ::close(fd);  // which takes it out of the epoll set too
        loop.gate.erase(it);
        return;
    }
    Gated g = it->second;
    loop.gate.erase(it);
    ::epoll_ctl(loop.events, EPOLL_CTL_DEL, fd, nullptr);
    if (head == Head::NotARequest || head == Head::AmbiguousLength) {
        Refuse(fd, MHD_HTTP_BAD_REQUEST);
        return;
    }
    // A whole header, or one too large for the connection's memory, which the library refuses.
    // It closes the socket itself when it cannot take it.
    MHD_add_connection(loop.daemon, fd, reinterpret_cast<const sockaddr*>(&g.address), g.addressSize);
}

// Closes gated connections that sent nothing for the idle time-out, and answers 408 to those
// whose first header is not whole within its time-out, or whose next header (kept alive) is
// not whole within both time-outs of the previous answer.
void QuoteServer::Impl::ExpireGate(EventLoop& loop) {
    Clock::time_point now = Clock::now();
    if (!loop.accepting && now >= loop.acceptAgainAt) {
        epoll_event e{};
        e.events = EPOLLIN | EPOLLEXCLUSIVE;
        e.data.fd = listenFd;
        loop.accepting = ::epoll_ctl(loop.events, EPOLL_CTL_ADD, listenFd, &e) == 0;
        if (!loop.accepting) loop.acceptAgainAt = now + std::chrono::milliseconds(100);
    }
    for (auto it = loop.gate.begin(); it != loop.gate.end();) {
        const Gated& g = it->second;
        bool late = g.started && now - g.firstByte >= std::chrono::seconds(options.headerTimeoutSeconds);
        bool idle = !g.started && now - g.accepted >= std::chrono::seconds(options.idleTimeoutSeconds);
        if (!late && !idle) {
            ++it;
            continue;
        }
        ::epoll_ctl(loop.events, EPOLL_CTL_DEL, it->first, nullptr);
        if (late)
            Refuse(it->first, MHD_HTTP_REQUEST_TIMEOUT);
        else
            ::close(it->first);
        it = loop.gate.erase(it);
    }
    // Kept-alive connections trickling their next header: the library would hold them until
    // their header fills its memory.
    const auto between = std::chrono::seconds(options.idleTimeoutSeconds + options.headerTimeoutSeconds);
    for (auto& [c, k] : loop.context.kept) {
        if (k.inRequest || now - k.idleSince < between) continue;
        WriteRefusal(k.fd, MHD_HTTP_REQUEST_TIMEOUT);  // the library sees the end and closes it
        k.inRequest = true;
    }
}

}  // namespace server
