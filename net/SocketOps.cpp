#include "net/SocketOps.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
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
    struct TPair {
        int Errno, SockError;
    };
    static const TPair pairs[] = {
        {EINTR, 10004},           {EBADF, 10009},         {EACCES, 10013},       {EPERM, 10013},
        {EFAULT, 10014},          {EINVAL, 10022},        {EMFILE, 10024},       {ENFILE, 10024},
        {EAGAIN, 10035},          {EWOULDBLOCK, 10035},  // the same number as EAGAIN here; a first match wins
        {EINPROGRESS, 10035},     {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
        {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},
        {ENOMEM, 10055},          {EISCONN, 10056},       {ENOTCONN, 10057},     {EPIPE, 10058},
        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
        {ELOOP, 10062},           {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
        {ENOTEMPTY, 10066},       {EUSERS, 10068},        {EDQUOT, 10069},       {ESTALE, 10070},
        {EREMOTE, 10071},
    };
    if (error == 0) return 0;
    for (const TPair& p : pairs)
        if (p.Errno == error) return p.SockError;
    return 20000 + error;
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

ssize_t Send(int fd, const char* data, std::size_t length, bool more) {
#ifdef MSG_MORE
    const int flags = kSendFlags | MSG_DONTWAIT | (more ? MSG_MORE : 0);
#else
    const int flags = kSendFlags | MSG_DONTWAIT;
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
        ssize_t n = ::recv(fd, buffer, length, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
        if (n >= 0) return n;
        if (errno != EINTR) return Fail();
    }
}

ssize_t RecvWaiting(int fd, char* buffer, std::size_t length, int ms) {
    // The socket stays non-blocking: the wait is a poll for its first bytes, then one receive.
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, ms < 0 ? 0 : ms);
        if (r > 0) break;  // data, the end of the stream, an error or a closed descriptor: the receive tells
        if (r == 0 || errno == EINTR) {
            // The wait ran out, or a signal cut it short: as a socket with nothing to read.
            errno = EAGAIN;
            return Fail();
        }
        return Fail();
    }
    return Recv(fd, buffer, length, false);
}

int SetQuickWait(int fd, int ms) {
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    int nonBlocking = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 || ::ioctl(fd, FIONBIO, &nonBlocking) != 0)
        return Fail();
    return 0;
}

ssize_t RecvQuick(int fd, char* buffer, std::size_t length) {
    const ssize_t n = ::recv(fd, buffer, length, 0);
    if (n >= 0) return n;
    // A wait that ran out, or a signal: as a socket with nothing to read.
    if (errno == EINTR) errno = EAGAIN;
    return Fail();
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
