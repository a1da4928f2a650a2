// TKesSock's transfers: sending, reading lines and capturing a stream.
#include "net/KesSock.h"

#include "net/SocketOps.h"
#include "ui/core/ScopeGuard.h"

#include <algorithm>
#include <cstring>
#include <fstream>

// ---------------------------------------------------------------------------------------------
// Sending

// A read under way: the time-out runs and read events are left to the read; when it ends (unless
// the component went away meanwhile) the time-out stops and idle reporting resumes.
class TKesSock::TReadScope {
public:
    explicit TReadScope(TKesSock& sock) : FSock(sock), FAlive(sock.FLifetime.Watch()) {
        sock.TimerOn();
        ++sock.FReading;
    }
    ~TReadScope() {
        if (!FAlive) return;
        --FSock.FReading;
        FSock.TimerOff();
        if (!FSock.FHoldIdleWatch) FSock.WatchRead();
    }
    TReadScope(const TReadScope&) = delete;
    TReadScope& operator=(const TReadScope&) = delete;

private:
    TKesSock& FSock;
    const ui::TAlive FAlive;
};

void TKesSock::RaiseIfCanceled(const char* message) {
    if (!Canceled) return;
    Canceled = false;
    throw EAbortError(message, TimedOut ? SockErrTimedOut : SockErrInterrupted);
}

bool TKesSock::SendAll(const char* data, std::size_t length, bool more) {
    std::size_t sent = 0;
    while (sent < length && !Canceled) {
        ssize_t n;
        if (SocketHandle == NoSocket) {
            sockops::SetLastError(SockErrNotConnected);
            n = -1;
        } else {
            n = sockops::Send(SocketHandle, data + sent, length - sent, more);
        }
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return false;
        CheckSocketError(SockErrWouldBlock);
        // The socket is full: wait for room, a time-out or a cancel.
        SetWatch(false, true);
        Pump(true, "Socket send aborted");
        if (!FConnecting) SetWatch(false, false);
    }
    return sent == length;
}

void TKesSock::SendBytes(const char* data, std::size_t length, bool more) {
    StatusMessage(4, "Sending Buffer");
    TimerOn();
    const ui::TAlive alive = FLifetime.Watch();
    {
        ui::Finally off{[&] {
            if (alive) TimerOff();
        }};
        if (!Canceled) SendAll(data, length, more);
    }
    RaiseIfCanceled("Socket send aborted");
}

void TKesSock::SendBuffer(const char* buffer, std::size_t length) {
    if (length == 0) length = std::strlen(buffer);
    SendBytes(buffer, length, false);
}

void TKesSock::Write(const std::string& text) {
    StatusMessage(8, "Write");
    // The text goes out up to its first zero byte.
    std::size_t n = text.find('\0');
    SendBytes(text.data(), n == std::string::npos ? text.size() : n, false);
}

void TKesSock::Writeln(const std::string& text) {
    StatusMessage(8, "Writeln");
    Write(text + "\r\n");
}

void TKesSock::SendFile(const std::string& fileName) {
    StatusMessage(8, "SendFile");
    std::ifstream file(fileName, std::ios::binary);
    if (!file) throw EFileError("Cannot open file \"" + fileName + "\"");
    // A chunk area of its own: IOBuffer may hold received bytes not yet taken.
    std::unique_ptr<char[]> chunk(new char[BufferSize]);
    while (!Canceled) {
        file.read(chunk.get(), BufferSize);
        std::size_t n = static_cast<std::size_t>(file.gcount());
        if (n == 0) break;
        if (SendAll(chunk.get(), n) && !Canceled) {
            BytesSent += static_cast<long long>(n);
            if (OnPacketSent) Survive("Socket send aborted", [this] { OnPacketSent(this); });
        }
        Pump(false, "Socket send aborted");
    }
    file.close();
    RaiseIfCanceled("Socket send aborted");
}

// ---------------------------------------------------------------------------------------------
// Receiving

long TKesSock::Receive(char* buffer, std::size_t length, bool peek) {
    if (SocketHandle == NoSocket) {
        sockops::SetLastError(SockErrNotConnected);
        return -1;
    }
    if (peek || FQuickWait != TQuickWait::Next) {
        if (!peek) FQuickWait = TQuickWait::None;
        return static_cast<long>(sockops::Recv(SocketHandle, buffer, length, peek));
    }
    long n = static_cast<long>(FQuickWaitSet ? sockops::RecvQuick(SocketHandle, buffer, length)
                                             : sockops::RecvWaiting(SocketHandle, buffer, length, QuickWaitMs));
    FQuickWait = n < 0 && sockops::LastError() == SockErrWouldBlock ? TQuickWait::Missed : TQuickWait::None;
    return n;
}

bool TKesSock::DataAvailable() {
    StatusMessage(8, "Data Available");
    if (FInEnd > FInStart) return true;
    if (SocketHandle == NoSocket) return false;
    char probe;
    return sockops::Recv(SocketHandle, &probe, 1, true) > 0;
}

std::string TKesSock::ReadLn() {
    StatusMessage(8, "ReadLn");
    char* buffer = IOBuffer.get();
    TReadScope reading(*this);
    bool found = false;
    std::size_t lineFeed = 0;
    std::size_t scanned = FInStart;  // the bytes before this hold no line feed
    while (!Canceled) {
        if (const void* lf = std::memchr(buffer + scanned, '\n', FInEnd - scanned)) {
            lineFeed = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer);
            found = true;
            break;
        }
        scanned = FInEnd;
        if (FInEnd - FInStart >= static_cast<std::size_t>(BufferSize)) {
            FInStart = FInEnd = 0;
            throw ESockError("Line too long");
        }
        if (FInStart > 0) {
            // Room for the rest of the line: move its start to the front.
            std::memmove(buffer, buffer + FInStart, FInEnd - FInStart);
            FInEnd -= FInStart;
            scanned -= FInStart;
            FInStart = 0;
        }
        long n = Receive(buffer + FInEnd, BufferSize - FInEnd, false);
        if (n == 0) {
            FInStart = FInEnd = 0;  // the peer closed before a line feed: the part is dropped
            return {};
        }
        if (n > 0) {
            FInEnd += static_cast<std::size_t>(n);
            continue;
        }
        LastErrorNo = sockops::LastError();
        if (LastErrorNo == SockErrNotConnected) break;
        CheckSocketError(SockErrWouldBlock);
        WaitForData("Socket readln aborted");
    }
    RaiseIfCanceled("Socket readln aborted");
    if (!found) {
        FInStart = FInEnd = 0;  // the socket closed under the read before a line feed
        return {};
    }
    std::string line(buffer + FInStart, lineFeed + 1 - FInStart);
    FInStart = lineFeed + 1;
    if (FInStart == FInEnd) FInStart = FInEnd = 0;
    return line;
}

void TKesSock::Capture(const std::function<void(const char*, std::size_t)>& sink, long long maxLength, bool exact) {
    BytesReceived = 0;
    constexpr const char* gone = "Socket capture aborted";
    {
        TReadScope reading(*this);
        // Bytes received ahead, with the response header, come first.
        if (FInEnd > FInStart && !Canceled && maxLength != 0) {
            std::size_t n = FInEnd - FInStart;
            if (exact && maxLength > 0 && static_cast<long long>(n) > maxLength)
                n = static_cast<std::size_t>(maxLength);
            sink(IOBuffer.get() + FInStart, n);
            FInStart += n;
            if (FInStart == FInEnd) FInStart = FInEnd = 0;
            BytesReceived += static_cast<long long>(n);
            if (OnPacketRecvd) Survive(gone, [this] { OnPacketRecvd(this); });
            TimerOn();
        }
        while (!Canceled && (maxLength < 0 || BytesReceived < maxLength)) {
            std::size_t want = BufferSize;
            if (exact && maxLength >= 0)
                want = static_cast<std::size_t>(std::min<long long>(want, maxLength - BytesReceived));
            long n = Receive(IOBuffer.get(), want, false);
            if (n == 0) break;
            if (n > 0) {
                sink(IOBuffer.get(), static_cast<std::size_t>(n));
                BytesReceived += n;
                if (OnPacketRecvd) Survive(gone, [this] { OnPacketRecvd(this); });
                TimerOn();
                Pump(false, gone);
                continue;
            }
            LastErrorNo = sockops::LastError();
            if (LastErrorNo == SockErrNotConnected) break;
            CheckSocketError(SockErrWouldBlock);
            WaitForData(gone);
        }
    }
    RaiseIfCanceled("Socket capture aborted");
}

void TKesSock::CaptureString(std::string& text, long long maxLength) {
    StatusMessage(8, "Capture String");
    text.clear();
    Capture([&text](const char* data, std::size_t size) { text.append(data, size); }, maxLength);
}

void TKesSock::CaptureExact(std::string& text, long long length) {
    StatusMessage(8, "Capture String");
    text.clear();
    text.reserve(static_cast<std::size_t>(std::min<long long>(length, 4 << 20)));
    Capture([&text](const char* data, std::size_t size) { text.append(data, size); }, length, true);
}

void TKesSock::CaptureFile(const std::string& fileName) {
    StatusMessage(8, "CaptureFile");
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    if (!file) throw EFileError("Cannot create file \"" + fileName + "\"");
    Capture(
        [&](const char* data, std::size_t size) {
            file.write(data, static_cast<std::streamsize>(size));
            if (!file) throw EFileError("Cannot write file \"" + fileName + "\"");
        },
        -1);
}

std::string TKesSock::Transaction(const std::string& command) {
    StatusMessage(8, "Transaction");
    ReplyCode = 0;
    Writeln(command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        StatusMessage(1, LastReply);
        long long value = 0;
        std::size_t digits = 0;
        while (digits < LastReply.size() && digits < 10 && LastReply[digits] >= '0' && LastReply[digits] <= '9')
            value = value * 10 + (LastReply[digits++] - '0');
        if (digits > 0) {
            if (value > 32767) throw ERangeError("Reply code out of range");
            ReplyCode = static_cast<int>(value);
        }
    }
    return LastReply;
}
