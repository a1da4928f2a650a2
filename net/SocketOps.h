#pragma once
// Every raw socket call of the network layer, in one place. The calls retry on EINTR, never
// raise SIGPIPE, and report a failure as -1 with the error number of the failing call kept
// for LastError(), already translated to the socket error numbers used by TKesSock
// (10035 would block, 10057 not connected, 10061 refused, ...).
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace sockops {

// The translated error number of the last failing call on this thread (0 when none).
int LastError();
// Sets the number LastError() reports (for errors that do not come from errno).
void SetLastError(int error);

// The socket error number for an errno value. Values with no counterpart become
// 20000 + errno, which no table row matches.
int TranslateErrno(int error);

// A non-blocking IPv4 stream socket with close-on-exec set, or -1. With resetOnClose, the
// linger option is set to on with a time of 0, so that closing resets the connection at once.
int CreateStream(bool resetOnClose);
// The number of sockets CreateStream has made in this process (for the benchmarks).
long StreamsCreated();

// Starts a connection to an IPv4 address and port, both in network byte order. Returns 0 when
// it completed at once, else -1 (10035 while it is still under way).
int Connect(int fd, std::uint32_t address, std::uint16_t port);

// The error a finished non-blocking connect left on the socket, translated; 0 on success.
int PendingError(int fd);

// Whether a connect under way has finished, without waiting: 0 not yet, 1 finished and the
// socket writable with no error pending, 2 finished with an error pending (see PendingError).
int WritableNow(int fd);

// Sends up to length bytes, without waiting whatever the socket's mode; returns the count
// accepted, or -1. With more set, the kernel may hold the bytes back to go out together with the
// next send.
ssize_t Send(int fd, const char* data, std::size_t length, bool more = false);

// Receives up to length bytes without waiting, whatever the socket's mode, leaving them in the
// socket when peek is set. Returns the count, 0 at the end of the stream, or -1.
ssize_t Recv(int fd, char* buffer, std::size_t length, bool peek);
// Receives as Recv does, but waits up to ms milliseconds for the first bytes; a wait that runs
// out (or a signal) fails with 10035, as a socket with nothing to read does. Any socket: the wait
// is a poll, and the socket keeps its mode. Blocks the thread: only for very short waits.
ssize_t RecvWaiting(int fd, char* buffer, std::size_t length, int ms);

// Sets a connected socket's mode once for all its reads: blocking, with ms milliseconds as its
// receive time-out. Send and Recv still never wait on it; RecvQuick waits up to the time-out, the
// kernel handing the data over as they come (cheaper than waking from a poll and receiving
// after). Returns 0 or -1; a socket it failed on is left as it was.
int SetQuickWait(int fd, int ms);
// Receives as RecvWaiting does, on a socket set with SetQuickWait: one call.
ssize_t RecvQuick(int fd, char* buffer, std::size_t length);

// Closes the descriptor; returns 0 or -1.
int Close(int fd);

// The dotted IPv4 address text as an address in network byte order, with the classic rules:
// "a.b.c.d" and its shorter forms; 0xFFFFFFFF ("no address") for anything else, which is also
// what "255.255.255.255" gives.
std::uint32_t InetAddr(const char* text);

// The highest number of descriptors the process may hold, for the start-up report.
long MaxSockets();

}  // namespace sockops
