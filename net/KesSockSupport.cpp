// The socket layer's supporting pieces: the socket error texts, the time-out timer and the
// unit's text helpers.
#include "net/KesSock.h"
#include "net/KesSockErrors.h"

#include "net/SocketOps.h"

#include <climits>

namespace {

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

}  // namespace

namespace kessock {

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

}  // namespace kessock

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
