#include "server/QuoteServer.h"

#include "server/QuotePage.h"

#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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
#include <unordered_set>
#include <vector>

namespace server {

namespace {

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
    std::string page;
};

// The requests of all event loops that wait for their pages.
struct Waiting {
    std::mutex lock;  // taken before any Pending::lock
    bool stopping = false;
    std::unordered_set<std::shared_ptr<Pending>> requests;  // suspended connections
};

MHD_Result Send(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
    MHD_Response* r =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ok;
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

}  // namespace

struct QuoteServer::Impl {
    PageSource& source;
    Options options;
    int listenFd = -1;
    int stopFd = -1;  // an eventfd, readable once Stop() was called
    Waiting waiting;
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
        std::shared_ptr<Waker> waker;
    };
    // An event loop: a library instance of its own on the shared listening socket, and the epoll
    // set that waits for it, for Stop() and for late pages.
    struct EventLoop {
        LoopContext context;
        MHD_Daemon* daemon = nullptr;
        int events = -1;
        ~EventLoop() {
            if (daemon) MHD_stop_daemon(daemon);
            if (events >= 0) ::close(events);
        }
    };
    std::vector<std::unique_ptr<EventLoop>> loops;

    MHD_Result Handle(LoopContext& loop, MHD_Connection* c, const char* url, const char* method,
                      std::size_t* uploadSize, void** requestContext);
    MHD_Result Resumed(MHD_Connection* c, std::shared_ptr<Pending>& p);
    void Completed(void** requestContext);
    void ResumeAllWaiting();
    bool Open();
    bool Serve(EventLoop& loop);
};

// Called when the request header is in, again when the request is whole, and again after a waiting
// request was resumed.
MHD_Result QuoteServer::Impl::Handle(LoopContext& loop, MHD_Connection* c, const char* url, const char* method,
                                     std::size_t* uploadSize, void** requestContext) {
    if (!*requestContext) {
        *requestContext = &HeaderSeen;
        return MHD_YES;
    }
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
            p->suspended = false;
            MHD_resume_connection(p->connection);
            p->loop->Wake();
        }
    });
    {
        std::lock_guard g(p->lock);
        if (p->answered) return Send(c, MHD_HTTP_OK, p->page, PageContentType);
    }
    // The page comes later: take the connection off the loop until it does.
    std::lock_guard w(waiting.lock);
    std::lock_guard g(p->lock);
    if (p->answered) return Send(c, MHD_HTTP_OK, p->page, PageContentType);
    if (waiting.stopping) return SendError(c, MHD_HTTP_SERVICE_UNAVAILABLE);
    MHD_suspend_connection(c);
    p->suspended = true;
    waiting.requests.insert(p);
    *requestContext = new std::shared_ptr<Pending>(p);
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
        if (!p->answered) return SendError(c, MHD_HTTP_SERVICE_UNAVAILABLE);  // resumed to stop
        page = std::move(p->page);
    }
    return Send(c, MHD_HTTP_OK, page, PageContentType);
}

void QuoteServer::Impl::Completed(void** requestContext) {
    if (*requestContext == &HeaderSeen) *requestContext = nullptr;
    auto* held = static_cast<std::shared_ptr<Pending>*>(*requestContext);
    if (!held) return;
    *requestContext = nullptr;
    {
        std::lock_guard w(waiting.lock);
        waiting.requests.erase(*held);
        std::lock_guard g((*held)->lock);
        (*held)->connection = nullptr;
        (*held)->suspended = false;
    }
    delete held;
}

// The library must not be stopped with suspended connections: put every waiting request back on
// its loop (it is answered 503) and let no new one wait.
void QuoteServer::Impl::ResumeAllWaiting() {
    std::lock_guard w(waiting.lock);
    waiting.stopping = true;
    for (const std::shared_ptr<Pending>& p : waiting.requests) {
        std::lock_guard g(p->lock);
        if (p->suspended && p->connection) {
            p->suspended = false;
            MHD_resume_connection(p->connection);
        }
    }
}

// Creates the event loops on the listening socket.
bool QuoteServer::Impl::Open() {
    unsigned count = std::max(1u, options.threads);
    for (unsigned i = 0; i < count; ++i) {
        auto loop = std::make_unique<EventLoop>();
        loop->context = {this, std::make_shared<Waker>()};
        int fd = ::fcntl(listenFd, F_DUPFD_CLOEXEC, 0);  // the library closes the one it gets
        if (fd < 0) {
            Fail(SystemError("dup"));
            return false;
        }
        loop->daemon = MHD_start_daemon(
            MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO, 0, nullptr, nullptr,
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
            &loop->context, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_MEMORY_LIMIT, options.connectionMemory,
            MHD_OPTION_CONNECTION_TIMEOUT, options.idleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
            std::max(1u, options.maxConnections / count), MHD_OPTION_NOTIFY_COMPLETED,
            static_cast<MHD_RequestCompletedCallback>(
                [](void* cls, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode) {
                    static_cast<Impl*>(cls)->Completed(requestContext);
                }),
            this, MHD_OPTION_END);
        if (!loop->daemon) {
            ::close(fd);
            Fail("the HTTP layer did not start");
            return false;
        }
        const MHD_DaemonInfo* info = MHD_get_daemon_info(loop->daemon, MHD_DAEMON_INFO_EPOLL_FD);
        loop->events = ::epoll_create1(EPOLL_CLOEXEC);
        bool ok = info && loop->events >= 0 && loop->context.waker->fd >= 0;
        for (int watched : {info ? info->epoll_fd : -1, stopFd, loop->context.waker->fd}) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = watched;
            ok = ok && ::epoll_ctl(loop->events, EPOLL_CTL_ADD, watched, &e) == 0;
        }
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
        // The library stops listening when it runs out of files and takes the listening socket
        // back only on a later run: wake up now and then so that it does.
        MHD_UNSIGNED_LONG_LONG next = 0;
        int timeout = MHD_get_timeout(loop.daemon, &next) == MHD_YES
                          ? static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(next, MaxSleepMs))
                          : MaxSleepMs;
        epoll_event ready[3];
        int n = ::epoll_wait(loop.events, ready, 3, timeout);
        if (n < 0 && errno != EINTR) {
            Fail(SystemError("epoll_wait"));
            ok = false;
            break;
        }
        if (n == 0) ::malloc_trim(0);  // a quiet moment: give memory of closed connections back
        bool stop = false;
        for (int i = 0; i < n; ++i) {
            stop = stop || ready[i].data.fd == stopFd;
            if (ready[i].data.fd == loop.context.waker->fd) loop.context.waker->Drain();
        }
        if (stop) break;
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
