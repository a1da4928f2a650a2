#include "quote/StartupChecks.h"

#include "quote/fQuoteDef.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"

#include <cctype>
#include <netdb.h>
#include <sys/socket.h>

namespace {

bool IsDigits(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!std::isdigit(c)) return false;
    return true;
}

// Four decimal numbers 0-255 separated by dots, without leading zeros (which some resolvers
// read as octal).
bool IsIPv4(const std::string& host) {
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = host.find('.', start);
        std::string part = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        unsigned long long n;
        if (!ui::ParseWhole(part, 255, n) || (part.size() > 1 && part[0] == '0')) return false;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

// Labels of letters, digits and hyphens (not at either end), up to 63 characters each, joined by
// dots; a last label of digits alone would be a mistyped address rather than a name.
bool IsHostName(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    std::size_t start = 0;
    std::string label;
    while (true) {
        std::size_t dot = host.find('.', start);
        label = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
        for (unsigned char c : label)
            if (!std::isalnum(c) && c != '-') return false;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return !IsDigits(label);
}

}  // namespace

std::string QuoteServerProblem(const std::string& address) {
    const std::string quoted = "\"" + address + "\"";
    if (address.empty()) return "the quote server's address is empty; give it as host:port";
    if (address.front() == '[')
        return quoted + ": IPv6 addresses are not supported; give a host name or an IPv4 address";
    std::string host = address, port;
    if (std::size_t colon = address.find(':'); colon != std::string::npos) {
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
        if (unsigned long long n; !ui::ParseWhole(port, 65535, n) || n < 1)
            return quoted + ": the port must be a number from 1 to 65535";
    }
    if (host.empty()) return quoted + ": the host is missing; give it as host:port";
    bool numeric = host.find_first_not_of("0123456789.") == std::string::npos;
    if (numeric ? !IsIPv4(host) : !IsHostName(host))
        return quoted + ": \"" + host + "\" is neither a host name nor an IPv4 address";
    if (!numeric) {
        // A name that is known not to exist is refused; a lookup that cannot be answered now (no
        // network yet at boot) is left to the fetches, which try again every cycle.
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (found) ::freeaddrinfo(found);
        if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL
#ifdef EAI_ADDRFAMILY
            || rc == EAI_ADDRFAMILY
#endif
        )
            return quoted + ": no IPv4 address is known for the host \"" + host + "\"";
    }
    return {};
}

void TFetchErrorReport::Report(TStockObjList& list) {
    FReported.resize(static_cast<std::size_t>(list.Count()));
    for (int i = 0; i < list.Count(); ++i) {
        TStockObj* stock = list.Stocks(i);
        std::string& reported = FReported[static_cast<std::size_t>(i)];
        if (!stock || stock->LastError == reported) continue;
        reported = stock->LastError;
        if (reported.empty()) continue;
        std::string line = FProgram + ": " + ui::FormatHHNNSS(stock->LastErrorTime) + " row " + std::to_string(i + 1) +
                           " " + ui::Big5ToUtf8(stock->Data().Code) + ": " + ui::Big5ToUtf8(reported) + "\n";
        std::fwrite(line.data(), 1, line.size(), FOut);
        std::fflush(FOut);
    }
}
