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
#include "ui/Exception.h"
#include "ui/Timer.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

// Errors of the socket layer, with fixed English messages.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A transfer that was cancelled or timed out.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

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

using TNotifyEvent = std::function<void(QObject* sender)>;
using THandlerEvent = std::function<void(QObject* sender, bool& handled)>;
using TOnHostResolved = std::function<void(QObject* sender)>;
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
    std::unique_ptr<char[]> IOBuffer;     // BufferSize + 1 bytes
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
    // One line with its terminator (CR LF or LF); nothing beyond it is taken from the socket.
    // Empty when the peer closes first. A line of BufferSize bytes without a line feed raises
    // ESockError "Line too long".
    std::string ReadLn();
    void CaptureString(std::string& text, long long maxLength = -1);
    void CaptureFile(const std::string& fileName);
    bool DataAvailable();
    void ResolveHost();
    void RequestCloseSocket();
    void TimerOn();
    void TimerOff();
    std::string CheckSocketError(int expected);
    std::string ErrorMessage(int errorNo);
    void StatusMessage(int level, const std::string& text);

protected:
    // The component's event handlers.
    void HandleReadEvent();
    void HandleConnectEvent();
    void HandleLookupDone(bool ok, std::uint32_t address);
    void TimerFired();

private:
    void MakeSocket(bool first);
    // Lets the next readable state of the connected socket arrive as a read or close event.
    void WatchRead();
    // Blocks in the event loop until the socket can take more bytes, a timer fires, or any
    // other event arrives.
    void WaitWritable();
    // Sends all bytes, waiting through the event loop while the socket is full; stops early on
    // Canceled. Returns false when a send accepted nothing.
    bool SendAll(const char* data, std::size_t length);
    // The receive loop of the captures: hands every chunk to sink until the peer closes, the
    // limit is reached (negative: none) or the capture is cancelled.
    void Capture(const std::function<void(const char* data, std::size_t size)>& sink, long long maxLength);

    // Both notifiers live as long as the component and follow its current socket.
    QSocketNotifier* FReadNotifier = nullptr;
    QSocketNotifier* FWriteNotifier = nullptr;
    bool FConnecting = false;
    int FReading = 0;  // read operations under way
    int FLookupId = -1;
    unsigned FLookupSerial = 0;
    std::uint32_t FLookupAddress = 0;
    bool FStarted = false;
};
