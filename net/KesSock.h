#pragma once
// The socket component under the HTTP client. One TKesSock holds one TCP stream socket and talks
// to Host:Port (or Proxy:ProxyPort). Every operation is synchronous for its caller, yet while it
// waits it runs the application's event loop, so timers and input keep being handled. The wait
// sleeps in the event loop until something happens (socket readiness, a timer, input); it never
// spins.
//
// Socket readiness reaches the component through QSocketNotifier on the user-interface thread
// and is handled as the component's read, connect and close events; name lookups run off the
// thread and come back as one lookup-done event. The time-out is a TThreadTimer.
#include "ui/core/Events.h"
#include "ui/core/Exception.h"
#include "ui/core/Lifetime.h"
#include "ui/core/Timer.h"

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QSocketNotifier;

// Errors of the socket layer, with fixed English messages. ErrorNo() is the socket error number
// behind it (0 when none): callers decide by the number, never by the text.
class ESockError : public Exception {
public:
    explicit ESockError(const std::string& message, int errorNo = 0) : Exception(message), FErrorNo(errorNo) {}
    int ErrorNo() const { return FErrorNo; }

private:
    int FErrorNo;
};

// A transfer that was cancelled or timed out (error number 10004, or 10060 for a time-out).
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// Socket error numbers the component raises with its own messages.
constexpr int SockErrInterrupted = 10004;  // cancelled, or the component went away
constexpr int SockErrWouldBlock = 10035;   // nothing to do on the socket yet
constexpr int SockErrTimedOut = 10060;
constexpr int SockErrNotConnected = 10057;
constexpr int SockErrHostNotFound = 11001;

// The time-out timer: a one-thread timer of the event loop. It runs while Enabled is true,
// Interval is not 0 and OnTimer is set, repeats every Interval, and is re-armed by every change
// of those three. An interval it cannot arm raises Exception "No Timer".
class TThreadTimer : public ui::TTimer {
public:
    explicit TThreadTimer(QObject* owner = nullptr);

protected:
    void UpdateTimer() override;

private:
    bool FRefusing = false;
};

using THandlerEvent = std::function<void(QObject* sender, bool& handled)>;
using TOnHostResolved = TNotifyEvent;
using TOnStatus = std::function<void(QObject* sender, const std::string& status)>;
using TOnSocketError = std::function<void(QObject* sender, unsigned short errorNo, const std::string& message)>;

// Field n (from 1) of the text split at the delimiter; consecutive delimiters give empty fields.
// Empty when the text is empty or has fewer fields.
std::string NthField(const std::string& text, char delimiter, int n);
// 1-based position of the n-th occurrence of the character, or the text's length plus 1.
std::size_t NthCharPos(const std::string& text, char ch, int n);

class TKesSock : public QObject {
public:
    static constexpr int BufferSize = 65536;
    static constexpr int NoSocket = -1;

    explicit TKesSock(QObject* owner = nullptr);
    // Destroying the component from a handler that runs inside one of its own waits is allowed:
    // the operation under way then raises EAbortError and touches nothing of the component.
    ~TKesSock() override;
    TKesSock(const TKesSock&) = delete;
    TKesSock& operator=(const TKesSock&) = delete;

    // Properties.
    std::string Host;
    int Port = 0;
    int TimeOut = 0;      // milliseconds; 0 arms no timer
    int ReportLevel = 0;  // highest status level reported
    std::string Proxy;
    int ProxyPort = 0;

    // Events, fired only when set.
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    TNotifyEvent OnDataReady;
    TOnSocketError OnSocketError;

    // State.
    // BufferSize + 1 bytes: the receive area. Bytes received ahead of a line (the rest of a
    // response) stay here for the next read, so a response usually takes one receive.
    std::unique_ptr<char[]> IOBuffer;
    std::vector<std::string> SocketInfo;  // start-up report of the first live component
    long long BytesSent = 0;
    bool Canceled = false;
    bool BeingDestroyed = false;
    int LastErrorNo = 0;
    std::string LastStatus;
    TThreadTimer* TimeOutTimer = nullptr;  // owned
    bool LastEventOK = true;
    bool TimedOut = false;
    long long ExpectedLength = 0;
    long long BytesReceived = 0;
    bool LookupDone = false;
    std::uint32_t RemoteAddress = 0;  // IPv4, network byte order; 0 while unresolved
    std::uint16_t RemotePort = 0;     // network byte order
    std::string LastReply;
    int ReplyCode = 0;
    // The socket is made when a connection starts and released when it closes: one socket per
    // connection. NoSocket between connections.
    int SocketHandle = NoSocket;
    bool Connected = false;

    // Live components that started the socket layer, process-wide.
    static int StartupCount;

    // Operations.
    virtual void Connect();
    virtual void Disconnect();
    // Writeln the command and ReadLn the reply; its leading number (at most 10 digits) becomes
    // ReplyCode, and one beyond 32767 raises ERangeError.
    virtual std::string Transaction(const std::string& command);
    virtual void Abort();
    void Cancel();

    // Sends the text up to its first zero byte, whatever its length.
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    // Sends length bytes of the buffer; a length of 0 sends the zero-terminated text in it.
    void SendBuffer(const char* buffer, std::size_t length);
    void SendFile(const std::string& fileName);
    // One line with its terminator (CR LF or LF); bytes beyond it stay for the next read. Empty
    // when the peer closes first. A line of BufferSize bytes without a line feed raises
    // ESockError "Line too long" (those bytes are dropped).
    std::string ReadLn();
    void CaptureString(std::string& text, long long maxLength = -1);
    // Receives exactly length bytes, or until the peer closes (a body announced by its length).
    void CaptureExact(std::string& text, long long length);
    void CaptureFile(const std::string& fileName);
    bool DataAvailable();
    void ResolveHost();
    void RequestCloseSocket();
    // The time-out of the operation that starts: TimeOut, or the time left of the deadline when
    // shorter. It runs from now but is armed only once the operation waits in the event loop.
    void TimerOn();
    void TimerOff();
    std::string CheckSocketError(int expected);
    std::string ErrorMessage(int errorNo);
    // Handler exceptions go to the application's exception handler.
    void StatusMessage(int level, std::string_view text);

    // An overall deadline, from now, for every wait until ClearDeadline: each TimerOn arms the
    // time-out with the time left when that is shorter than TimeOut (or TimeOut is 0).
    void StartDeadline(int ms);
    void ClearDeadline();

protected:
    // The first steps of destruction, run by the most derived destructor of this unit while the
    // object is still whole: "Destroy", the abort (reported only by the plain socket), cancel.
    // From then on no status reaches OnStatus.
    void BeginDestroy(bool reportAbort);
    // Ends when the component is destroyed.
    ui::TLifetime FLifetime;
    // Runs step (a handler, a wait) that may destroy the component; when it did, raises
    // EAbortError(message, 10004) and touches nothing of the component.
    template <class F>
    void Survive(const char* message, F&& step) {
        if (!ui::Survives(FLifetime, std::forward<F>(step))) throw EAbortError(message, SockErrInterrupted);
    }
    // Runs the event loop once (blocking for the next event when wait is set), through Survive.
    void Pump(bool wait, const char* message);
    // The wait of a read for more data: first the read's next receive waits up to QuickWaitMs
    // on the socket alone (data from a near peer usually come within it, without a round
    // through the event loop); when that brought nothing, a wait in the event loop, through
    // Survive.
    static constexpr int QuickWaitMs = 1;
    void WaitForData(const char* message);
    // Lets the next receive wait up to QuickWaitMs for its data (as after a request, when the
    // answer is on its way).
    void ExpectData();
    // Set while a request of a subclass runs its steps back to back: the read notifier is then
    // armed only for the waits themselves, not for idle reporting between the steps (each
    // arming and disarming costs the event loop a wake-up).
    bool FHoldIdleWatch = false;
    // Sends all bytes (zero bytes included); with more set, the kernel may hold them back to go
    // out with the next send in one segment.
    void SendBytes(const char* data, std::size_t length, bool more);

    // The component's event handlers.
    void HandleReadEvent();
    void HandleConnectEvent();
    void HandleLookupDone(bool ok, std::uint32_t address);
    void TimerFired();

private:
    class TReadScope;

    void MakeSocket(bool first);
    // The steps of Connect: the remote address (asking OnInvalidHost once for another host when
    // it cannot be found), then the connection started; true when it was made at once.
    void ResolveRemote();
    bool StartConnect();
    // After a wait that Canceled ended: clears it and raises EAbortError with the message (error
    // 10060 when the time-out cancelled, else 10004). Does nothing when not cancelled.
    void RaiseIfCanceled(const char* message);
    // Arms or disarms the read (or write) notifier on the current socket.
    void SetWatch(bool read, bool on);
    // Lets the next readable state of the connected socket arrive as a read or close event.
    void WatchRead();
    // Sends all bytes, waiting through the event loop while the socket is full; stops early on
    // Canceled. Returns false when a send accepted nothing. Raises EAbortError when the
    // component went away during a wait.
    bool SendAll(const char* data, std::size_t length, bool more = false);
    // The receive loop of the captures: hands every chunk to sink until the peer closes, the
    // limit is reached (negative: none) or the capture is cancelled. With exact, no receive
    // asks for more than the limit.
    void Capture(const std::function<void(const char* data, std::size_t size)>& sink, long long maxLength,
                 bool exact = false);
    // Receives from the socket, or fails with 10057 when there is none.
    long Receive(char* buffer, std::size_t length, bool peek);

    // Both notifiers are made when first needed and follow the current socket.
    QSocketNotifier* FReadNotifier = nullptr;
    QSocketNotifier* FWriteNotifier = nullptr;
    bool FConnecting = false;
    bool FConnectClean = false;  // the connect was seen finished with no error pending
    bool FFirstSocket = true;    // the first socket resets its connection on close
    bool FDestroyBegun = false;
    int FReading = 0;  // read operations under way
    enum class TQuickWait { None, Next, Missed };
    TQuickWait FQuickWait = TQuickWait::None;  // Next: the next receive may wait; Missed: it did, in vain
    // The connected socket's mode is set for the quick wait (sockops::SetQuickWait), once; where
    // that failed, the wait is a poll.
    bool FQuickWaitSet = false;
    std::size_t FInStart = 0, FInEnd = 0;  // received bytes not yet taken, in IOBuffer
    // Arms the time-out timer for what is left of the operation's time-out, before a wait.
    void ArmTimer();
    unsigned FTimerInterval = 0;  // the operation's time-out in ms; 0: none running
    std::chrono::steady_clock::time_point FTimerStart;
    bool FHasDeadline = false;
    std::chrono::steady_clock::time_point FDeadline;
    int FLookupId = -1;
    unsigned FLookupSerial = 0;
    std::uint32_t FLookupAddress = 0;
    bool FStarted = false;
};
