// The gateway's requests to the exchange's quote service: the HTTP client and its
// certificate authorities, the session's cookies and the rate the service allows.
#include "server/TwseSourceImpl.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <httplib.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdexcept>

namespace server {

using namespace gateway;

using std::chrono::milliseconds;

namespace {

// The "name=value" of a Set-Cookie header, empty when it is none or could harm a header line.
std::string CookiePair(const std::string& header) {
    std::string pair = header.substr(0, header.find(';'));
    pair.erase(0, pair.find_first_not_of(' '));
    pair.erase(pair.find_last_not_of(' ') + 1);
    std::size_t eq = pair.find('=');
    if (eq == 0 || eq == std::string::npos || pair.size() > 1024) return {};
    for (char c : pair)
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7F || c == ',' || c == ';') return {};
    return pair;
}

}  // namespace

Upstream gateway::ParseUpstream(const std::string& url) {
    Upstream u;
    std::size_t rest;
    if (url.rfind("https://", 0) == 0) {
        u.https = true;
        rest = 8;
    } else if (url.rfind("http://", 0) == 0) {
        rest = 7;
    } else {
        throw std::invalid_argument("the upstream must be an http:// or https:// URL: " + url);
    }
    std::size_t slash = url.find('/', rest);
    std::string authority = url.substr(rest, slash == std::string::npos ? std::string::npos : slash - rest);
    if (authority.empty() || authority.find_first_of("@?# ") != std::string::npos)
        throw std::invalid_argument("the upstream URL has no usable host: " + url);
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || c == '#') throw std::invalid_argument("bad upstream URL: " + url);
    u.base = url.substr(0, rest) + authority;
    u.path = slash == std::string::npos ? "/" : url.substr(slash);
    u.path += u.path.find('?') == std::string::npos ? "?" : "&";
    return u;
}

SystemStore gateway::FindSystemStore() {
    SystemStore s;
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    s.file = file ? file : X509_get_default_cert_file();
    s.dir = dir ? dir : X509_get_default_cert_dir();
    std::error_code ec;
    s.present = std::filesystem::file_size(s.file, ec) > 0 && !ec;
    for (std::size_t from = 0; !s.present && from <= s.dir.size();) {
        std::size_t colon = std::min(s.dir.find(':', from), s.dir.size());
        std::string one = s.dir.substr(from, colon - from);
        ec.clear();
        s.present = !one.empty() && std::filesystem::is_directory(one, ec) &&
                    std::filesystem::directory_iterator(one, ec) != std::filesystem::directory_iterator();
        from = colon + 1;
    }
    return s;
}

// Waits until one more request keeps within the service's rate: at most rateLimit in any
// rateWindow. False when stopping. Called with the lock held.
bool TwseSource::Impl::TakeSlot(std::unique_lock<std::mutex>& g) {
    for (;;) {
        if (stopping) return false;
        Clock::time_point now = Clock::now();
        while (!sent.empty() && now - sent.front() >= options.rateWindow) sent.pop_front();
        if (sent.size() < std::max<std::size_t>(1, options.rateLimit)) {
            sent.push_back(now);
            return true;
        }
        wake.wait_until(g, sent.front() + options.rateWindow);
    }
}

// Sets a new client's time-outs and, for HTTPS, the authorities its certificate is verified
// against. The reason when it cannot be used, else empty.
std::string TwseSource::Impl::Configure(httplib::Client& client, bool https) {
    auto micro = [](milliseconds d) { return std::chrono::duration_cast<std::chrono::microseconds>(d); };
    client.set_connection_timeout(micro(options.timeout));
    client.set_read_timeout(micro(options.timeout));
    client.set_write_timeout(micro(options.timeout));
    client.set_follow_location(false);
    client.set_url_encode(false);  // the query is encoded by the caller
    client.set_keep_alive(false);
    if (https) {
        client.enable_server_certificate_verification(true);
        // The given authorities join the system's, which the client loads into the same store.
        SSL_CTX* context = client.ssl_context();
        if (!options.caFile.empty() && (!context || X509_STORE_load_locations(SSL_CTX_get_cert_store(context),
                                                                              options.caFile.c_str(), nullptr) != 1)) {
            return "cannot read the certificate authorities of " + options.caFile;
        }
    }
    return {};
}

// One GET of target (path and query) on the upstream's host, cut short by the timer once the
// time-out has passed, whatever stage it is in. Called without the lock.
Reply TwseSource::Impl::Get(const Upstream& where, const std::string& target, bool session) {
    Reply out;
    httplib::Client client(where.base);
    if (!client.is_valid()) {
        out.error = "cannot use the upstream " + where.base;
        return out;
    }
    if (std::string error = Configure(client, where.https); !error.empty()) {
        out.error = error;
        return out;
    }
    httplib::Headers headers = {{"Accept", "application/json"}, {"User-Agent", "quote-server"}};
    {
        std::lock_guard<std::mutex> g(lock);
        if (stopping) return out;
        std::string cookie;
        if (session)
            for (const auto& [name, pair] : cookies) cookie += (cookie.empty() ? "" : "; ") + pair;
        if (!cookie.empty()) headers.emplace("Cookie", cookie);
        inFlight = &client;
        inFlightDeadline = Clock::now() + options.timeout;
        inFlightExpired = false;
    }
    timerWake.notify_all();

    bool tooBig = false;
    httplib::Result result = client.Get(
        target, headers,
        [&](const httplib::Response& r) {
            out.status = r.status;
            auto [from, to] = r.headers.equal_range("Set-Cookie");
            for (auto it = from; it != to; ++it) out.setCookies.push_back(it->second);
            return true;
        },
        [&](const char* data, std::size_t size) {
            if (quitting) return false;
            if (out.body.size() + size > MaxAnswerBytes) return !(tooBig = true);
            out.body.append(data, size);
            return true;
        });
    bool expired;
    {
        std::lock_guard<std::mutex> g(lock);
        inFlight = nullptr;
        expired = inFlightExpired;
    }
    if (expired)
        out.error = "no complete answer within " + std::to_string(options.timeout.count()) + " ms";
    else if (tooBig)
        out.error = "the answer is larger than " + std::to_string(MaxAnswerBytes) + " bytes";
    else if (!result)
        out.error = httplib::to_string(result.error());
    else
        out.ok = true;
    return out;
}

Outcome TwseSource::Impl::Fetch(const std::vector<std::string>& channels) {
    Outcome out;
    std::string query = "ex_ch=";
    for (std::size_t i = 0; i < channels.size(); ++i) query += (i ? "%7C" : "") + channels[i];
    auto epochMs = std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    query += "&json=1&delay=0&_=" + std::to_string(epochMs.count());
    Reply reply = Get(upstream, upstream.path + query, true);
    if (!reply.ok)
        out.error = reply.error;
    else if (reply.status != 200)
        out.error = "HTTP status " + std::to_string(reply.status);
    else
        out.ok = twse::ParseAnswer(reply.body, out.answer, out.error, &quitting);
    return out;
}

// Opens a session: the service's start page on the same host, whose cookies are kept.
// False with the reason when it could not.
bool TwseSource::Impl::OpenSession(std::string& error) {
    Reply reply = Get(upstream, "/stock/index.jsp", true);
    if (!reply.ok) {
        error = reply.error;
    } else if (reply.status < 200 || reply.status >= 400) {
        error = "HTTP status " + std::to_string(reply.status);
        reply.ok = false;
    }
    std::lock_guard<std::mutex> g(lock);
    if (!reply.ok) return false;
    ++sessions;
    for (const std::string& header : reply.setCookies) {
        std::string pair = CookiePair(header);
        if (pair.empty() || (cookies.size() >= 16 && !cookies.count(pair.substr(0, pair.find('='))))) continue;
        cookies[pair.substr(0, pair.find('='))] = pair;
    }
    return true;
}

// The quotes of these channels: one request, and when its answer lacks msgArray a session
// opened and one request more, each within the rate. Called with the lock held; it is let go
// while the requests are under way. False when stopping.
bool TwseSource::Impl::Poll(std::unique_lock<std::mutex>& g, const std::vector<std::string>& channels,
                            Outcome& outcome) {
    if (!TakeSlot(g)) return false;
    g.unlock();
    outcome = Fetch(channels);
    g.lock();
    if (outcome.ok || !outcome.answer.missingArray) return !stopping;
    if (!TakeSlot(g)) return false;
    g.unlock();
    std::string why;
    bool session = OpenSession(why);
    g.lock();
    if (!session) {
        outcome.error += "; no session could be opened: " + why;
        return !stopping;
    }
    if (!TakeSlot(g)) return false;
    g.unlock();
    outcome = Fetch(channels);
    g.lock();
    if (!outcome.ok && outcome.answer.missingArray) outcome.error += " (with a session)";
    return !stopping;
}

// Cuts the request under way short once its deadline has passed. The deadline still ahead, or
// none. Called with the lock held.
Clock::time_point TwseSource::Impl::CutShortWhenLate(Clock::time_point now) {
    if (!inFlight || inFlightExpired) return Clock::time_point::max();
    if (now < inFlightDeadline) return inFlightDeadline;
    inFlightExpired = true;
    inFlight->stop();
    return Clock::time_point::max();
}

// Cuts the request under way short, for the destructor. Called with the lock held.
void TwseSource::Impl::CutShort() {
    if (inFlight) inFlight->stop();
}

}  // namespace server
