#include "net/KesSock.h"

#include "net/KesSockErrors.h"
#include "net/SocketOps.h"
#include "ui/core/Application.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <arpa/inet.h>
#include <climits>

namespace {

constexpr std::uint32_t NoAddress = 0xFFFFFFFFu;

}  // namespace

// ---------------------------------------------------------------------------------------------
// TKesSock: start-up and destruction

int TKesSock::StartupCount = 0;

TKesSock::TKesSock(QObject* owner) : QObject(owner), IOBuffer(new char[BufferSize + 1]) {
    StatusMessage(8, "Create");

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
    // The trace shows two cancels: the abort's own, then destruction's, as every socket reports.
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

void TKesSock::WaitForData(const char* message) {
    if (FQuickWait != TQuickWait::Missed && SocketHandle != NoSocket) {
        FQuickWait = TQuickWait::Next;  // the caller's next receive waits a moment
        return;
    }
    FQuickWait = TQuickWait::None;
    WatchRead();
    Pump(true, message);
}

void TKesSock::ExpectData() {
    if (SocketHandle != NoSocket) FQuickWait = TQuickWait::Next;
}

void TKesSock::Pump(bool wait, const char* message) {
    ArmTimer();
    Survive(message, [wait] {
        if (wait)
            ui::WaitMessage();
        else
            ui::ProcessMessages();
    });
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
        if (error == SockErrWouldBlock) return;  // nothing to read after all
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
    FQuickWaitSet = sockops::SetQuickWait(SocketHandle, QuickWaitMs) == 0;
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
    // As a timer's would, the time-out starts again only when it was off or its interval
    // changes. The timer itself is armed only when the operation waits (ArmTimer): most end
    // without waiting.
    if (FTimerInterval == 0 || interval != FTimerInterval) {
        if (TimeOutTimer) TimeOutTimer->SetEnabled(false);
        FTimerInterval = interval;
        FTimerStart = std::chrono::steady_clock::now();
    }
}

void TKesSock::TimerOff() {
    StatusMessage(8, "Timer Off");
    FTimerInterval = 0;
    if (TimeOutTimer) TimeOutTimer->SetEnabled(false);
}

void TKesSock::ArmTimer() {
    if (FTimerInterval == 0 || BeingDestroyed || (TimeOutTimer && TimeOutTimer->Enabled())) return;
    if (!TimeOutTimer) {
        // Made on the first wait: most operations end without one.
        TimeOutTimer = new TThreadTimer(this);
        TimeOutTimer->SetEnabled(false);
        TimeOutTimer->SetOnTimer([this](QObject*) { TimerFired(); });
    }
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - FTimerStart).count();
    const unsigned left = spent >= static_cast<long long>(FTimerInterval)
                              ? 1u
                              : FTimerInterval - static_cast<unsigned>(std::max<long long>(spent, 0));
    TimeOutTimer->SetInterval(left);
    TimeOutTimer->SetEnabled(true);
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
    while (!LookupDone && !TimedOut && !Canceled) Pump(true, "Host Lookup Canceled");
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
    if (OnHostResolved) Survive("Connection Canceled", [this] { OnHostResolved(this); });
}

void TKesSock::ResolveRemote() {
    for (int retry = 0;; ++retry) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            // A lookup that timed out or was cancelled (the component's going away among them)
            // ends the connect; a failed one leaves the address 0.
            if (e.ErrorNo() == SockErrTimedOut || e.ErrorNo() == SockErrInterrupted) throw;
        }
        if (RemoteAddress != 0) return;
        if (retry > 0 || !OnInvalidHost) throw ESockError("Null Remote Address", SockErrHostNotFound);
        bool handled = false;
        Survive("Connection Canceled", [&] { OnInvalidHost(this, handled); });
        if (!handled) throw ESockError("Null Remote Address", SockErrHostNotFound);
    }
}

bool TKesSock::StartConnect() {
    LookupDone = false;
    LastEventOK = true;
    MakeSocket(FFirstSocket);
    if (SocketHandle == NoSocket) CheckSocketError(SockErrWouldBlock);
    FFirstSocket = false;
    FConnecting = true;
    FConnectClean = false;
    if (sockops::Connect(SocketHandle, RemoteAddress, RemotePort) == 0) {
        FConnectClean = true;
        return true;
    }
    int error = sockops::LastError();
    if (error == SockErrWouldBlock) {
        // On a near peer the connection is often made by now: its event is taken at once.
        int ready = sockops::WritableNow(SocketHandle);
        FConnectClean = ready == 1;
        if (ready != 0) return true;
        SetWatch(false, true);
    } else if (kessock::IsConnectOutcome(error)) {
        // Reported at once on loopback; handled as the connect event it stands for.
        FConnecting = false;
        LastEventOK = false;
        LastErrorNo = error;
    } else {
        FConnecting = false;
        CheckSocketError(SockErrWouldBlock);
    }
    return false;
}

void TKesSock::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected", 10056);
    constexpr const char* gone = "Connection Canceled";
    ResolveRemote();
    RemotePort = htons(static_cast<std::uint16_t>(Proxy.empty() ? Port : ProxyPort));
    const bool madeAtOnce = StartConnect();
    TimerOn();
    // The connect event of a connection made at once comes after the timer is armed, as any
    // other connect event does.
    if (madeAtOnce) Survive(gone, [this] { ui::Guarded([this] { HandleConnectEvent(); }); });
    while (!Connected && !TimedOut && !Canceled && LastEventOK) Pump(true, gone);
    TimerOff();
    if (FConnecting) {
        FConnecting = false;
        SetWatch(false, false);
    }
    if (TimedOut || Canceled || !LastEventOK) {
        if (OnConnectionFailed) Survive(gone, [this] { OnConnectionFailed(this); });
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
    FQuickWait = TQuickWait::None;
    FQuickWaitSet = false;
    if (SocketHandle == NoSocket) return;
    FConnecting = false;
    SetWatch(true, false);
    SetWatch(false, false);
    int fd = SocketHandle;
    if (sockops::Close(fd) != 0) {
        CheckSocketError(SockErrWouldBlock);
        return;
    }
    SocketHandle = NoSocket;
    for (QSocketNotifier* notifier : {FReadNotifier, FWriteNotifier})
        if (notifier) notifier->setSocket(-1);
    // The next Connect makes a fresh socket.
    if (!BeingDestroyed && OnDisconnect) OnDisconnect(this);
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
