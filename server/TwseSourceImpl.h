#pragma once
// The inside of the gateway to the exchange's quote service, shared by its snapshot cache and
// page answering (TwseSource.cpp) and its requests to the service: the HTTP client, the session
// and the rate (TwseUpstream.cpp).
#include "server/TwseJson.h"
#include "server/TwseSource.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Client;
}

namespace server {

// The gateway's own types, apart from the rest of the server's.
namespace gateway {

using Clock = std::chrono::steady_clock;

// Where a code trades, as far as the service has told.
enum class Place { Unplaced, Tse, Otc, Nowhere };

enum class State { Starting, Up, Down };

struct Upstream {
    std::string base;  // "https://host:port"
    std::string path;  // "/stock/api/getStockInfo.jsp", with "?" or "&" to append the query
    bool https = false;
};

// Throws std::invalid_argument for a URL that is no http(s) URL with a usable host.
Upstream ParseUpstream(const std::string& url);

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

SystemStore FindSystemStore();

struct Stock {
    Place place = Place::Unplaced;
    Clock::time_point lastAsked, lastPolled, nowhereSince;
    bool haveQuote = false;
    Quote quote;
    twse::Seen seen;            // the trades seen on the quote's day
    Listing listing;            // what the page is written for
    bool afterClose = false;    // the quote is of a snapshot after the closing auction
    Clock::time_point fresh{};  // when an answer last brought the code
    int misses = 0;             // weight of the answers in a row that lacked a code not placed yet
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

// Pages to hand to their callers once the lock is let go.
using Calls = std::vector<std::pair<std::function<void(std::string)>, std::string>>;

}  // namespace gateway

struct TwseSource::Impl {
    Options options;
    gateway::Upstream upstream;
    gateway::SystemStore store;
    std::string certificateProblem;  // empty when HTTPS has authorities to verify against

    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    // Raised with stopping, for the poller to check without the lock while it reads an answer.
    std::atomic<bool> quitting = false;
    std::map<std::string, gateway::Stock> stocks;
    gateway::State state = gateway::State::Starting;
    int failures = 0;
    std::uint64_t requests = 0;
    gateway::Clock::time_point nextAt{};
    std::string lastGood, snapshotTime, lastError, lastErrorAt;
    std::uint64_t sessions = 0;
    std::map<std::string, std::string> cookies;   // the session's, by name
    std::deque<gateway::Clock::time_point> sent;  // when the requests of the last rate window went out
    httplib::Client* inFlight = nullptr;          // the request under way, for the timer or the destructor to cut short
    gateway::Clock::time_point inFlightDeadline{};
    bool inFlightExpired = false;  // the timer cut it short
    std::condition_variable timerWake;
    std::thread poller, timer;
    std::vector<gateway::Upstream> closeSources;  // the published daily quotes
    std::map<std::string, Cents> dailyCloses;     // their closes by code
    std::string dailyClosesDate;                  // their day, yyyymmdd
    std::string closesWantedFor;                  // the day they were last asked for
    gateway::Clock::time_point closesAskedAt{};

    void Log(const std::string& line);

    // The cache (TwseSource.cpp).
    std::vector<std::string> NextCodes(gateway::Clock::time_point now);
    bool HasWork() const;
    void Time();
    void Apply(const std::vector<std::string>& channels, gateway::Outcome& outcome, gateway::Clock::time_point finished,
               std::vector<std::string>& logs, gateway::Calls& calls);
    void Failed(const std::string& error, gateway::Clock::time_point finished, std::vector<std::string>& logs,
                gateway::Calls& calls);
    void TakeQuotes(const twse::Answer& answer, gateway::Clock::time_point finished, gateway::Calls& calls);
    void FoundNowhere(const std::vector<std::string>& channels, const twse::Answer& answer,
                      gateway::Clock::time_point finished, gateway::Calls& calls);
    bool InWindow() const;
    bool IsStale(const gateway::Stock& s, gateway::Clock::time_point now) const;
    void Run();

    // The requests to the service (TwseUpstream.cpp).
    bool TakeSlot(std::unique_lock<std::mutex>& g);
    std::string Configure(httplib::Client& client, bool https);
    gateway::Reply Get(const gateway::Upstream& where, const std::string& target, bool session);
    void TakeDailyCloses(std::unique_lock<std::mutex>& g, std::vector<std::string>& logs);
    bool CloseMissing(const gateway::Stock& s) const;
    gateway::Outcome Fetch(const std::vector<std::string>& channels);
    bool OpenSession(std::string& error);
    bool Poll(std::unique_lock<std::mutex>& g, const std::vector<std::string>& channels, gateway::Outcome& outcome);
    gateway::Clock::time_point CutShortWhenLate(gateway::Clock::time_point now);
    void CutShort();
};

}  // namespace server
