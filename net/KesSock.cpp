#include "net/KesSock.h"

#include "net/SocketOps.h"
#include "ui/Application.h"
#include "ui/ScopeGuard.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <fstream>
#include <utility>

namespace {

constexpr std::uint32_t NoAddress = 0xFFFFFFFFu;

struct ErrorText {
    int No;
    const char* Text;
};

const ErrorText ErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(sizeof ErrorTexts / sizeof ErrorTexts[0] == 50, "50 error texts");

// Errors that a connection attempt reports through its connect event rather than at once.
bool IsConnectOutcome(int error) {
    switch (error) {
    case 10050:
    case 10051:
    case 10052:
    case 10053:
    case 10054:
    case 10060:
    case 10061:
    case 10064:
    case 10065:
        return true;
    default:
        return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Unit-level helpers

std::string NthField(const std::string& text, char delimiter, int n) {
    if (text.empty() || n < 1) return {};
    std::size_t start = 0;
    for (int i = 1; i < n; ++i) {
        std::size_t d = text.find(delimiter, start);
        if (d == std::string::npos) return {};
        start = d + 1;
    }
    std::size_t end = text.find(delimiter, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::size_t NthCharPos(const std::string& text, char ch, int n) {
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == ch && ++seen == n) return i + 1;
    return text.size() + 1;
}

// ---------------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(QObject* owner) : ui::TTimer(owner) {}

void TThreadTimer::UpdateTimer() {
    if (Interval() > static_cast<unsigned>(INT_MAX) && !FRefusing) {
        // Disabling runs UpdateTimer again, which then only stops the timer.
        FRefusing = true;
        SetEnabled(false);
        FRefusing = false;
        throw Exception("No Timer");
    }
    ui::TTimer::UpdateTimer();
}

// ---------------------------------------------------------------------------------------------
// TKesSock: start-up and destruction

int TKesSock::StartupCount = 0;

TKesSock::TKesSock(QObject* owner) : QObject(owner), IOBuffer(new char[BufferSize + 1]) {
    StatusMessage(8, "Create");

    TimeOutTimer = new TThreadTimer(this);
    TimeOutTimer->SetEnabled(false);
    TimeOutTimer->SetOnTimer([this](QObject*) { TimerFired(); });

    // Start the socket layer. The socket itself is made when a connection starts.
    StatusMessage(8, "Initializing Winsock");
    if (++StartupCount == 1) {
        SocketInfo.push_back("Version= 1.1");
        SocketInfo.push_back("High Version= 1.1");
        SocketInfo.push_back("Description= POSIX sockets");
        SocketInfo.push_back("System= Running");
        SocketInfo.push_back("Max Sockets= " + std::to_string(sockops::MaxSockets()));
        SocketInfo.push_back("Max Udp pack size= 65507");
    }
    FStarted = true;
}

TKesSock::~TKesSock() {
    BeginDestroy(true);
    if (FLookupId >= 0) QHostInfo::abortHostLookup(FLookupId);
    ++FLookupSerial;
    delete TimeOutTimer;
    TimeOutTimer = nullptr;
    BeingDestroyed = true;
    try {
        RequestCloseSocket();
    } catch (...) {
        // A close that fails while the component goes away has no one to report to.
    }
    if (FStarted) --StartupCount;
}

void TKesSock::BeginDestroy(bool reportAbort) {
    if (FDestroyBegun) return;
    FDestroyBegun = true;
    StatusMessage(8, "Destroy");
    // The abort of the class being destroyed, called directly: nothing virtual runs here.
    if (reportAbort)
        StatusMessage(8, "Abort");
    else
        LookupDone = true;
    Cancel();
    Cancel();
    BeingDestroyed = true;
}

void TKesSock::MakeSocket(bool first) {
    if (SocketHandle != NoSocket) return;
    int fd = sockops::CreateStream(first);
    if (fd < 0) return;
    SocketHandle = fd;
}

void TKesSock::SetWatch(bool read, bool on) {
    QSocketNotifier*& notifier = read ? FReadNotifier : FWriteNotifier;
    if (!notifier) {
        // Made on first use: a request whose data never keep it waiting needs neither.
        if (!on || SocketHandle == NoSocket) return;
        notifier = new QSocketNotifier(read ? QSocketNotifier::Read : QSocketNotifier::Write, this);
        if (read)
            connect(notifier, &QSocketNotifier::activated, this,
                    [this] { ui::Guarded([this] { HandleReadEvent(); }); });
        else
            connect(notifier, &QSocketNotifier::activated, this,
                    [this] { ui::Guarded([this] { HandleConnectEvent(); }); });
    }
    if (on && notifier->socket() != SocketHandle) notifier->setSocket(SocketHandle);  // leaves it disabled
    if (!on && notifier->socket() == NoSocket) return;
    notifier->setEnabled(on);
}

bool TKesSock::WaitForData() {
    if (SocketHandle != NoSocket && sockops::WaitReadable(SocketHandle, QuickWaitMs)) return true;
    WatchRead();
    return Pump(true);
}

bool TKesSock::Pump(bool wait) {
    QPointer<TKesSock> self(this);
    if (wait)
        ui::WaitMessage();
    else
        ui::ProcessMessages();
    return !self.isNull();
}

// ---------------------------------------------------------------------------------------------
// Events

void TKesSock::WatchRead() {
    if (Connected && SocketHandle != NoSocket) SetWatch(true, true);
}

void TKesSock::HandleReadEvent() {
    // A read under way takes the data, or the end of the stream, itself.
    if (FReading > 0 || SocketHandle == NoSocket) return;
    // Nobody reads: report once and stay quiet until the next read takes bytes.
    SetWatch(true, false);
    char probe;
    ssize_t n = sockops::Recv(SocketHandle, &probe, 1, true);
    if (n > 0) {
        // Read event.
        LastEventOK = true;
        if (OnDataReady) OnDataReady(this);
        return;
    }
    if (n < 0) {
        int error = sockops::LastError();
        if (error == 10035) return;  // nothing to read after all
        LastEventOK = false;
        LastErrorNo = error;
    } else {
        LastEventOK = true;
    }
    // Close event: the peer has gone and nothing is left to read.
    if (!DataAvailable()) RequestCloseSocket();
}

void TKesSock::HandleConnectEvent() {
    SetWatch(false, false);
    if (!FConnecting || SocketHandle == NoSocket) return;  // a send waiting for room
    FConnecting = false;
    int error = FConnectClean ? 0 : sockops::PendingError(SocketHandle);
    FConnectClean = false;
    LastEventOK = error == 0;
    if (!LastEventOK) {
        LastErrorNo = error;
        return;
    }
    Connected = true;
    if (!FHoldIdleWatch) WatchRead();
    if (OnConnect) OnConnect(this);
}

void TKesSock::HandleLookupDone(bool ok, std::uint32_t address) {
    LastEventOK = ok;
    FLookupAddress = ok ? address : 0;
    if (!ok) LastErrorNo = SockErrHostNotFound;
    LookupDone = true;
}

// ---------------------------------------------------------------------------------------------
// Time-out and cancel

void TKesSock::StartDeadline(int ms) {
    FHasDeadline = true;
    FDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

void TKesSock::ClearDeadline() { FHasDeadline = false; }

void TKesSock::TimerOn() {
    StatusMessage(8, "Timer On");
    TimedOut = false;
    if (TimeOut < 0) throw ERangeError("Range check error");
    unsigned interval = static_cast<unsigned>(TimeOut);
    if (FHasDeadline) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - std::chrono::steady_clock::now()).count();
        unsigned rest = left < 1 ? 1u : left > INT_MAX ? static_cast<unsigned>(INT_MAX) : static_cast<unsigned>(left);
        if (interval == 0 || rest < interval) interval = rest;
    }
    TimeOutTimer->SetInterval(interval);
    TimeOutTimer->SetEnabled(true);
}

void TKesSock::TimerOff() {
    StatusMessage(8, "Timer Off");
    if (TimeOutTimer) TimeOutTimer->SetEnabled(false);
}

void TKesSock::TimerFired() {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    LookupDone = true;
    Abort();
}

void TKesSock::Abort() {
    StatusMessage(8, "Abort");
    Cancel();
}

void TKesSock::Cancel() {
    StatusMessage(8, "Canceling");
    Canceled = true;
}

// ---------------------------------------------------------------------------------------------
// Lookup, connect, close

void TKesSock::ResolveHost() {
    StatusMessage(8, "Resolve Host");
    std::string name = Proxy.empty() ? Host : Proxy;
    name = name.substr(0, name.find('\0'));
    std::uint32_t address = sockops::InetAddr(name.c_str());
    if (address != NoAddress) {
        RemoteAddress = address;
        return;
    }
    RemoteAddress = 0;
    TimerOn();
    LookupDone = false;
    unsigned serial = ++FLookupSerial;
    FLookupId = QHostInfo::lookupHost(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())), this,
                                      [this, serial](const QHostInfo& info) {
                                          ui::Guarded([&] {
                                              if (serial != FLookupSerial) return;  // a lookup given up
                                              FLookupId = -1;
                                              std::uint32_t found = 0;
                                              if (info.error() == QHostInfo::NoError) {
                                                  for (const QHostAddress& a : info.addresses()) {
                                                      if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                                                          found = htonl(a.toIPv4Address());
                                                          break;
                                                      }
                                                  }
                                              }
                                              HandleLookupDone(found != 0, found);
                                          });
                                      });
    while (!LookupDone && !TimedOut && !Canceled)
        if (!Pump(true)) throw EAbortError("Host Lookup Canceled", SockErrInterrupted);
    TimerOff();
    if (!LookupDone || TimedOut || Canceled) {
        // The answer of an abandoned lookup is ignored when it comes.
        if (FLookupId >= 0) QHostInfo::abortHostLookup(FLookupId);
        FLookupId = -1;
        ++FLookupSerial;
    }
    if (TimedOut) throw ESockError("Host Lookup Timed Out", SockErrTimedOut);
    if (Canceled) throw ESockError("Host Lookup Canceled", SockErrInterrupted);
    if (!LastEventOK) throw ESockError("Host Lookup Failed", SockErrHostNotFound);
    RemoteAddress = FLookupAddress;
    if (OnHostResolved) OnHostResolved(this);
}

void TKesSock::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected", 10056);
    QPointer<TKesSock> self(this);
    auto gone = [] { return EAbortError("Connection Canceled", SockErrInterrupted); };
    for (int retry = 0;; ++retry) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            // A lookup that timed out or was cancelled ends the connect; a failed one leaves
            // the address 0.
            if (!self || e.ErrorNo() == SockErrTimedOut || e.ErrorNo() == SockErrInterrupted) throw;
        }
        if (!self) throw gone();
        if (RemoteAddress != 0) break;
        if (retry > 0 || !OnInvalidHost) throw ESockError("Null Remote Address", SockErrHostNotFound);
        bool handled = false;
        OnInvalidHost(this, handled);
        if (!self) throw gone();
        if (!handled) throw ESockError("Null Remote Address", SockErrHostNotFound);
    }
    RemotePort = htons(static_cast<std::uint16_t>(Proxy.empty() ? Port : ProxyPort));

    LookupDone = false;
    LastEventOK = true;
    MakeSocket(FFirstSocket);
    if (SocketHandle == NoSocket) CheckSocketError(10035);
    FFirstSocket = false;
    FConnecting = true;
    FConnectClean = false;
    bool madeAtOnce = false;
    if (sockops::Connect(SocketHandle, RemoteAddress, RemotePort) == 0) {
        madeAtOnce = true;
        FConnectClean = true;
    } else {
        int error = sockops::LastError();
        if (error == 10035) {
            // On a near peer the connection is often made by now: its event is taken at once.
            int ready = sockops::WritableNow(SocketHandle);
            madeAtOnce = ready != 0;
            FConnectClean = ready == 1;
            if (!madeAtOnce) SetWatch(false, true);
        } else if (IsConnectOutcome(error)) {
            // Reported at once on loopback; handled as the connect event it stands for.
            FConnecting = false;
            LastEventOK = false;
            LastErrorNo = error;
        } else {
            FConnecting = false;
            CheckSocketError(10035);
        }
    }
    TimerOn();
    // The connect event of a connection made at once comes after the timer is armed, as any
    // other connect event does.
    if (madeAtOnce) {
        ui::Guarded([this] { HandleConnectEvent(); });
        if (!self) throw gone();
    }
    while (!Connected && !TimedOut && !Canceled && LastEventOK)
        if (!Pump(true)) throw gone();
    TimerOff();
    if (FConnecting) {
        FConnecting = false;
        SetWatch(false, false);
    }
    if (TimedOut || Canceled || !LastEventOK) {
        if (OnConnectionFailed) OnConnectionFailed(this);
        if (!self) throw gone();
        if (TimedOut) throw ESockError("Connection Timed out", SockErrTimedOut);
        if (Canceled) throw ESockError("Connection Canceled", SockErrInterrupted);
        throw ESockError("Connection Failed", LastErrorNo);
    }
}

void TKesSock::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TKesSock::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    Connected = false;
    FInStart = FInEnd = 0;  // what the closed connection brought is gone with it
    if (SocketHandle == NoSocket) return;
    FConnecting = false;
    SetWatch(true, false);
    SetWatch(false, false);
    int fd = SocketHandle;
    if (sockops::Close(fd) != 0) {
        CheckSocketError(10035);
        return;
    }
    SocketHandle = NoSocket;
    for (QSocketNotifier* notifier : {FReadNotifier, FWriteNotifier})
        if (notifier) notifier->setSocket(-1);
    // The next Connect makes a fresh socket.
    if (!BeingDestroyed && OnDisconnect) OnDisconnect(this);
}

// ---------------------------------------------------------------------------------------------
// Sending

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
        CheckSocketError(10035);
        // The socket is full: wait for room, a time-out or a cancel.
        SetWatch(false, true);
        if (!Pump(true)) throw EAbortError("Socket send aborted", SockErrInterrupted);
        if (!FConnecting) SetWatch(false, false);
    }
    return sent == length;
}

void TKesSock::SendBytes(const char* data, std::size_t length, bool more) {
    StatusMessage(4, "Sending Buffer");
    TimerOn();
    QPointer<TKesSock> self(this);
    {
        ui::Finally off{[&] {
            if (self) TimerOff();
        }};
        if (!Canceled) SendAll(data, length, more);
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted", TimedOut ? SockErrTimedOut : SockErrInterrupted);
    }
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
            if (OnPacketSent) OnPacketSent(this);
        }
        if (!Pump(false)) throw EAbortError("Socket send aborted", SockErrInterrupted);
    }
    file.close();
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted", TimedOut ? SockErrTimedOut : SockErrInterrupted);
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

long TKesSock::Receive(char* buffer, std::size_t length, bool peek) {
    if (SocketHandle == NoSocket) {
        sockops::SetLastError(SockErrNotConnected);
        return -1;
    }
    return static_cast<long>(sockops::Recv(SocketHandle, buffer, length, peek));
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
    TimerOn();
    ++FReading;
    QPointer<TKesSock> self(this);
    ui::Finally off{[&] {
        if (self) {
            --FReading;
            TimerOff();
            if (!FHoldIdleWatch) WatchRead();
        }
    }};
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
        CheckSocketError(10035);
        if (!WaitForData()) throw EAbortError("Socket readln aborted", SockErrInterrupted);
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket readln aborted", TimedOut ? SockErrTimedOut : SockErrInterrupted);
    }
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
    TimerOn();
    ++FReading;
    QPointer<TKesSock> self(this);
    auto gone = [] { return EAbortError("Socket capture aborted", SockErrInterrupted); };
    {
        ui::Finally off{[&] {
            if (self) {
                --FReading;
                TimerOff();
                if (!FHoldIdleWatch) WatchRead();
            }
        }};
        // Bytes received ahead, with the response header, come first.
        if (FInEnd > FInStart && !Canceled && maxLength != 0) {
            std::size_t n = FInEnd - FInStart;
            if (exact && maxLength > 0 && static_cast<long long>(n) > maxLength)
                n = static_cast<std::size_t>(maxLength);
            sink(IOBuffer.get() + FInStart, n);
            FInStart += n;
            if (FInStart == FInEnd) FInStart = FInEnd = 0;
            BytesReceived += static_cast<long long>(n);
            if (OnPacketRecvd) OnPacketRecvd(this);
            if (!self) throw gone();
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
                if (OnPacketRecvd) OnPacketRecvd(this);
                if (!self) throw gone();
                TimerOn();
                if (!Pump(false)) throw gone();
                continue;
            }
            LastErrorNo = sockops::LastError();
            if (LastErrorNo == SockErrNotConnected) break;
            CheckSocketError(10035);
            if (!WaitForData()) throw gone();
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket capture aborted", TimedOut ? SockErrTimedOut : SockErrInterrupted);
    }
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

// ---------------------------------------------------------------------------------------------
// Errors and status

std::string TKesSock::CheckSocketError(int expected) {
    LastErrorNo = sockops::LastError();
    if (LastErrorNo != expected && LastErrorNo > 10000) {
        std::string text = ErrorMessage(LastErrorNo);
        if (OnSocketError) OnSocketError(this, static_cast<unsigned short>(LastErrorNo), text);
        throw ESockError(text, LastErrorNo);
    }
    return {};
}

std::string TKesSock::ErrorMessage(int errorNo) {
    StatusMessage(8, "Looking Up Error Message");
    if (errorNo != 0)
        for (const ErrorText& row : ErrorTexts)
            if (row.No == errorNo) return std::to_string(errorNo) + ":" + row.Text;
    return "Unknown Error No. " + std::to_string(errorNo);
}

void TKesSock::StatusMessage(int level, std::string_view text) {
    if (level > ReportLevel) return;
    LastStatus.assign(text);
    if (BeingDestroyed || !OnStatus) return;
    // A failing status handler must not disturb the operation it reports on; its error goes to
    // the application.
    std::string status = LastStatus;
    ui::Guarded([&] { OnStatus(this, status); });
}
