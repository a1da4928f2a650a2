#include "server/QuoteServer.h"

#include "server/QuotePage.h"
#include "server/QuoteServerImpl.h"
#include "server/RequestHead.h"

#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace server {

using namespace serving;

namespace {

MHD_Result Send(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
    MHD_Response* r =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ok;
}

// A page of the source: the unavailable page goes out as 503, so that nothing reads it as a quote.
MHD_Result SendPage(MHD_Connection* c, const std::string& page) {
    return Send(c, IsUnavailablePage(page) ? MHD_HTTP_SERVICE_UNAVAILABLE : MHD_HTTP_OK, page, PageContentType);
}

MHD_Result SendError(MHD_Connection* c, unsigned status) {
    return Send(c, status, ErrorPage(static_cast<int>(status)), PageContentType);
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The request context of a request whose header is in and which is answered once it is whole:
// an answer queued any earlier makes the library close the connection after it.
char HeaderSeen;

// The longest an event loop sleeps without news.
constexpr int MaxSleepMs = 250;

// Gives the C library's free memory back to the system. Under AddressSanitizer the C library's
// allocator never ran: its first trim would set it up, racing with the other event loops' trims.
void TrimHeap() {
#if !defined(__SANITIZE_ADDRESS__)
    ::malloc_trim(0);
#endif
}

}  // namespace

// The request header is in: a request whose length is in doubt is refused, and a kept-alive
// connection is in a request again.
MHD_Result QuoteServer::Impl::HeaderIn(LoopContext& loop, MHD_Connection* c, void** requestContext) {
    LengthCheck length;
    MHD_get_connection_values(
        c, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, const char* value) {
            static_cast<LengthCheck*>(cls)->Field(key ? key : "", value ? value : "");
            return MHD_YES;
        },
        &length);
    if (length.Ambiguous()) return SendError(c, MHD_HTTP_BAD_REQUEST);  // answered now: closed after
    if (auto k = loop.kept.find(c); k != loop.kept.end()) k->second.inRequest = true;
    *requestContext = &HeaderSeen;
    return MHD_YES;
}

// Called when the request header is in, again when the request is whole, and again after a waiting
// request was resumed.
MHD_Result QuoteServer::Impl::Handle(LoopContext& loop, MHD_Connection* c, const char* url, const char* method,
                                     std::size_t* uploadSize, void** requestContext) {
    if (!*requestContext) return HeaderIn(loop, c, requestContext);
    if (*requestContext != &HeaderSeen) return Resumed(c, *static_cast<std::shared_ptr<Pending>*>(*requestContext));
    if (*uploadSize) {  // a body nobody asked for
        *uploadSize = 0;
        return MHD_YES;
    }

    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return SendError(c, MHD_HTTP_METHOD_NOT_ALLOWED);
    if (std::strcmp(url, "/status") == 0) return Send(c, MHD_HTTP_OK, source.Status(), "application/json");
    if (std::strcmp(url, "/q/q") != 0) return SendError(c, MHD_HTTP_NOT_FOUND);
    const char* value = nullptr;
    std::size_t length = 0;
    if (MHD_lookup_connection_value_n(c, MHD_GET_ARGUMENT_KIND, "s", 1, &value, &length) != MHD_YES)
        return SendError(c, MHD_HTTP_BAD_REQUEST);
    std::string code = value ? std::string(value, length) : std::string();

    auto p = std::make_shared<Pending>();
    p->connection = c;
    p->loop = loop.waker;
    source.Page(code, [p](std::string page) {
        std::lock_guard g(p->lock);
        if (p->answered) return;
        p->answered = true;
        p->page = std::move(page);
        if (p->suspended && p->connection) {
            p->Unwatch();
            p->suspended = false;
            MHD_resume_connection(p->connection);
            p->loop->Wake();
        }
    });
    {
        std::lock_guard g(p->lock);
        if (p->answered) return SendPage(c, p->page);
    }
    return Wait(loop, c, p, requestContext);
}

// The page comes later: takes the connection off the loop until it does.
MHD_Result QuoteServer::Impl::Wait(LoopContext& loop, MHD_Connection* c, const std::shared_ptr<Pending>& p,
                                   void** requestContext) {
    std::lock_guard w(waiting.lock);
    std::lock_guard g(p->lock);
    if (p->answered) return SendPage(c, p->page);
    if (waiting.stopping) return SendError(c, MHD_HTTP_SERVICE_UNAVAILABLE);
    MHD_suspend_connection(c);
    p->suspended = true;
    waiting.requests.insert(p);
    *requestContext = new std::shared_ptr<Pending>(p);
    // Watch the socket meanwhile: a client that leaves frees its connection at once.
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        epoll_event e{};
        e.events = EPOLLRDHUP;
        e.data.fd = info->connect_fd;
        if (::epoll_ctl(loop.events, EPOLL_CTL_ADD, info->connect_fd, &e) == 0) {
            p->fd = info->connect_fd;
            p->events = loop.events;
            p->watching = true;
            loop.watched[p->fd] = p;
        }
    }
    return MHD_YES;
}

MHD_Result QuoteServer::Impl::Resumed(MHD_Connection* c, std::shared_ptr<Pending>& p) {
    {
        std::lock_guard w(waiting.lock);
        waiting.requests.erase(p);
    }
    std::string page;
    {
        std::lock_guard g(p->lock);
        if (p->clientLeft) return MHD_NO;                                     // closes the connection
        if (!p->answered) return SendError(c, MHD_HTTP_SERVICE_UNAVAILABLE);  // resumed to stop
        page = std::move(p->page);
    }
    return SendPage(c, page);
}

void QuoteServer::Impl::Completed(LoopContext& loop, MHD_Connection* c, void** requestContext) {
    if (auto k = loop.kept.find(c); k != loop.kept.end()) {
        k->second.inRequest = false;
        k->second.idleSince = Clock::now();
    }
    if (*requestContext == &HeaderSeen) *requestContext = nullptr;
    auto* held = static_cast<std::shared_ptr<Pending>*>(*requestContext);
    if (!held) return;
    *requestContext = nullptr;
    {
        std::lock_guard w(waiting.lock);
        waiting.requests.erase(*held);
        std::lock_guard g((*held)->lock);
        (*held)->Unwatch();
        (*held)->connection = nullptr;
        (*held)->suspended = false;
        auto it = loop.watched.find((*held)->fd);
        if (it != loop.watched.end() && it->second.lock() == *held) loop.watched.erase(it);
    }
    delete held;
}

// The client of a waiting request went away: resume its connection to close it.
void QuoteServer::Impl::ClientLeft(EventLoop& loop, int fd) {
    auto it = loop.context.watched.find(fd);
    if (it == loop.context.watched.end()) return;
    std::shared_ptr<Pending> p = it->second.lock();
    loop.context.watched.erase(it);
    if (!p) return;
    std::lock_guard w(waiting.lock);
    std::lock_guard g(p->lock);
    if (!p->suspended || !p->connection || p->answered) return;
    p->Unwatch();
    p->clientLeft = true;
    p->suspended = false;
    MHD_resume_connection(p->connection);
}

// The library must not be stopped with suspended connections: put every waiting request back on
// its loop (it is answered 503) and let no new one wait.
void QuoteServer::Impl::ResumeAllWaiting() {
    std::lock_guard w(waiting.lock);
    waiting.stopping = true;
    for (const std::shared_ptr<Pending>& p : waiting.requests) {
        std::lock_guard g(p->lock);
        if (p->suspended && p->connection) {
            p->Unwatch();
            p->suspended = false;
            MHD_resume_connection(p->connection);
        }
    }
}

// Starts the HTTP layer of one of count event loops. The loops accept themselves (see Accept);
// the layer gets the connections that sent a whole first request header.
MHD_Daemon* QuoteServer::Impl::StartLibrary(EventLoop& loop, unsigned count) {
    return MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr,
        [](void* cls, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
           std::size_t* uploadSize, void** requestContext) {
            auto* loop = static_cast<LoopContext*>(cls);
            // From the source, or out of memory: nothing may escape into the library, and the
            // failure is told on stderr, not only to the client.
            try {
                return loop->impl->Handle(*loop, c, url, method, uploadSize, requestContext);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "quote-server: %s %s failed: %s\n", method, url, e.what());
            } catch (...) {
                std::fprintf(stderr, "quote-server: %s %s failed\n", method, url);
            }
            return SendError(c, MHD_HTTP_INTERNAL_SERVER_ERROR);
        },
        &loop.context, MHD_OPTION_CONNECTION_MEMORY_LIMIT, options.connectionMemory, MHD_OPTION_CONNECTION_TIMEOUT,
        options.idleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT, std::max(1u, options.maxConnections / count),
        MHD_OPTION_NOTIFY_COMPLETED,
        static_cast<MHD_RequestCompletedCallback>(
            [](void* cls, MHD_Connection* c, void** requestContext, MHD_RequestTerminationCode) {
                auto* loop = static_cast<LoopContext*>(cls);
                loop->impl->Completed(*loop, c, requestContext);
            }),
        &loop.context, MHD_OPTION_NOTIFY_CONNECTION,
        static_cast<MHD_NotifyConnectionCallback>(
            [](void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
                auto* loop = static_cast<LoopContext*>(cls);
                if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
                    loop->kept.erase(c);
                    return;
                }
                const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
                if (info) loop->kept[c] = {info->connect_fd, Clock::now(), false};
            }),
        &loop.context, MHD_OPTION_END);
}

// Lets the loop's epoll set wait for the HTTP layer's, for Stop(), for late pages and for new
// connections. False when it cannot.
bool QuoteServer::Impl::WatchLoop(EventLoop& loop) {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(loop.daemon, MHD_DAEMON_INFO_EPOLL_FD);
    loop.daemonEvents = info ? info->epoll_fd : -1;
    loop.events = ::epoll_create1(EPOLL_CLOEXEC);
    loop.context.events = loop.events;
    bool ok = info && loop.events >= 0 && loop.context.waker->fd >= 0;
    for (int watched : {loop.daemonEvents, stopFd, loop.context.waker->fd, listenFd}) {
        epoll_event e{};
        e.events = watched == listenFd ? EPOLLIN | EPOLLEXCLUSIVE : EPOLLIN;
        e.data.fd = watched;
        ok = ok && ::epoll_ctl(loop.events, EPOLL_CTL_ADD, watched, &e) == 0;
    }
    return ok;
}

// Creates the event loops on the listening socket.
bool QuoteServer::Impl::Open() {
    unsigned count = std::max(1u, options.threads);
    for (unsigned i = 0; i < count; ++i) {
        auto loop = std::make_unique<EventLoop>();
        loop->context.impl = this;
        loop->context.waker = std::make_shared<Waker>();
        loop->peeked.resize(std::max<std::size_t>(1024, options.connectionMemory));
        loop->daemon = StartLibrary(*loop, count);
        if (!loop->daemon) {
            Fail("the HTTP layer did not start");
            return false;
        }
        bool ok = WatchLoop(*loop);
        loops.push_back(std::move(loop));
        if (!ok) {
            Fail(SystemError("epoll"));
            return false;
        }
    }
    return true;
}

// Runs one event loop until Stop(), woken by its sockets, its timers, a resumed connection or
// the stop. Returns false when it failed.
bool QuoteServer::Impl::Serve(EventLoop& loop) {
    bool ok = true;
    for (;;) {
        // Wake up now and then for the gate's time-outs and to accept again after running out
        // of files.
        MHD_UNSIGNED_LONG_LONG next = 0;
        int timeout = MHD_get_timeout(loop.daemon, &next) == MHD_YES
                          ? static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(next, MaxSleepMs))
                          : MaxSleepMs;
        epoll_event ready[64];
        int n = ::epoll_wait(loop.events, ready, 64, timeout);
        if (n < 0 && errno != EINTR) {
            Fail(SystemError("epoll_wait"));
            ok = false;
            break;
        }
        if (n == 0) TrimHeap();  // a quiet moment: give memory of closed connections back
        bool stop = false;
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == stopFd)
                stop = true;
            else if (fd == loop.context.waker->fd)
                loop.context.waker->Drain();
            else if (fd == listenFd)
                Accept(loop);
            else if (fd != loop.daemonEvents && loop.gate.count(fd))
                Admit(loop, fd, ready[i].events);
            else if (fd != loop.daemonEvents)
                ClientLeft(loop, fd);
        }
        if (stop) break;
        ExpireGate(loop);
        if (MHD_run(loop.daemon) != MHD_YES) {
            Fail("the HTTP layer failed");
            ok = false;
            break;
        }
    }
    ResumeAllWaiting();
    MHD_run(loop.daemon);  // answers the resumed requests where it can
    MHD_stop_daemon(loop.daemon);
    loop.daemon = nullptr;
    return ok;
}

QuoteServer::QuoteServer(PageSource& source) : QuoteServer(source, Options()) {}

QuoteServer::QuoteServer(PageSource& source, Options options) : FImpl(std::make_unique<Impl>(source, options)) {
    Options& o = FImpl->options;
    if (o.threads == 0) o.threads = std::max(1u, std::thread::hardware_concurrency());
    if (o.maxConnections == 0) {
        // Leave room for the process's own files and the connections the loops are accepting.
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        rlim_t room = files.rlim_cur > 64 + 16 * o.threads ? files.rlim_cur - 64 - 16 * o.threads : 16;
        o.maxConnections = static_cast<unsigned>(std::min<rlim_t>(room, 100000));
    }
    FImpl->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

QuoteServer::~QuoteServer() {
    FImpl->loops.clear();
    if (FImpl->listenFd >= 0) ::close(FImpl->listenFd);
    if (FImpl->stopFd >= 0) ::close(FImpl->stopFd);
}

int QuoteServer::Bind(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); r != 0) {
        FImpl->Fail(host + ": " + ::gai_strerror(r));
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        // Only SO_REUSEADDR: SO_REUSEPORT would let a second server bind the port of a running one.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            FImpl->Fail(SystemError("cannot listen on " + host + ":" + service));
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) return -1;
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    FImpl->listenFd = fd;
    if (!FImpl->Open()) {
        FImpl->loops.clear();
        ::close(fd);
        FImpl->listenFd = -1;
        return -1;
    }
    {
        std::lock_guard g(FImpl->errorLock);
        FImpl->error.clear();
    }
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

bool QuoteServer::Run() {
    if (FImpl->loops.empty()) {
        FImpl->Fail("not listening");
        return false;
    }
    std::atomic<bool> ok = true;
    auto serve = [this, &ok](Impl::EventLoop& loop) {
        if (!FImpl->Serve(loop)) {
            ok = false;
            Stop();  // one loop failing ends them all
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < FImpl->loops.size(); ++i) threads.emplace_back(serve, std::ref(*FImpl->loops[i]));
    serve(*FImpl->loops[0]);
    for (std::thread& t : threads) t.join();
    FImpl->loops.clear();
    return ok;
}

void QuoteServer::Stop() {
    std::uint64_t one = 1;
    // Only write(): this runs in signal handlers too.
    [[maybe_unused]] ssize_t n = ::write(FImpl->stopFd, &one, sizeof one);
}

std::string QuoteServer::Error() const {
    std::lock_guard g(FImpl->errorLock);
    return FImpl->error;
}

}  // namespace server
