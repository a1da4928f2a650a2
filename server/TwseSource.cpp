#include "server/TwseSource.h"

#include "server/QuotePage.h"
#include "server/TwseJson.h"
#include "ui/DateTime.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <httplib.h>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Where a code trades, as far as the service has told.
enum class Place { Unplaced, Tse, Otc, Nowhere };

enum class State { Starting, Up, Down };

const char* StateName(State s) { return s == State::Up ? "up" : s == State::Down ? "down" : "starting"; }

// A local date-time as "yyyy-mm-dd hh:mm:ss".
std::string FormatLocal(ui::TDateTime t) {
    using namespace std::chrono;
    year_month_day ymd{sys_days{1899y / December / 30} + days{static_cast<int>(std::floor(t))}};
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02u-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()));
    return std::string(date) + " " + ui::FormatHHNNSS(t);
}

struct Upstream {
    std::string base;  // "https://host:port"
    std::string path;  // "/stock/api/getStockInfo.jsp", with "?" or "&" to append the query
    bool https = false;
};

Upstream ParseUpstream(const std::string& url) {
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

// A page request waiting for a code's first quote, and since when.
struct Waiter {
    std::function<void(std::string)> done;
    Clock::time_point since;
};

// The system's certificate authorities as OpenSSL finds them: a file and a folder (SSL_CERT_DIR
// may list several, separated by ':').
struct SystemStore {
    std::string file, dir;
    bool present = false;
};

SystemStore FindSystemStore() {
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

struct Stock {
    Place place = Place::Unplaced;
    Clock::time_point lastAsked, lastPolled, nowhereSince;
    bool haveQuote = false;
    Quote quote;
    Cents lastTrade = 0;  // the price of the last trade seen on the quote's day
    std::string date, name, page;
    std::vector<Waiter> waiting;
};

struct Outcome {
    bool ok = false;
    std::string error;
    twse::Answer answer;
};

// What one upstream request brought back.
struct Reply {
    bool ok = false;  // a complete answer with a status, within the bounds
    int status = 0;
    std::string body, error;
    std::vector<std::string> setCookies;
};

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

// Hands pages to their callers; a caller's failure must not stop the poller, and it is logged.
void Deliver(std::vector<std::pair<std::function<void(std::string)>, std::string>>& calls,
             const std::function<void(const std::string&)>& log) {
    for (auto& [done, page] : calls) {
        std::string failure;
        try {
            done(std::move(page));
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown error";
        }
        if (failure.empty()) continue;
        try {
            log("a page could not be handed over: " + failure);
        } catch (...) {
            // A log that fails itself has nowhere left to report to.
        }
    }
    calls.clear();
}

}  // namespace

struct TwseSource::Impl {
    Options options;
    Upstream upstream;
    SystemStore store;
    std::string certificateProblem;  // empty when HTTPS has authorities to verify against

    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::map<std::string, Stock> stocks;
    State state = State::Starting;
    int failures = 0;
    std::uint64_t requests = 0;
    Clock::time_point nextAt{};
    std::string lastGood, snapshotTime, lastError, lastErrorAt;
    std::uint64_t sessions = 0;
    std::map<std::string, std::string> cookies;  // the session's, by name
    std::deque<Clock::time_point> sent;          // when the requests of the last rate window went out
    httplib::Client* inFlight = nullptr;         // the request under way, for the timer or the destructor to cut short
    Clock::time_point inFlightDeadline{};
    bool inFlightExpired = false;  // the timer cut it short
    std::condition_variable timerWake;
    std::thread poller, timer;

    void Log(const std::string& line) {
        if (options.log)
            options.log(line);
        else
            std::cerr << "quote-server: " << line << std::endl;
    }

    // The channels of the next request, at most MaxChannels: codes without a place (both
    // markets) first, then the placed ones least recently polled. Drops codes nobody asked for
    // lately. Called with the lock held.
    std::vector<std::string> NextCodes(Clock::time_point now) {
        std::vector<std::pair<std::string, Stock*>> unplaced, placed;
        for (auto it = stocks.begin(); it != stocks.end();) {
            Stock& s = it->second;
            if (s.waiting.empty() && now - s.lastAsked > options.forgetAfter) {
                it = stocks.erase(it);
                continue;
            }
            if (s.place == Place::Unplaced)
                unplaced.emplace_back(it->first, &s);
            else if (s.place != Place::Nowhere)
                placed.emplace_back(it->first, &s);
            ++it;
        }
        std::stable_sort(placed.begin(), placed.end(),
                         [](const auto& a, const auto& b) { return a.second->lastPolled < b.second->lastPolled; });
        std::vector<std::string> channels;
        auto take = [&](const std::vector<std::pair<std::string, Stock*>>& list) {
            for (const auto& [code, s] : list) {
                std::size_t need = s->place == Place::Unplaced ? 2 : 1;
                if (channels.size() + need > MaxChannels) return;
                if (s->place != Place::Otc) channels.push_back("tse_" + code + ".tw");
                if (s->place != Place::Tse) channels.push_back("otc_" + code + ".tw");
                s->lastPolled = now;
            }
        };
        take(unplaced);
        take(placed);
        return channels;
    }

    bool HasWork() const {
        for (const auto& [code, s] : stocks)
            if (s.place != Place::Nowhere) return true;
        return false;
    }

    // Waits until one more request keeps within the service's rate: at most rateLimit in any
    // rateWindow. False when stopping. Called with the lock held.
    bool TakeSlot(std::unique_lock<std::mutex>& g) {
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

    // One GET of target (path and query) on the upstream's host, cut short by the timer once the
    // time-out has passed, whatever stage it is in. Called without the lock.
    Reply Get(const std::string& target) {
        Reply out;
        httplib::Client client(upstream.base);
        if (!client.is_valid()) {
            out.error = "cannot use the upstream " + upstream.base;
            return out;
        }
        auto micro = [](milliseconds d) { return std::chrono::duration_cast<std::chrono::microseconds>(d); };
        client.set_connection_timeout(micro(options.timeout));
        client.set_read_timeout(micro(options.timeout));
        client.set_write_timeout(micro(options.timeout));
        client.set_follow_location(false);
        client.set_url_encode(false);  // the query is encoded by the caller
        client.set_keep_alive(false);
        if (upstream.https) {
            client.enable_server_certificate_verification(true);
            // The given authorities join the system's, which the client loads into the same store.
            SSL_CTX* context = client.ssl_context();
            if (!options.caFile.empty() &&
                (!context ||
                 X509_STORE_load_locations(SSL_CTX_get_cert_store(context), options.caFile.c_str(), nullptr) != 1)) {
                out.error = "cannot read the certificate authorities of " + options.caFile;
                return out;
            }
        }
        httplib::Headers headers = {{"Accept", "application/json"}, {"User-Agent", "quote-server"}};
        {
            std::lock_guard<std::mutex> g(lock);
            if (stopping) return out;
            std::string cookie;
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

    Outcome Fetch(const std::vector<std::string>& channels) {
        Outcome out;
        std::string query = "ex_ch=";
        for (std::size_t i = 0; i < channels.size(); ++i) query += (i ? "%7C" : "") + channels[i];
        auto epochMs = std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch());
        query += "&json=1&delay=0&_=" + std::to_string(epochMs.count());
        Reply reply = Get(upstream.path + query);
        if (!reply.ok)
            out.error = reply.error;
        else if (reply.status != 200)
            out.error = "HTTP status " + std::to_string(reply.status);
        else
            out.ok = twse::ParseAnswer(reply.body, out.answer, out.error);
        return out;
    }

    // Opens a session: the service's start page on the same host, whose cookies are kept.
    // False with the reason when it could not.
    bool OpenSession(std::string& error) {
        Reply reply = Get("/stock/index.jsp");
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
    bool Poll(std::unique_lock<std::mutex>& g, const std::vector<std::string>& channels, Outcome& outcome) {
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

    // Cuts the request under way short at its deadline, and answers page requests that waited
    // the time-out with the unavailable page. Runs on a thread of its own.
    void Time() {
        std::unique_lock<std::mutex> g(lock);
        while (!stopping) {
            Clock::time_point now = Clock::now(), next = Clock::time_point::max();
            if (inFlight && !inFlightExpired) {
                if (now >= inFlightDeadline) {
                    inFlightExpired = true;
                    inFlight->stop();
                } else {
                    next = inFlightDeadline;
                }
            }
            Calls calls;
            for (auto& [code, s] : stocks) {
                auto late = std::stable_partition(s.waiting.begin(), s.waiting.end(),
                                                  [&](const Waiter& w) { return now < w.since + options.timeout; });
                for (auto it = late; it != s.waiting.end(); ++it)
                    calls.emplace_back(std::move(it->done), UnavailablePage(code));
                s.waiting.erase(late, s.waiting.end());
                for (const Waiter& w : s.waiting) next = std::min(next, w.since + options.timeout);
            }
            if (!calls.empty()) {
                g.unlock();
                Deliver(calls, [this](const std::string& line) { Log(line); });
                g.lock();
                continue;
            }
            if (next == Clock::time_point::max())
                timerWake.wait(g);
            else
                timerWake.wait_until(g, next);
        }
    }

    using Calls = std::vector<std::pair<std::function<void(std::string)>, std::string>>;

    // Takes the answer into the cache and sets the time of the next request, counted from the
    // end of this one so the service never sees two requests closer than the wait. Called with
    // the lock held.
    void Apply(const std::vector<std::string>& channels, Outcome& outcome, Clock::time_point finished,
               std::vector<std::string>& logs, Calls& calls) {
        ++requests;
        if (!outcome.ok) {
            ++failures;
            lastError = outcome.error;
            lastErrorAt = FormatLocal(ui::Now());
            milliseconds wait = options.interval;
            for (int i = 0; i < failures && wait < options.maxBackoff; ++i) wait *= 2;
            wait = std::min(wait, options.maxBackoff);
            nextAt = finished + wait;
            if (state != State::Down)
                logs.push_back("upstream down: " + outcome.error + "; serving the last good snapshot, next try in " +
                               std::to_string(wait.count()) + " ms");
            state = State::Down;
            // Nothing to wait for: whoever has no quote yet hears so now.
            for (auto& [code, s] : stocks) {
                for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), UnavailablePage(code));
                s.waiting.clear();
            }
            return;
        }

        if (state == State::Starting)
            logs.push_back("upstream up: " + std::to_string(outcome.answer.stocks.size()) + " stocks from " +
                           upstream.base);
        else if (state == State::Down)
            logs.push_back("upstream recovered after " + std::to_string(failures) + " failed requests");
        state = State::Up;
        failures = 0;
        lastGood = FormatLocal(ui::Now());
        snapshotTime = outcome.answer.time;
        milliseconds wait = std::max(options.interval, milliseconds(outcome.answer.userDelayMs));
        nextAt = finished + std::min(wait, options.maxBackoff);

        for (const twse::Entry& e : outcome.answer.stocks) {
            auto it = stocks.find(e.code);
            if (it == stocks.end()) continue;
            Stock& s = it->second;
            Place place = e.market == "tse" ? Place::Tse : Place::Otc;
            if (s.place == Place::Unplaced || s.place == Place::Nowhere)
                s.place = place;
            else if (s.place != place)
                continue;  // the other market's answer for a code asked on both
            bool sameDay = s.haveQuote && s.date == e.date;
            if (!sameDay) s.lastTrade = 0;
            s.quote = twse::ToQuote(e, sameDay ? &s.quote : nullptr, s.lastTrade);
            if (e.last > 0) s.lastTrade = e.last;
            s.date = e.date;
            Listing listing = twse::ToListing(e);
            if (listing.name.empty())
                listing.name = s.name;
            else
                s.name = listing.name;
            s.page = QuotePage(listing, s.quote, 0);
            s.haveQuote = true;
            for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), s.page);
            s.waiting.clear();
        }
        // Codes asked on both markets and found on neither.
        for (const std::string& channel : channels) {
            if (channel.rfind("tse_", 0) != 0) continue;
            std::string code = channel.substr(4, channel.size() - 7);
            auto it = stocks.find(code);
            if (it == stocks.end() || it->second.place != Place::Unplaced) continue;
            Stock& s = it->second;
            s.place = Place::Nowhere;
            s.nowhereSince = finished;
            for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), UnknownStockPage(code));
            s.waiting.clear();
        }
    }

    void Run() {
        std::unique_lock<std::mutex> g(lock);
        while (!stopping) {
            if (!HasWork()) {
                wake.wait(g);
                continue;
            }
            Clock::time_point now = Clock::now();
            if (now < nextAt) {
                wake.wait_until(g, nextAt);
                continue;
            }
            std::vector<std::string> channels = NextCodes(now);
            if (channels.empty()) continue;
            Outcome outcome;
            if (!Poll(g, channels, outcome)) break;
            std::vector<std::string> logs;
            Calls calls;
            Apply(channels, outcome, Clock::now(), logs, calls);
            g.unlock();
            for (const std::string& line : logs) Log(line);
            Deliver(calls, [this](const std::string& line) { Log(line); });
            g.lock();
        }
    }
};

TwseSource::TwseSource(Options options) : FImpl(std::make_unique<Impl>()) {
    FImpl->options = std::move(options);
    FImpl->upstream = ParseUpstream(FImpl->options.upstream);
    FImpl->store = FindSystemStore();
    if (FImpl->upstream.https && !FImpl->store.present) {
        FImpl->certificateProblem = "the system has no certificate authorities (neither " + FImpl->store.file +
                                    " nor " + FImpl->store.dir + "; install ca-certificates)";
        FImpl->Log(FImpl->certificateProblem + (FImpl->options.caFile.empty()
                                                    ? ": HTTPS to the upstream cannot be verified"
                                                    : ": only those of " + FImpl->options.caFile + " are trusted"));
    }
    FImpl->poller = std::thread([impl = FImpl.get()] { impl->Run(); });
    FImpl->timer = std::thread([impl = FImpl.get()] { impl->Time(); });
}

TwseSource::~TwseSource() {
    Impl::Calls calls;
    {
        std::lock_guard<std::mutex> g(FImpl->lock);
        FImpl->stopping = true;
        if (FImpl->inFlight) FImpl->inFlight->stop();
    }
    FImpl->wake.notify_all();
    FImpl->timerWake.notify_all();
    FImpl->poller.join();
    FImpl->timer.join();
    for (auto& [code, s] : FImpl->stocks)
        for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), UnavailablePage(code));
    Deliver(calls, [impl = FImpl.get()](const std::string& line) { impl->Log(line); });
}

void TwseSource::Page(const std::string& code, std::function<void(std::string page)> done) {
    if (!twse::ValidCode(code)) {
        done(UnknownStockPage(code));
        return;
    }
    std::string page;
    {
        std::lock_guard<std::mutex> g(FImpl->lock);
        Clock::time_point now = Clock::now();
        auto it = FImpl->stocks.find(code);
        if (it == FImpl->stocks.end()) {
            if (FImpl->stocks.size() >= MaxCodes || FImpl->stopping) {
                page = UnavailablePage(code);
            } else {
                it = FImpl->stocks.emplace(code, Stock{}).first;
                it->second.lastPolled = now;
            }
        }
        if (it != FImpl->stocks.end()) {
            Stock& s = it->second;
            s.lastAsked = now;
            if (s.place == Place::Nowhere && now - s.nowhereSince > FImpl->options.forgetAfter)
                s.place = Place::Unplaced;  // ask again: it may have been listed since
            if (s.haveQuote)
                page = s.page;
            else if (s.place == Place::Nowhere)
                page = UnknownStockPage(code);
            else if (FImpl->state == State::Down)
                page = UnavailablePage(code);
            else
                s.waiting.push_back({std::move(done), now});
        }
    }
    if (!page.empty()) {
        done(std::move(page));
    } else {
        FImpl->wake.notify_all();
        FImpl->timerWake.notify_all();
    }
}

std::string TwseSource::Status() {
    nlohmann::json j;
    std::lock_guard<std::mutex> g(FImpl->lock);
    auto textOrNull = [](const std::string& s) { return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s); };
    j["source"] = "twse";
    j["upstream"] = FImpl->options.upstream;
    j["state"] = StateName(FImpl->state);
    j["lastGood"] = textOrNull(FImpl->lastGood);
    j["snapshotTime"] = textOrNull(FImpl->snapshotTime);
    j["lastError"] = textOrNull(FImpl->lastError);
    j["lastErrorAt"] = textOrNull(FImpl->lastErrorAt);
    j["failures"] = FImpl->failures;
    j["requests"] = FImpl->requests;
    j["sessions"] = FImpl->sessions;
    j["certificates"] = textOrNull(FImpl->certificateProblem);
    j["codes"] = FImpl->stocks.size();
    auto wait = std::chrono::duration_cast<milliseconds>(FImpl->nextAt - Clock::now()).count();
    j["nextRequestMs"] = std::max<long long>(0, wait);
    // Texts from the upstream may hold any bytes; never let them make the status unreadable.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace server
