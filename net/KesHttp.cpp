#include "net/KesHttp.h"

#include "net/KesURL.h"
#include "net/KesUUE.h"
#include "net/SocketOps.h"
#include "ui/core/Big5.h"
#include "ui/core/ScopeGuard.h"

#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

namespace {

// What a request raises (as EAbortError) when a handler destroyed the component.
constexpr const char* Aborted = "Request aborted";

const char* const RequestWords[] = {"GET ",  "OPTIONS ", "HEAD ",   "POST ", "PUT ",    "PATCH ",
                                    "COPY ", "MOVE ",    "DELETE ", "LINK ", "UNLINK ", "TRACE "};

bool SendsBody(CmdType cmd) { return cmd == cmdPost || cmd == cmdPut || cmd == cmdPatch || cmd == cmdTrace; }

bool AnnouncesLength(CmdType cmd) { return SendsBody(cmd) || cmd == cmdLink || cmd == cmdUnlink; }

// The whole text as a decimal integer (optional sign), or nothing.
bool ParseInt(const std::string& text, int& value) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '+' || negative)) digits.remove_prefix(1);
    const unsigned long long limit = negative ? 1ull + INT_MAX : INT_MAX;
    unsigned long long v = 0;
    if (!ui::ParseWhole(digits, limit, v)) return false;
    value = static_cast<int>(negative ? -static_cast<long long>(v) : static_cast<long long>(v));
    return true;
}

int StrToInt(const std::string& text) {
    int value = 0;
    if (!ParseInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
    return value;
}

int StrToIntDef(const std::string& text, int fallback) {
    int value = 0;
    return ParseInt(text, value) ? value : fallback;
}

// A header value at a fixed column (1-based), without the line's terminator, cut to the limit.
std::string HeaderValue(const std::string& line, std::size_t column) {
    std::string value = line.size() >= column ? line.substr(column - 1) : std::string();
    if (!value.empty() && value.back() == '\n') value.pop_back();
    if (!value.empty() && value.back() == '\r') value.pop_back();
    if (value.size() > TKesHTTP::MaxValueLength) value.resize(TKesHTTP::MaxValueLength);
    return value;
}

// The decimal number after the colon: anything before the first digit is skipped, the digits
// end at the first non-digit, and no digits give 0.
long long LengthValue(const std::string& line) {
    std::size_t i = line.find(':');
    if (i == std::string::npos) return 0;
    while (i < line.size() && (line[i] < '0' || line[i] > '9')) ++i;
    long long v = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        if (v > (LLONG_MAX - 9) / 10) return LLONG_MAX;
        v = v * 10 + (line[i] - '0');
    }
    return v;
}

bool HasControlBreak(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

long long FileSize(const std::string& name) {
    std::error_code ec;
    auto size = std::filesystem::file_size(name, ec);
    if (ec) throw EFileError("Cannot open file \"" + name + "\"");
    return static_cast<long long>(size);
}

}  // namespace

TKesHTTP::TKesHTTP(QObject* owner) : TKesSock(owner) {}

TKesHTTP::~TKesHTTP() { BeginDestroy(false); }

void TKesHTTP::Abort() {
    LookupDone = true;
    Cancel();
}

// ---------------------------------------------------------------------------------------------
// Request operations

void TKesHTTP::Run(CmdType cmd, const std::string& url) {
    URL = url;
    CurrentCmd = cmd;
    RunRequest();
}

void TKesHTTP::Get(const std::string& url) { Run(cmdGet, url); }
void TKesHTTP::Options(const std::string& url) { Run(cmdOptions, url); }
void TKesHTTP::Head(const std::string& url) { Run(cmdHead, url); }
void TKesHTTP::Delete(const std::string& url) { Run(cmdDelete, url); }

void TKesHTTP::Post(const std::string& url, const std::string& data) {
    if (EncodePostData && !OutputFileMode) {
        TKesURL encoder;
        SendData = encoder.EncodeText(data);
    } else {
        SendData = data;
    }
    Run(cmdPost, url);
}

void TKesHTTP::Put(const std::string& url, const std::string& data) {
    SendData = data;
    Run(cmdPut, url);
}

void TKesHTTP::Patch(const std::string& url, const std::string& data) {
    SendData = data;
    Run(cmdPatch, url);
}

void TKesHTTP::Trace(const std::string& url, const std::string& data) {
    SendData = data;
    Run(cmdTrace, url);
}

void TKesHTTP::Copy(const std::string& url, const std::string& target) {
    LinkArgument = target;
    Run(cmdCopy, url);
}

void TKesHTTP::Move(const std::string& url, const std::string& target) {
    LinkArgument = target;
    Run(cmdMove, url);
}

void TKesHTTP::Link(const std::string& url, const std::string& value) {
    LinkArgument = value;
    SendData = "Send.dat";
    Run(cmdLink, url);
}

void TKesHTTP::Unlink(const std::string& url, const std::string& value) {
    LinkArgument = value;
    SendData = "Send.dat";
    Run(cmdUnlink, url);
}

// ---------------------------------------------------------------------------------------------
// The request loop

void TKesHTTP::CheckRequestText() const {
    if (HasControlBreak(URL)) throw Exception("Invalid character in URL");
    for (const std::string* value : {&HeaderInfo.LocalMailAddress, &HeaderInfo.LocalProgram, &HeaderInfo.Cookie,
                                     &HeaderInfo.Referer, &HeaderInfo.UserId, &HeaderInfo.Password, &LinkArgument})
        if (HasControlBreak(*value)) throw Exception("Invalid character in header value");
}

void TKesHTTP::ReceiveBody() {
    if (InputFileMode) {
        CaptureFile(Body);
        return;
    }
    if (CurrentCmd == cmdHead || ReplyCode == 204 || ReplyCode == 304) {
        Body.clear();  // these responses carry no body, whatever the header says
        return;
    }
    if (FLengthAnnounced) {
        // The body ends at its announced length; a server that keeps the connection open is
        // not waited for.
        if (MaxBodyLength >= 0 && ExpectedLength > MaxBodyLength) {
            Body.clear();
            throw ESockError("Body too long");
        }
        CaptureExact(Body, ExpectedLength);
        return;
    }
    if (MaxBodyLength >= 0) {
        CaptureString(Body, MaxBodyLength + 1);
        if (static_cast<long long>(Body.size()) > MaxBodyLength) {
            Body.clear();
            Body.shrink_to_fit();
            throw ESockError("Body too long");
        }
        return;
    }
    CaptureString(Body, -1);
}

void TKesHTTP::RunRequest() {
    // A handler may destroy the component; from then on nothing of it is touched.
    const ui::TAlive alive = FLifetime.Watch();
    if (RequestTimeOut > 0) StartDeadline(RequestTimeOut);
    FHoldIdleWatch = true;  // every pass closes its connection before the request returns
    ui::Finally clear{[&] {
        if (alive) {
            ClearDeadline();
            FHoldIdleWatch = false;
        }
    }};
    for (int pass = 1;; ++pass) {
        CheckRequestText();
        ParseURL();
        BuildRequest();
        if (OnAboutToSend) Survive(Aborted, [this] { OnAboutToSend(this); });
        RunPass();
        if (!FollowResponse(pass)) return;
    }
}

void TKesHTTP::RunPass() {
    const ui::TAlive alive = FLifetime.Watch();
    try {
        Connect();
        SendRequest();
        // A near server answers within a moment: the first read waits for it on the socket
        // rather than find it empty first.
        ExpectData();
        ReplyCode = 0;
        ReadResponseHeader();
        ReceiveBody();
        if (ReplyCode <= 298) {
            if (OnSuccess) Survive(Aborted, [this] { OnSuccess(this, CurrentCmd); });
            StatusMessage(2, "Transaction Completed");
        } else if (ReplyCode >= 400) {
            if (OnFailure) Survive(Aborted, [this] { OnFailure(this, CurrentCmd); });
        } else if (ReplyCode >= 300 && ReplyCode <= 302) {
            URL = Location;
        }
    } catch (...) {
        if (alive) {
            try {
                Disconnect();
            } catch (...) {
                // The first failure is the one the caller hears of.
            }
        }
        throw;
    }
    Survive(Aborted, [this] { Disconnect(); });
}

bool TKesHTTP::FollowResponse(int pass) {
    const int status = ReplyCode;
    if (status >= 300 && status <= 398) {
        if (!CookieReceived.empty()) HeaderInfo.Cookie = CookieReceived;
        bool handled = false;
        if (OnRedirect) Survive(Aborted, [&] { OnRedirect(this, handled); });
        if (handled) return false;
        if (URL.find('/') == std::string::npos) URL = "http://" + Host + "/" + URL;
    }
    if (status == 401 && OnAuthenticationNeeded) {
        Survive(Aborted, [this] { OnAuthenticationNeeded(this); });
    }
    if (status < 299 || status > 399) return false;
    // Only 300 to 302 name a new URL; any other status here would ask for the same one
    // again. The passes are bounded as well; the last response stays in Body.
    return status >= 300 && status <= 302 && pass < MaxPasses;
}

void TKesHTTP::ParseURL() {
    if (URL.empty()) throw Exception("Empty URL");
    if (Port == 0) Port = 80;

    if (URL.find("//") != std::string::npos)
        RequestPath = ui::Copy(URL, static_cast<long long>(NthCharPos(URL, '/', 3)), MaxValueLength);
    else if (std::size_t slash = URL.find('/'); slash != std::string::npos)
        RequestPath = URL.substr(slash, MaxValueLength);
    else
        RequestPath.clear();

    if (URL.find(':') != std::string::npos) {
        std::string scheme = ui::LowerCase(NthField(URL, ':', 1));
        if (scheme == "gopher")
            Port = 70;
        else if (scheme == "ftp")
            Port = 21;
        else if (scheme == "https")
            throw Exception("HTTP Secure Socket is not supported");
        else
            Port = 80;
    }

    std::string hostPart;
    if (URL.find("//") != std::string::npos)
        hostPart = NthField(URL, '/', 3);
    else if (URL[0] != '/')
        hostPart = NthField(URL, '/', 1);
    if (std::size_t colon = hostPart.find(':'); colon != std::string::npos) {
        Port = StrToInt(hostPart.substr(colon + 1));
        hostPart.resize(colon);
    }
    if (!hostPart.empty()) Host = hostPart;

    if (RequestPath.empty()) {
        RequestPath = "/";
        URL += "/";
    }
}

void TKesHTTP::BuildRequest() {
    RequestLines.clear();
    RequestLines.Add(RequestWords[CurrentCmd] + (Proxy.empty() ? RequestPath : URL) + " HTTP/1.0");
    if (!Proxy.empty()) {
        RequestLines.Add("Proxy-Connection: Keep-Alive");
        RequestLines.Add("Host: " + Host);
    }
    RequestLines.SetHeader("Host", Host);
    RequestLines.Add("Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff");
    RequestLines.Add("Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript");
    if (!HeaderInfo.LocalProgram.empty()) RequestLines.SetHeader("User-Agent", HeaderInfo.LocalProgram);
    if (!HeaderInfo.LocalMailAddress.empty()) RequestLines.SetHeader("From", HeaderInfo.LocalMailAddress);
    if (!HeaderInfo.Cookie.empty()) RequestLines.SetHeader("Cookie", HeaderInfo.Cookie);
    if (!HeaderInfo.Referer.empty()) RequestLines.SetHeader("Referer", HeaderInfo.Referer);
    if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty()) {
        // The encoder ends a line after every 45 bytes; the header value is one line.
        std::string encoded = UUEncodeString(HeaderInfo.UserId + ":" + HeaderInfo.Password, uuMime);
        std::string credentials;
        for (char c : encoded)
            if (c != '\r' && c != '\n') credentials += c;
        RequestLines.SetHeader("Authorization", "Basic " + credentials);
    }
    RequestLines.Add("Content-type: application/x-www-form-urlencoded");
    if (CurrentCmd == cmdCopy || CurrentCmd == cmdMove) RequestLines.Add("URI-header: " + LinkArgument);
    if (CurrentCmd == cmdLink || CurrentCmd == cmdUnlink) RequestLines.Add("Link: " + LinkArgument);
    if (AnnouncesLength(CurrentCmd)) {
        long long length = OutputFileMode ? FileSize(SendData) : static_cast<long long>(SendData.size());
        RequestLines.Add("Content-Length: " + std::to_string(length));
    }
}

void TKesHTTP::SendRequest() {
    // The header block and the blank line that ends it go out in one send (one segment); a
    // body follows in the same segment where it can.
    const bool body = SendsBody(CurrentCmd);
    const std::string head = RequestLines.Text() + "\r\n";
    // OnStatus hears the steps of the header as its listeners know them: "Write" for the lines,
    // "Writeln" and its "Write" for the blank line, though both go out in the one send below.
    StatusMessage(8, "Write");
    StatusMessage(8, "Writeln");
    StatusMessage(8, "Write");
    SendBytes(head.data(), head.size(), body && !OutputFileMode && !SendData.empty());
    if (body) {
        if (OutputFileMode) {
            SendFile(SendData);
        } else {
            // Exactly the bytes Content-Length announced, zero bytes included.
            StatusMessage(8, "Write");
            SendBytes(SendData.data(), SendData.size(), false);
        }
    }
}

void TKesHTTP::ReadResponseHeader() {
    ExpectedLength = 0;
    FLengthAnnounced = false;
    CookieReceived.clear();
    std::optional<std::ofstream> file;  // a stream costs its set-up: made only for a file
    if (OutputFileMode) {
        file.emplace(Header, std::ios::binary | std::ios::trunc);
        if (!*file) throw EFileError("Cannot create file \"" + Header + "\"");
    } else {
        Header.clear();
    }
    int lines = 0;
    std::size_t bytes = 0;
    auto add = [&](const std::string& line) {
        if (++lines > MaxHeaderLines || (bytes += line.size()) > MaxHeaderBytes) throw ESockError("Header too long");
        if (OutputFileMode)
            file->write(line.data(), static_cast<std::streamsize>(line.size()));
        else
            Header += line;
    };

    std::string line = ReadLn();
    if (!line.empty()) ReplyCode = StrToIntDef(NthField(line, ' ', 2), 0);
    add(line);
    for (;;) {
        line = ReadLn();
        std::string field = ui::UpperCase(NthField(line, ' ', 1));
        if (field == "SET-COOKIE:")
            CookieReceived = HeaderValue(line, 13);
        else if (field == "LOCATION:")
            Location = HeaderValue(line, 11);
        else if (field == "CONTENT-LENGTH:") {
            ExpectedLength = LengthValue(line);
            // A value without digits announces nothing; the body then runs to the close.
            FLengthAnnounced = line.find_first_of("0123456789", line.find(':')) != std::string::npos;
        }
        add(line);
        if (line.empty() || line == "\n" || line == "\r\n") break;
    }
    if (OutputFileMode) {
        file->close();
        if (!*file) throw EFileError("Cannot write file \"" + Header + "\"");
    }
}
