#include "net/KesSock.h"

#include "net/SocketOps.h"
#include "ui/Application.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <fstream>
#include <utility>

namespace {

constexpr std::uint32_t NoAddress = 0xFFFFFFFFu;
constexpr std::size_t PeekWindow = 2048;

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

// Runs an action when the scope ends, however it ends.
template <class F>
struct Finally {
    F f;
    ~Finally() { f(); }
};
template <class F>
Finally(F) -> Finally<F>;

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
    FReadNotifier = new QSocketNotifier(QSocketNotifier::Read, this);
    FWriteNotifier = new QSocketNotifier(QSocketNotifier::Write, this);
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    connect(FReadNotifier, &QSocketNotifier::activated, this, [this] { ui::Guarded([this] { HandleReadEvent(); }); });
    connect(FWriteNotifier, &QSocketNotifier::activated, this,
            [this] { ui::Guarded([this] { HandleConnectEvent(); }); });

    TimeOutTimer = new TThreadTimer(this);
    TimeOutTimer->SetEnabled(false);
    TimeOutTimer->SetOnTimer([this](QObject*) { TimerFired(); });

    // Start the socket layer.
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
    MakeSocket(true);
    if (SocketHandle == NoSocket) {
        --StartupCount;
        FStarted = false;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

TKesSock::~TKesSock() {
    StatusMessage(8, "Destroy");
    TKesSock::Abort();
    Cancel();
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

void TKesSock::MakeSocket(bool first) {
    if (SocketHandle != NoSocket) return;
    int fd = sockops::CreateStream(first);
    if (fd < 0) return;
    SocketHandle = fd;
    FReadNotifier->setSocket(fd);
    FWriteNotifier->setSocket(fd);
}

// ---------------------------------------------------------------------------------------------
// Events

void TKesSock::WatchRead() {
    if (Connected && SocketHandle != NoSocket) FReadNotifier->setEnabled(true);
}

void TKesSock::HandleReadEvent() {
    // A read under way takes the data, or the end of the stream, itself.
    if (FReading > 0 || SocketHandle == NoSocket) return;
    // Nobody reads: report once and stay quiet until the next read takes bytes.
    FReadNotifier->setEnabled(false);
    try {
        char probe;
        ssize_t n = sockops::Recv(SocketHandle, &probe, 1, true);
        if (n > 0) {
            // Read event.
            LastEventOK = true;
            if (OnDataReady) {
                try {
                    OnDataReady(this);
                } catch (...) {}
            }
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
    } catch (...) {
        // Errors inside an event handler end there.
    }
}

void TKesSock::HandleConnectEvent() {
    FWriteNotifier->setEnabled(false);
    if (!FConnecting || SocketHandle == NoSocket) return;  // a send waiting for room
    FConnecting = false;
    try {
        int error = sockops::PendingError(SocketHandle);
        LastEventOK = error == 0;
        if (!LastEventOK) {
            LastErrorNo = error;
            return;
        }
        Connected = true;
        WatchRead();
        if (OnConnect) OnConnect(this);
    } catch (...) {}
}

void TKesSock::HandleLookupDone(bool ok, std::uint32_t address) {
    LastEventOK = ok;
    FLookupAddress = ok ? address : 0;
    if (!ok) LastErrorNo = 11001;
    LookupDone = true;
}

// ---------------------------------------------------------------------------------------------
// Time-out and cancel

void TKesSock::TimerOn() {
    StatusMessage(8, "Timer On");
    TimedOut = false;
    if (TimeOut < 0) throw ERangeError("Range check error");
    TimeOutTimer->SetInterval(static_cast<unsigned>(TimeOut));
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
    while (!LookupDone && !TimedOut && !Canceled) ui::WaitMessage();
    TimerOff();
    if (!LookupDone || TimedOut || Canceled) {
        // The answer of an abandoned lookup is ignored when it comes.
        if (FLookupId >= 0) QHostInfo::abortHostLookup(FLookupId);
        FLookupId = -1;
        ++FLookupSerial;
    }
    if (TimedOut) throw ESockError("Host Lookup Timed Out");
    if (Canceled) throw ESockError("Host Lookup Canceled");
    if (!LastEventOK) throw ESockError("Host Lookup Failed");
    RemoteAddress = FLookupAddress;
    if (OnHostResolved) OnHostResolved(this);
}

void TKesSock::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected");
    for (int retry = 0;; ++retry) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            std::string m = e.Message();
            if (m == "Host Lookup Timed Out" || m == "Host Lookup Canceled") throw;
        }
        if (RemoteAddress != 0) break;
        if (retry > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(this, handled);
        if (!handled) throw ESockError("Null Remote Address");
    }
    RemotePort = htons(static_cast<std::uint16_t>(Proxy.empty() ? Port : ProxyPort));

    LookupDone = false;
    LastEventOK = true;
    MakeSocket(false);  // a socket lost to a failed renewal is made again here
    if (SocketHandle == NoSocket) CheckSocketError(10035);
    FConnecting = true;
    if (sockops::Connect(SocketHandle, RemoteAddress, RemotePort) == 0) {
        HandleConnectEvent();  // made at once
    } else {
        int error = sockops::LastError();
        if (error == 10035) {
            // On a near peer the connection is often made by now: take its event at once.
            if (sockops::WritableNow(SocketHandle))
                HandleConnectEvent();
            else
                FWriteNotifier->setEnabled(true);
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
    while (!Connected && !TimedOut && !Canceled && LastEventOK) ui::WaitMessage();
    TimerOff();
    if (FConnecting) {
        FConnecting = false;
        FWriteNotifier->setEnabled(false);
    }
    if (TimedOut || Canceled || !LastEventOK) {
        if (OnConnectionFailed) OnConnectionFailed(this);
        if (TimedOut) throw ESockError("Connection Timed out");
        if (Canceled) throw ESockError("Connection Canceled");
        throw ESockError("Connection Failed");
    }
}

void TKesSock::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TKesSock::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    Connected = false;
    if (SocketHandle == NoSocket) return;
    FConnecting = false;
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    int fd = SocketHandle;
    if (sockops::Close(fd) != 0) {
        CheckSocketError(10035);
        return;
    }
    SocketHandle = NoSocket;
    FReadNotifier->setSocket(-1);
    FWriteNotifier->setSocket(-1);
    if (!BeingDestroyed && OnDisconnect) OnDisconnect(this);
    if (!BeingDestroyed) MakeSocket(false);
}

// ---------------------------------------------------------------------------------------------
// Sending

void TKesSock::WaitWritable() {
    if (SocketHandle == NoSocket) return;
    FWriteNotifier->setEnabled(true);
    ui::WaitMessage();
    if (!FConnecting) FWriteNotifier->setEnabled(false);
}

bool TKesSock::SendAll(const char* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length && !Canceled) {
        ssize_t n = sockops::Send(SocketHandle, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return false;
        CheckSocketError(10035);
        // The socket is full: wait for room, a time-out or a cancel.
        WaitWritable();
    }
    return sent == length;
}

void TKesSock::SendBuffer(const char* buffer, std::size_t length) {
    StatusMessage(4, "Sending Buffer");
    TimerOn();
    {
        Finally off{[this] { TimerOff(); }};
        if (!Canceled) {
            if (length == 0) length = std::strlen(buffer);
            SendAll(buffer, length);
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKesSock::Write(const std::string& text) {
    StatusMessage(8, "Write");
    // The text goes out up to its first zero byte; c_str() ends there or at the end.
    std::size_t n = text.find('\0');
    if (n == std::string::npos) n = text.size();
    if (n == 0) {
        SendBuffer("", 0);
        return;
    }
    SendBuffer(text.c_str(), n);
}

void TKesSock::Writeln(const std::string& text) {
    StatusMessage(8, "Writeln");
    Write(text + "\r\n");
}

void TKesSock::SendFile(const std::string& fileName) {
    StatusMessage(8, "SendFile");
    std::ifstream file(fileName, std::ios::binary);
    if (!file) throw EFileError("Cannot open file \"" + fileName + "\"");
    while (!Canceled) {
        file.read(IOBuffer.get(), BufferSize);
        std::size_t n = static_cast<std::size_t>(file.gcount());
        if (n == 0) break;
        if (SendAll(IOBuffer.get(), n) && !Canceled) {
            BytesSent += static_cast<long long>(n);
            if (OnPacketSent) OnPacketSent(this);
        }
        ui::ProcessMessages();
    }
    file.close();
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

bool TKesSock::DataAvailable() {
    StatusMessage(8, "Data Available");
    if (SocketHandle == NoSocket) return false;
    char probe;
    return sockops::Recv(SocketHandle, &probe, 1, true) > 0;
}

std::string TKesSock::ReadLn() {
    StatusMessage(8, "ReadLn");
    std::string line;
    std::size_t held = 0;
    std::size_t lineFeed = 0;
    bool found = false;
    TimerOn();
    ++FReading;
    WatchRead();
    Finally off{[this] {
        --FReading;
        TimerOff();
    }};
    char* buffer = IOBuffer.get();
    while (!Canceled) {
        // Peek a small window at a time: a line is usually short, and the bytes after it
        // (a whole body, say) need not be copied for every line.
        std::size_t window = std::min<std::size_t>(PeekWindow, BufferSize - held);
        ssize_t n = sockops::Recv(SocketHandle, buffer + held, window, true);
        if (n == 0) return {};  // the peer closed before a line feed
        if (n > 0) {
            const void* lf = std::memchr(buffer + held, '\n', static_cast<std::size_t>(n));
            if (lf) {
                lineFeed = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer);
                found = true;
                break;
            }
            ssize_t got = sockops::Recv(SocketHandle, buffer + held, static_cast<std::size_t>(n), false);
            if (got < 0) {
                LastErrorNo = sockops::LastError();
                CheckSocketError(10035);
                got = 0;
            }
            line.append(buffer + held, static_cast<std::size_t>(got));
            held += static_cast<std::size_t>(got);
            if (held >= static_cast<std::size_t>(BufferSize)) throw ESockError("Line too long");
            ui::ProcessMessages();
            continue;
        }
        LastErrorNo = sockops::LastError();
        if (LastErrorNo == 10057) break;
        CheckSocketError(10035);
        ui::WaitMessage();
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket readln aborted");
    }
    if (!found) return {};  // the socket closed under the read before a line feed
    // Take the rest of the line, up to and including its line feed.
    std::size_t want = lineFeed + 1 - held;
    while (want > 0) {
        ssize_t got = sockops::Recv(SocketHandle, buffer + held, want, false);
        if (got <= 0) {
            if (got < 0) {
                LastErrorNo = sockops::LastError();
                CheckSocketError(10035);
            }
            break;
        }
        line.append(buffer + held, static_cast<std::size_t>(got));
        held += static_cast<std::size_t>(got);
        want -= static_cast<std::size_t>(got);
    }
    return line;
}

void TKesSock::Capture(const std::function<void(const char*, std::size_t)>& sink, long long maxLength) {
    BytesReceived = 0;
    TimerOn();
    ++FReading;
    WatchRead();
    {
        Finally off{[this] {
            --FReading;
            TimerOff();
        }};
        while (!Canceled && (maxLength < 0 || BytesReceived < maxLength)) {
            ssize_t n = sockops::Recv(SocketHandle, IOBuffer.get(), BufferSize, false);
            if (n == 0) break;
            if (n > 0) {
                sink(IOBuffer.get(), static_cast<std::size_t>(n));
                BytesReceived += n;
                if (OnPacketRecvd) OnPacketRecvd(this);
                TimerOn();
                ui::ProcessMessages();
                continue;
            }
            LastErrorNo = sockops::LastError();
            if (LastErrorNo == 10057) break;
            CheckSocketError(10035);
            ui::WaitMessage();
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket capture aborted");
    }
}

void TKesSock::CaptureString(std::string& text, long long maxLength) {
    StatusMessage(8, "Capture String");
    text.clear();
    Capture([&text](const char* data, std::size_t size) { text.append(data, size); }, maxLength);
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
        throw ESockError(text);
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

void TKesSock::StatusMessage(int level, const std::string& text) {
    if (level > ReportLevel) return;
    LastStatus = text;
    if (BeingDestroyed || !OnStatus) return;
    try {
        OnStatus(this, text);
    } catch (...) {
        // A failing status handler must not disturb the operation it reports on.
    }
}
