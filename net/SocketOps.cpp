#include "net/SocketOps.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sockops {
namespace {

thread_local int gLastError = 0;
long gStreamsCreated = 0;

int Fail() {
    gLastError = TranslateErrno(errno);
    return -1;
}

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

}  // namespace

int LastError() { return gLastError; }
void SetLastError(int error) { gLastError = error; }

int TranslateErrno(int error) {
    switch (error) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return 10035;
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case EPIPE:
    case ESHUTDOWN:
        return 10058;
    case ETOOMANYREFS:
        return 10059;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case ELOOP:
        return 10062;
    case ENAMETOOLONG:
        return 10063;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    case ENOTEMPTY:
        return 10066;
    case EUSERS:
        return 10068;
    case EDQUOT:
        return 10069;
    case ESTALE:
        return 10070;
    case EREMOTE:
        return 10071;
    default:
        return 20000 + error;
    }
}

int CreateStream(bool resetOnClose) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, resetOnClose ? IPPROTO_TCP : 0);
    if (fd < 0) return Fail();
    ++gStreamsCreated;
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    if (resetOnClose) {
        linger lg{};
        lg.l_onoff = 1;
        lg.l_linger = 0;
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
            int saved = Fail();
            ::close(fd);
            return saved;
        }
    }
    return fd;
}

long StreamsCreated() { return gStreamsCreated; }

int Connect(int fd, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
    // An interrupted connect goes on in the background, as one that is in progress.
    if (errno == EINTR) errno = EINPROGRESS;
    return Fail();
}

int PendingError(int fd) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    return TranslateErrno(error);
}

int WritableNow(int fd) {
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        int r = ::poll(&p, 1, 0);
        if (r > 0 && (p.revents & (POLLERR | POLLHUP)) != 0) return 2;
        if (r >= 0) return r > 0 && (p.revents & POLLOUT) != 0 ? 1 : 0;
        if (errno != EINTR) return 0;
    }
}

bool WaitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    return r > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

ssize_t Send(int fd, const char* data, std::size_t length, bool more) {
#ifdef MSG_MORE
    const int flags = kSendFlags | (more ? MSG_MORE : 0);
#else
    const int flags = kSendFlags;
    (void)more;
#endif
    for (;;) {
        ssize_t n = ::send(fd, data, length, flags);
        if (n >= 0) return n;
        if (errno != EINTR) return Fail();
    }
}

ssize_t Recv(int fd, char* buffer, std::size_t length, bool peek) {
    for (;;) {
        ssize_t n = ::recv(fd, buffer, length, peek ? MSG_PEEK : 0);
        if (n >= 0) return n;
        if (errno != EINTR) return Fail();
    }
}

int Close(int fd) {
    // The descriptor is released even when close reports EINTR; retrying could close another.
    if (::close(fd) == 0 || errno == EINTR) return 0;
    return Fail();
}

std::uint32_t InetAddr(const char* text) { return ::inet_addr(text); }

long MaxSockets() {
    // Read once: the limit does not change under the program.
    static const long limit = [] {
        rlimit rl{};
        if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 65535L;
        return rl.rlim_cur > 65535 ? 65535L : static_cast<long>(rl.rlim_cur);
    }();
    return limit;
}

}  // namespace sockops
