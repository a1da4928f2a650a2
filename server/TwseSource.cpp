#include "server/TwseSource.h"

#include "server/QuotePage.h"
#include "server/TwseSourceImpl.h"
#include "ui/core/DateTime.h"
#include "ui/core/Holidays.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

namespace server {

using namespace gateway;

namespace {

using std::chrono::milliseconds;

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

void TwseSource::Impl::Log(const std::string& line) {
    if (options.log)
        options.log(line);
    else
        std::cerr << "quote-server: " << line << std::endl;
}

// The channels of the next request, at most MaxChannels: codes without a place (both
// markets) first, then the placed ones least recently polled. Drops codes nobody asked for
// lately. Called with the lock held.
std::vector<std::string> TwseSource::Impl::NextCodes(Clock::time_point now) {
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

bool TwseSource::Impl::HasWork() const {
    for (const auto& [code, s] : stocks)
        if (s.place != Place::Nowhere) return true;
    return false;
}

// Cuts the request under way short at its deadline, and answers page requests that waited
// the time-out with the unavailable page. Runs on a thread of its own.
void TwseSource::Impl::Time() {
    std::unique_lock<std::mutex> g(lock);
    while (!stopping) {
        Clock::time_point now = Clock::now(), next = CutShortWhenLate(now);
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

// Takes the answer into the cache and sets the time of the next request, counted from the
// end of this one so the service never sees two requests closer than the wait. Called with
// the lock held.
void TwseSource::Impl::Apply(const std::vector<std::string>& channels, Outcome& outcome, Clock::time_point finished,
                             std::vector<std::string>& logs, Calls& calls) {
    ++requests;
    if (!outcome.ok) {
        Failed(outcome.error, finished, logs, calls);
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
    TakeQuotes(outcome.answer, finished, calls);
    FoundNowhere(channels, outcome.answer, finished, calls);
}

// A request that failed: the wait before the next one grows, and whoever has no quote yet hears
// so now.
void TwseSource::Impl::Failed(const std::string& error, Clock::time_point finished, std::vector<std::string>& logs,
                              Calls& calls) {
    ++failures;
    lastError = error;
    lastErrorAt = FormatLocal(ui::Now());
    milliseconds wait = options.interval;
    for (int i = 0; i < failures && wait < options.maxBackoff; ++i) wait *= 2;
    wait = std::min(wait, options.maxBackoff);
    nextAt = finished + wait;
    if (state != State::Down)
        logs.push_back("upstream down: " + error + "; serving the last good snapshot, next try in " +
                       std::to_string(wait.count()) + " ms");
    state = State::Down;
    for (auto& [code, s] : stocks) {
        for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), UnavailablePage(code));
        s.waiting.clear();
    }
}

// The quotes of an answer into the cache, each to the pages waiting for it.
void TwseSource::Impl::TakeQuotes(const twse::Answer& answer, Clock::time_point finished, Calls& calls) {
    for (const twse::Entry& e : answer.stocks) {
        auto it = stocks.find(e.code);
        if (it == stocks.end()) continue;
        Stock& s = it->second;
        Place place = e.market == "tse" ? Place::Tse : Place::Otc;
        if (s.place == Place::Unplaced || s.place == Place::Nowhere)
            s.place = place;
        else if (s.place != place)
            continue;  // the other market's answer for a code asked on both
        bool sameDay = s.haveQuote && s.date == e.date;
        if (!sameDay) s.seen = {};
        s.quote = twse::ToQuote(e, sameDay ? &s.quote : nullptr, s.seen);
        twse::See(e, s.seen);
        s.date = e.date;
        s.afterClose = e.secondOfDay >= twse::CloseSecond;
        if (CloseMissing(s) && dailyClosesDate == s.date)
            if (auto close = dailyCloses.find(e.code); close != dailyCloses.end()) s.quote.last = close->second;
        s.fresh = finished;
        s.misses = 0;
        Listing listing = twse::ToListing(e);
        if (listing.name.empty())
            listing.name = s.name;
        else
            s.name = listing.name;
        s.listing = listing;
        s.page = QuotePage(listing, s.quote, 0);
        s.haveQuote = true;
        for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), s.page);
        s.waiting.clear();
    }
}

// Codes asked on both markets and found on neither: unknown once enough answers in a row lacked
// them, so that one empty answer of a service in trouble hides no real code.
void TwseSource::Impl::FoundNowhere(const std::vector<std::string>& channels, const twse::Answer& answer,
                                    Clock::time_point finished, Calls& calls) {
    const int weight = answer.stocks.empty() ? 1 : 3;
    for (const std::string& channel : channels) {
        if (channel.rfind("tse_", 0) != 0) continue;
        std::string code = channel.substr(4, channel.size() - 7);
        auto it = stocks.find(code);
        if (it == stocks.end() || it->second.place != Place::Unplaced) continue;
        Stock& s = it->second;
        s.misses += weight;
        if (s.misses < UnknownAfterMisses) continue;
        s.misses = 0;
        s.place = Place::Nowhere;
        s.nowhereSince = finished;
        for (Waiter& w : s.waiting) calls.emplace_back(std::move(w.done), UnknownStockPage(code));
        s.waiting.clear();
    }
}

bool TwseSource::Impl::InWindow() const {
    if (options.inTradingWindow) return options.inTradingWindow();
    ui::TDateTime now = ui::Now();
    if (ui::IsClosedDay(now)) return false;
    ui::TimeParts t = ui::DecodeTime(now);
    int minute = t.hour * 60 + t.minute;
    return minute >= 8 * 60 + 56 && minute <= 13 * 60 + 35;
}

// A quote whose data no answer has brought for the stale limit, inside the trading window.
bool TwseSource::Impl::IsStale(const Stock& s, Clock::time_point now) const {
    return s.haveQuote && now - s.fresh > options.staleAfter && InWindow();
}

bool TwseSource::Impl::CloseMissing(const Stock& s) const {
    return s.haveQuote && s.afterClose && s.quote.last <= 0 && !s.date.empty();
}

// Asks the exchange's published daily quotes for the closes the service did not tell: once a
// day, again ten minutes later while they are of an earlier day. Called with the lock held.
void TwseSource::Impl::TakeDailyCloses(std::unique_lock<std::mutex>& g, std::vector<std::string>& logs) {
    std::string wanted;
    Clock::time_point now = Clock::now();
    for (const auto& [code, s] : stocks)
        if (CloseMissing(s) && s.date != dailyClosesDate &&
            (s.date != closesWantedFor || now - closesAskedAt > std::chrono::minutes(10)))
            wanted = s.date;
    if (wanted.empty() || closeSources.empty()) return;
    closesWantedFor = wanted;
    closesAskedAt = now;
    std::vector<Upstream> sources = closeSources;
    g.unlock();
    std::map<std::string, Cents> closes;
    std::string date, problems;
    for (const Upstream& source : sources) {
        if (quitting) break;
        Reply reply = Get(source, source.path, false);
        std::string error = reply.error;
        if (reply.ok && reply.status != 200) error = "HTTP status " + std::to_string(reply.status);
        if (error.empty() && reply.ok) twse::ParseDailyCloses(reply.body, closes, date, error, &quitting);
        if (!error.empty()) problems += (problems.empty() ? "" : "; ") + source.base + ": " + error;
    }
    g.lock();
    if (!problems.empty()) logs.push_back("daily closes: " + problems);
    if (date.empty() || stopping) return;
    dailyCloses = std::move(closes);
    dailyClosesDate = date;
    logs.push_back("daily closes of " + date + ": " + std::to_string(dailyCloses.size()) + " codes");
    for (auto& [code, s] : stocks) {
        auto close = dailyCloses.find(code);
        if (!CloseMissing(s) || s.date != dailyClosesDate || close == dailyCloses.end()) continue;
        s.quote.last = close->second;
        s.page = QuotePage(s.listing, s.quote, 0);
    }
}

void TwseSource::Impl::Run() {
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
        if (!outcome.ok || stopping) continue;
        logs.clear();
        TakeDailyCloses(g, logs);
        g.unlock();
        for (const std::string& line : logs) Log(line);
        g.lock();
    }
}

TwseSource::TwseSource(Options options) : FImpl(std::make_unique<Impl>()) {
    FImpl->options = std::move(options);
    FImpl->upstream = ParseUpstream(FImpl->options.upstream);
    for (const std::string& url : FImpl->options.dailyCloses) FImpl->closeSources.push_back(ParseUpstream(url));
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
    Calls calls;
    {
        std::lock_guard<std::mutex> g(FImpl->lock);
        FImpl->stopping = true;
        FImpl->quitting = true;
        FImpl->CutShort();
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
            if (FImpl->IsStale(s, now))
                page = UnavailablePage(code);
            else if (s.haveQuote)
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
    Clock::time_point now = Clock::now();
    auto wait = std::chrono::duration_cast<milliseconds>(FImpl->nextAt - now).count();
    j["nextRequestMs"] = std::max<long long>(0, wait);
    nlohmann::json stale = nlohmann::json::array();
    bool window = FImpl->InWindow();
    ui::TDateTime local = ui::Now();
    for (const auto& [code, s] : FImpl->stocks) {
        if (!window || !s.haveQuote || now - s.fresh <= FImpl->options.staleAfter) continue;
        double ago = std::chrono::duration<double>(now - (s.fresh + FImpl->options.staleAfter)).count();
        stale.push_back({{"code", code}, {"since", FormatLocal(local - ago / 86400.0)}});
    }
    j["stale"] = std::move(stale);
    // Texts from the upstream may hold any bytes; never let them make the status unreadable.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace server
