#pragma once
// The HTTP/1.0 client on TKesSock. Each request connects, sends the request line, the header
// lines and an optional body, reads the status line and the header, captures the body (to its
// Content-Length when the header gives one, else until the server closes), and disconnects; a
// redirect adds another pass on a fresh connection.
// HTTP error statuses are events, not exceptions: the server's page stays in Body.
#include "net/KesExtstr.h"
#include "net/KesSock.h"

#include <functional>
#include <string>

enum CmdType : unsigned char {
    cmdGet = 0,
    cmdOptions = 1,
    cmdHead = 2,
    cmdPost = 3,
    cmdPut = 4,
    cmdPatch = 5,
    cmdCopy = 6,
    cmdMove = 7,
    cmdDelete = 8,
    cmdLink = 9,
    cmdUnlink = 10,
    cmdTrace = 11,
};

// Optional request values.
struct THeaderInfo {
    std::string LocalMailAddress;
    std::string LocalProgram;
    std::string Cookie;
    std::string Referer;
    std::string UserId;
    std::string Password;
};

using TResultEvent = std::function<void(QObject* sender, CmdType cmd)>;

class TKesHTTP : public TKesSock {
public:
    // A request makes at most this many passes (the first one and its redirects).
    static constexpr int MaxPasses = 10;
    // Response header values kept from the response, and the request path, are cut to this.
    static constexpr std::size_t MaxValueLength = 256;
    // A response header of more lines or bytes fails the request with ESockError
    // "Header too long".
    static constexpr int MaxHeaderLines = 100;
    static constexpr std::size_t MaxHeaderBytes = 64 * 1024;

    explicit TKesHTTP(QObject* owner = nullptr);
    // Reports "Destroy" and cancels while the object is whole; frees nothing virtual.
    ~TKesHTTP() override;

    // Without InputFileMode the received body; with it the name of the file for the body.
    std::string Body = "Default.htm";
    // Without OutputFileMode the received header; with it the name of the file for the header.
    std::string Header = "Head.txt";
    THeaderInfo HeaderInfo;
    bool InputFileMode = false;
    // The send data names a file to send, and the response header goes to the file Header.
    bool OutputFileMode = false;
    // Largest body accepted into Body, in bytes; -1 for no limit. A longer body ends the request
    // with ESockError "Body too long", after the connection was closed.
    long long MaxBodyLength = -1;
    // Bounds a whole request in milliseconds (0: no bound): look-up, connect, sending, header,
    // body and every redirect pass together. It ends the request as a time-out does.
    int RequestTimeOut = 0;

    TNotifyEvent OnAboutToSend;
    TResultEvent OnSuccess;
    TResultEvent OnFailure;
    THandlerEvent OnRedirect;
    TNotifyEvent OnAuthenticationNeeded;

    // Request state, rebuilt by each request.
    std::string RequestPath;
    TExStringList RequestLines;
    std::string Location;
    std::string CookieReceived;
    bool EncodePostData = true;
    std::string SendData;
    std::string LinkArgument;
    std::string URL;
    CmdType CurrentCmd = cmdGet;

    void Abort() override;

    virtual void RunRequest();
    // One pass of a request: connect, send, read the response, close.
    void RunPass();
    // What the response of a pass asks for next; true when it names a URL for another pass.
    bool FollowResponse(int pass);
    virtual void ParseURL();
    virtual void BuildRequest();
    virtual void ReadResponseHeader();
    virtual void SendRequest();
    virtual void Options(const std::string& url);
    virtual void Get(const std::string& url);
    virtual void Post(const std::string& url, const std::string& data);
    virtual void Put(const std::string& url, const std::string& data);
    virtual void Head(const std::string& url);
    virtual void Patch(const std::string& url, const std::string& data);
    virtual void Delete(const std::string& url);
    virtual void Trace(const std::string& url, const std::string& data);
    virtual void Copy(const std::string& url, const std::string& target);
    virtual void Move(const std::string& url, const std::string& target);
    virtual void Link(const std::string& url, const std::string& value);
    virtual void Unlink(const std::string& url, const std::string& value);

private:
    // Refuses a URL or header value holding CR, LF or a zero byte.
    void CheckRequestText() const;
    // Receives the body of the response whose header was just read.
    void ReceiveBody();
    bool FLengthAnnounced = false;  // the response header carried a Content-Length
    void Run(CmdType cmd, const std::string& url);
};
