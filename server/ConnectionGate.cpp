// The gate of the quote server's event loops: connections are accepted here and handed to the
// HTTP layer only once their first request header is whole, so that a client trickling its
// header or sending no request holds no connection of the layer's.
#include "server/QuoteServerImpl.h"
#include "server/RequestHead.h"

#include <algorithm>
#include <cerrno>

namespace server {

using namespace serving;

// Takes the connections waiting on the listening socket. Most clients have sent their request
// by the time they are accepted: those go to the HTTP layer at once, the others into the gate.
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
        g.accepted = Clock::now();
        Step step = Look(loop, fd, g, 0);
        if (step != Step::Wait) {
            Pass(loop, fd, g, step);
            continue;
        }
        epoll_event e{};
        e.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        e.data.fd = fd;
        if (loop.gate.size() >= most || ::epoll_ctl(loop.events, EPOLL_CTL_ADD, fd, &e) != 0) {
            ::close(fd);
            continue;
        }
        loop.gate.emplace(fd, g);
    }
}

// Looks at what a connection sent so far, given the events epoll reported for it.
QuoteServer::Impl::Step QuoteServer::Impl::Look(EventLoop& loop, int fd, Gated& g, std::uint32_t events) {
    ssize_t n = ::recv(fd, loop.peeked.data(), loop.peeked.size(), MSG_PEEK | MSG_DONTWAIT);
    // A client that shut its side (or whose connection failed) sends no more: a header still
    // partial never becomes whole, though the peek goes on showing its first bytes.
    const bool ended = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) && !ended) return Step::Wait;
    if (n <= 0) return Step::Drop;  // gone before its request
    if (!g.started) {
        g.started = true;
        g.firstByte = Clock::now();
    }
    Head head = CheckHead(std::string_view(loop.peeked.data(), static_cast<std::size_t>(n)));
    if (head == Head::Partial && static_cast<std::size_t>(n) < loop.peeked.size())
        return ended ? Step::Drop : Step::Wait;
    if (head == Head::NotARequest || head == Head::AmbiguousLength) return Step::Refuse;
    // A whole header, or one too large for the connection's memory, which the library refuses.
    return Step::HandOver;
}

// Does what Look() found for a connection no longer watched by the gate.
void QuoteServer::Impl::Pass(EventLoop& loop, int fd, const Gated& g, Step step) {
    if (step == Step::Drop) {
        ::close(fd);
    } else if (step == Step::Refuse) {
        Refuse(fd, MHD_HTTP_BAD_REQUEST);
    } else if (step == Step::HandOver) {
        // The library closes the socket itself when it cannot take it.
        MHD_add_connection(loop.daemon, fd, reinterpret_cast<const sockaddr*>(&g.address), g.addressSize);
    }
}

// A gated connection sent more, or left: refuses it, waits for more, or hands it over.
void QuoteServer::Impl::Admit(EventLoop& loop, int fd, std::uint32_t events) {
    auto it = loop.gate.find(fd);
    if (it == loop.gate.end()) return;
    Step step = Look(loop, fd, it->second, events);
    if (step == Step::Wait) return;
    Gated g = it->second;
    loop.gate.erase(it);
    if (step != Step::Drop) ::epoll_ctl(loop.events, EPOLL_CTL_DEL, fd, nullptr);  // closing takes it out
    Pass(loop, fd, g, step);
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
