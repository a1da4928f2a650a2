// The gateway source against a fake of the exchange's service on loopback (HTTP and HTTPS):
// pages from the cache, one batched request per interval, both markets tried once, upstream
// trouble kept from the boards, back-off, /status and the log.
#include "server/TwseSource.h"
#include "FakeUpstream.h"
#include "quote/fQuoteDef.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <nlohmann/json.hpp>

using fakeupstream::FakeUpstream;
using fakeupstream::TestCerts;
using server::TwseSource;
using namespace std::chrono_literals;

namespace {

// Fast timings for the tests; the defaults are 5 s, 60 s, 10 s and 3 requests in 5 s.
TwseSource::Options FastOptions(const FakeUpstream& up, std::vector<std::string>* log = nullptr) {
    TwseSource::Options o;
    o.upstream = up.Url();
    o.interval = 100ms;
    o.maxBackoff = 800ms;
    o.timeout = 2s;  // a whole request, and a page's wait: room for a loaded machine
    o.rateWindow = 100ms;
    o.dailyCloses = up.DailyClosesUrls();
    auto lines = std::make_shared<std::mutex>();
    o.log = [log, lines](const std::string& line) {
        std::lock_guard<std::mutex> g(*lines);
        if (log) log->push_back(line);
    };
    return o;
}

// Asks for a page; the future holds it once the source answers.
std::future<std::string> Ask(TwseSource& source, const std::string& code) {
    auto promise = std::make_shared<std::promise<std::string>>();
    std::future<std::string> page = promise->get_future();
    source.Page(code, [promise](std::string p) { promise->set_value(std::move(p)); });
    return page;
}

std::string PageOf(TwseSource& source, const std::string& code) {
    std::future<std::string> page = Ask(source, code);
    if (page.wait_for(10s) != std::future_status::ready) return "(no answer)";
    return page.get();
}

// The fields the board cuts from the page; empty when the page has no quote row.
std::vector<std::string> Fields(const std::string& page, const std::string& code) {
    float ref = 0;
    std::vector<std::string> fields;
    ScrapeQuotePage(page, code, ref, fields);
    return fields;
}

bool Has(const std::string& page, const char* utf8) { return page.find(ui::Utf8ToBig5(utf8)) != std::string::npos; }

nlohmann::json StatusOf(TwseSource& source) { return nlohmann::json::parse(source.Status()); }

}  // namespace

TEST(TwseSource, ServesTheSnapshotTryingBothMarketsOnceAndRememberingWhereACodeTrades) {
    FakeUpstream up;
    up.Serve("morning.json");
    up.SetUserDelay(0);  // an unknown code takes two answers: within a page's wait
    TwseSource source(FastOptions(up));
    EXPECT_EQ(StatusOf(source)["state"], "starting");

    // Codes not cached yet wait for the next request; all of them go in one.
    std::vector<std::string> codes = {"2330", "1101", "6488", "0050", "9999"};
    std::vector<std::future<std::string>> pages;
    for (const std::string& c : codes) pages.push_back(Ask(source, c));
    for (auto& p : pages) ASSERT_EQ(p.wait_for(10s), std::future_status::ready);
    std::map<std::string, std::string> page;
    for (std::size_t i = 0; i < codes.size(); ++i) page[codes[i]] = pages[i].get();

    EXPECT_EQ(Fields(page["2330"], "2330")[qfLast], "1030");
    EXPECT_EQ(Fields(page["1101"], "1101")[qfChange].rfind(ui::Utf8ToBig5("▲3.35"), 0), 0u);
    EXPECT_EQ(Fields(page["6488"], "6488")[qfLast], "480.5");  // over the counter
    EXPECT_EQ(Fields(page["0050"], "0050")[qfLast], "185.35");
    EXPECT_TRUE(Fields(page["9999"], "9999").empty());  // neither market knows it
    EXPECT_TRUE(Has(page["9999"], "查無此股票代號"));

    // A code the service could not be asked about never reaches it.
    EXPECT_TRUE(Has(PageOf(source, "23|0"), "查無此股票代號"));
    EXPECT_TRUE(Has(PageOf(source, "2330&x=1"), "查無此股票代號"));

    // Every code went out on both markets (the first code may have gone alone: the poller
    // starts as soon as a code is asked for); once placed, a code is asked on its own market only.
    std::set<std::string> asked;
    for (const FakeUpstream::Request& r : up.Requests()) asked.insert(r.channels.begin(), r.channels.end());
    EXPECT_EQ(asked,
              (std::set<std::string>{"tse_2330.tw", "otc_2330.tw", "tse_1101.tw", "otc_1101.tw", "tse_6488.tw",
                                     "otc_6488.tw", "tse_0050.tw", "otc_0050.tw", "tse_9999.tw", "otc_9999.tw"}));
    ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 1));
    EXPECT_EQ(up.Requests().back().channels,
              (std::set<std::string>{"tse_2330.tw", "tse_1101.tw", "otc_6488.tw", "tse_0050.tw"}));
    for (const char* other : {"otc_2330.tw", "otc_1101.tw", "tse_6488.tw", "otc_0050.tw", "tse_9999.tw"}) {
        int times = 0;
        for (const FakeUpstream::Request& r : up.Requests()) times += static_cast<int>(r.channels.count(other));
        EXPECT_EQ(times, other == std::string("tse_9999.tw") ? 2 : 1) << other;  // unknown after two answers
    }

    // Cached pages follow the latest snapshot; a snapshot without a trade keeps the last one.
    up.Serve("later.json");
    std::size_t seen = up.Requests().size();
    ASSERT_TRUE(up.WaitForRequests(seen + 2));
    std::vector<std::string> f = Fields(PageOf(source, "2330"), "2330");
    EXPECT_EQ(f[qfTradeTime], "10:02:08");
    EXPECT_EQ(f[qfLast], "1030");
    EXPECT_EQ(f[qfBid], "1025");
    EXPECT_EQ(Fields(PageOf(source, "6488"), "6488")[qfLast], "480.0");

    nlohmann::json status = StatusOf(source);
    EXPECT_EQ(status["source"], "twse");
    EXPECT_EQ(status["state"], "up");
    EXPECT_TRUE(status["lastGood"].is_string());
    EXPECT_EQ(status["snapshotTime"], "2026-12-08 10:02:09");
    EXPECT_TRUE(status["lastError"].is_null());
    EXPECT_EQ(status["codes"], 5);
}

TEST(TwseSource, MakesOneRequestPerIntervalWhateverTheNumberOfBoards) {
    FakeUpstream up;
    up.Serve("morning.json");
    up.SetUserDelay(300);  // the service asks for more than the interval: it is obeyed
    TwseSource::Options options = FastOptions(up);
    options.timeout = 2s;  // a code asked just after a request waits for the next
    TwseSource source(options);
    const std::vector<std::string> codes = {"2330", "2317", "1101", "6488", "0050", "2454", "9999"};

    // 50 boards, each asking for every code again and again for two seconds.
    std::atomic<int> answered = 0, empty = 0;
    std::vector<std::thread> boards;
    auto start = std::chrono::steady_clock::now(), until = start + 2s;
    for (int b = 0; b < 50; ++b)
        boards.emplace_back([&, b] {
            while (std::chrono::steady_clock::now() < until) {
                for (std::size_t i = 0; i < codes.size(); ++i) {
                    const std::string& code = codes[(i + static_cast<std::size_t>(b)) % codes.size()];
                    std::string page = PageOf(source, code);
                    ++answered;
                    if (code != "9999" && Fields(page, code).empty()) ++empty;
                }
                std::this_thread::sleep_for(20ms);
            }
        });
    for (auto& t : boards) t.join();

    std::vector<FakeUpstream::Request> requests = up.Requests();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(answered, 1000);
    EXPECT_EQ(empty, 0);  // every known code got its quote, never an empty page
    ASSERT_GE(requests.size(), 2u);
    EXPECT_LE(requests.size(), static_cast<std::size_t>(elapsed / 300ms) + 1);  // the first goes at once
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_GE(requests[i].at - requests[i - 1].at, 290ms) << "request " << i;
}

TEST(TwseSource, UpstreamTroubleKeepsTheLastGoodSnapshotBacksOffAndLogsEachChangeOnce) {
    FakeUpstream up;
    up.Serve("morning.json");
    std::vector<std::string> log;
    TwseSource::Options options = FastOptions(up, &log);
    {
        TwseSource source(options);
        const std::string good = PageOf(source, "2330");
        ASSERT_FALSE(Fields(good, "2330").empty());

        // Each kind of failure in turn: the boards keep getting the last good page.
        const std::vector<std::pair<FakeUpstream::Mode, std::string>> failures = {
            {FakeUpstream::Mode::Status500, "500"},
            {FakeUpstream::Mode::BadJson, "JSON"},
            {FakeUpstream::Mode::Refusal, "5001"},
            {FakeUpstream::Mode::Stall, ""},
        };
        for (const auto& [mode, mentioned] : failures) {
            up.SetMode(mode);
            std::size_t n = up.Requests().size();
            ASSERT_TRUE(up.WaitForRequests(n + 1));
            // Wait until the source has taken the failure in.
            for (int i = 0; i < 200 && StatusOf(source)["requests"] != n + 1; ++i) std::this_thread::sleep_for(10ms);
            nlohmann::json status = StatusOf(source);
            EXPECT_EQ(status["state"], "down");
            EXPECT_NE(status["lastError"].get<std::string>().find(mentioned), std::string::npos) << status.dump();
            EXPECT_LE(status["nextRequestMs"], 800);  // the back-off stops growing at its limit
            EXPECT_EQ(PageOf(source, "2330"), good);
        }
        // A code with no quote yet is told at once that none can be had, and not as unknown.
        std::string unavailable = PageOf(source, "2317");
        EXPECT_TRUE(Fields(unavailable, "2317").empty());
        EXPECT_TRUE(Has(unavailable, "暫時無法取得報價"));

        // The waits after failed requests double: 200, 400, 800 ms, then stay at 800.
        std::vector<std::chrono::steady_clock::time_point> failed;
        for (const FakeUpstream::Request& r : up.Requests())
            if (r.mode != FakeUpstream::Mode::Normal) failed.push_back(r.at);
        ASSERT_GE(failed.size(), 4u);
        for (std::size_t j = 1; j < failed.size(); ++j)
            EXPECT_GE(failed[j] - failed[j - 1], std::min(100ms * (1 << j), std::chrono::milliseconds(800ms)) - 10ms)
                << "failure " << j;

        up.SetMode(FakeUpstream::Mode::Normal);
        std::size_t n = up.Requests().size();
        ASSERT_TRUE(up.WaitForRequests(n + 1));
        for (int i = 0; i < 200 && StatusOf(source)["state"] != "up"; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(StatusOf(source)["state"], "up");
        EXPECT_EQ(StatusOf(source)["failures"], 0);
        EXPECT_FALSE(Fields(PageOf(source, "2317"), "2317").empty());
    }
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].rfind("upstream up", 0), 0u) << log[0];
    EXPECT_EQ(log[1].rfind("upstream down: HTTP status 500", 0), 0u) << log[1];
    EXPECT_EQ(log[2].rfind("upstream recovered after ", 0), 0u) << log[2];
}

// A caller whose page cannot be handed over (its handler fails) is logged; the others are served.
TEST(TwseSource, ACallerThatFailsIsLoggedAndHoldsUpNobody) {
    FakeUpstream up;
    up.Serve("morning.json");
    up.SetUserDelay(0);  // a new code waits for the next request, which must come within the time-out
    std::vector<std::string> log;
    auto source = std::make_unique<TwseSource>(FastOptions(up, &log));
    source->Page("2330", [](std::string) { throw std::runtime_error("client gone"); });
    EXPECT_FALSE(Fields(PageOf(*source, "2330"), "2330").empty());
    EXPECT_FALSE(Fields(PageOf(*source, "1101"), "1101").empty());
    source.reset();  // every page handed over and logged
    EXPECT_EQ(std::count(log.begin(), log.end(), "a page could not be handed over: client gone"), 1) << log.size();
}

TEST(TwseSource, AStalledUpstreamAnswersWaitingPagesAndDoesNotHoldUpShutdown) {
    FakeUpstream up;
    up.Serve("morning.json");
    up.SetMode(FakeUpstream::Mode::Stall);
    TwseSource::Options options = FastOptions(up);
    options.timeout = 60s;  // longer than the stall and the test: only the shutdown can end the request
    auto source = std::make_unique<TwseSource>(options);
    std::future<std::string> page = Ask(*source, "2330");
    ASSERT_TRUE(up.WaitForRequests(1));
    EXPECT_EQ(page.wait_for(100ms), std::future_status::timeout);
    auto start = std::chrono::steady_clock::now();
    source.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // ended by the shutdown, not by the stall
    ASSERT_EQ(page.wait_for(0s), std::future_status::ready);
    EXPECT_TRUE(Has(page.get(), "暫時無法取得報價"));
}

TEST(TwseSource, HttpsIsVerifiedAgainstTheGivenAuthorityAndHostName) {
    testsupport::TempDir dir;
    TestCerts certs(dir);
    ASSERT_TRUE(certs.ok) << "the openssl program could not make the test certificates";

    {
        FakeUpstream up(certs.certFile, certs.keyFile);
        up.Serve("morning.json");
        TwseSource::Options options = FastOptions(up);
        options.caFile = certs.caFile;
        TwseSource source(options);
        EXPECT_EQ(Fields(PageOf(source, "2330"), "2330")[qfLast], "1030");
        EXPECT_EQ(source.Status().find("https://127.0.0.1:") != std::string::npos, true);
    }
    {
        // Without a file the system's authorities are used: OpenSSL's default store, which
        // SSL_CERT_FILE replaces here.
        FakeUpstream up(certs.certFile, certs.keyFile);
        up.Serve("morning.json");
        ::setenv("SSL_CERT_FILE", certs.caFile.c_str(), 1);
        {
            TwseSource source(FastOptions(up));
            EXPECT_EQ(Fields(PageOf(source, "2330"), "2330")[qfLast], "1030");
        }
        ::unsetenv("SSL_CERT_FILE");
    }
    {
        // The given authorities add to the system's (here a folder of them): a certificate that
        // chains to the system's is still good.
        const std::string folder = dir.path() + "/system";
        ASSERT_EQ(std::system(("mkdir " + folder + " && cp " + certs.caFile + " " + folder + " && openssl rehash " +
                               folder + " >/dev/null 2>&1")
                                  .c_str()),
                  0);
        FakeUpstream up(certs.certFile, certs.keyFile);
        up.Serve("morning.json");
        ::setenv("SSL_CERT_FILE", (dir.path() + "/none.pem").c_str(), 1);
        ::setenv("SSL_CERT_DIR", folder.c_str(), 1);
        TwseSource::Options options = FastOptions(up);
        options.caFile = certs.otherCaFile;
        {
            TwseSource source(options);
            EXPECT_EQ(Fields(PageOf(source, "2330"), "2330")[qfLast], "1030");
            EXPECT_TRUE(StatusOf(source)["certificates"].is_null());
        }
        // No system store at all: named in the log and the status.
        ::setenv("SSL_CERT_DIR", (dir.path() + "/nothing").c_str(), 1);
        std::vector<std::string> log;
        options = FastOptions(up, &log);
        options.caFile = certs.caFile;
        {
            TwseSource source(options);
            EXPECT_EQ(Fields(PageOf(source, "2330"), "2330")[qfLast], "1030");
            std::string named = StatusOf(source)["certificates"].get<std::string>();
            EXPECT_NE(named.find(dir.path() + "/nothing"), std::string::npos) << named;
            ASSERT_FALSE(log.empty());
            EXPECT_NE(log[0].find(named), std::string::npos) << log[0];
        }
        ::unsetenv("SSL_CERT_FILE");
        ::unsetenv("SSL_CERT_DIR");
    }
    auto refused = [](const std::string& cert, const std::string& key, const std::string& ca) {
        FakeUpstream up(cert, key);
        up.Serve("morning.json");
        TwseSource::Options options = FastOptions(up);
        options.caFile = ca;
        TwseSource source(options);
        std::string page = PageOf(source, "2330");
        nlohmann::json status = StatusOf(source);
        EXPECT_TRUE(Fields(page, "2330").empty());
        EXPECT_EQ(status["state"], "down");
        return status["lastError"].is_string() ? status["lastError"].get<std::string>() : std::string();
    };
    // Signed by another authority; the system's authorities; the right one for another name.
    EXPECT_NE(refused(certs.certFile, certs.keyFile, certs.otherCaFile).find("SSL"), std::string::npos);
    EXPECT_NE(refused(certs.certFile, certs.keyFile, "").find("SSL"), std::string::npos);
    EXPECT_NE(refused(certs.wrongNameCertFile, certs.wrongNameKeyFile, certs.caFile).find("SSL"), std::string::npos);
}

TEST(TwseSource, RefusesAnUpstreamThatIsNoHttpUrl) {
    for (const char* bad : {"", "ftp://x/", "mis.twse.com.tw/stock", "https://", "https://user@host/", "http://a b/"}) {
        TwseSource::Options o;
        o.upstream = bad;
        EXPECT_THROW(TwseSource{o}, std::invalid_argument) << bad;
    }
}

// The service fills z only in snapshots that carry a trade, and not at all in the closing call
// auction: the page's last price is the last trade seen that day, else pz, never the book.
TEST(TwseSource, TheLastPriceStaysATradeThroughSnapshotsWithoutOneAndTheClosingAuction) {
    FakeUpstream up;
    up.Serve("ticks.json");
    up.SetUserDelay(0);
    TwseSource source(FastOptions(up));
    auto next = [&] {  // the next answer of the series, once the source has taken it in
        up.Advance();
        ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 2));
    };

    std::vector<std::string> f = Fields(PageOf(source, "2603"), "2603");
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f[qfLast], "-");  // nothing traded yet as far as this server knows
    EXPECT_EQ(f[qfChange], "");
    EXPECT_EQ(f[qfBid], "180.0");
    EXPECT_EQ(f[qfAsk], "180.5");
    EXPECT_EQ(f[qfVolume], "1,000");

    next();
    f = Fields(PageOf(source, "2603"), "2603");
    EXPECT_EQ(f[qfLast], "180.5");
    EXPECT_EQ(f[qfChange].rfind(ui::Utf8ToBig5("△0.5"), 0), 0u) << f[qfChange];

    next();
    f = Fields(PageOf(source, "2603"), "2603");
    EXPECT_EQ(f[qfLast], "180.5");  // not the bid of 179.5
    EXPECT_EQ(f[qfBid], "179.5");
    EXPECT_EQ(f[qfVolume], "1,020");

    // The closing auction: the trade seen today stays; a code first asked now shows none, as pz
    // is no trade there.
    next();
    f = Fields(PageOf(source, "2603"), "2603");
    EXPECT_EQ(f[qfLast], "180.5");
    EXPECT_EQ(f[qfVolume], "5,000");
    f = Fields(PageOf(source, "2609"), "2609");
    EXPECT_EQ(f[qfLast], "-");
    EXPECT_EQ(f[qfChange], "");
}

// Answers without msgArray until /stock/index.jsp was fetched; its cookie is sent from then on,
// a lapsed session is opened again, and no more than three requests go out in any window.
TEST(TwseSource, OpensASessionWhenAnAnswerLacksMsgArrayAndKeepsWithinTheRate) {
    FakeUpstream up;
    up.Serve("morning.json");
    up.SetUserDelay(0);
    up.RequireSession();
    TwseSource::Options options = FastOptions(up);
    options.rateWindow = 600ms;  // three requests in 600 ms, with a wait of 100 ms between polls
    TwseSource source(options);

    std::vector<std::string> f = Fields(PageOf(source, "2330"), "2330");
    ASSERT_FALSE(f.empty()) << source.Status();
    EXPECT_EQ(f[qfLast], "1030");
    std::vector<FakeUpstream::Request> requests = up.Requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_FALSE(requests[0].session);
    EXPECT_TRUE(requests[1].session);
    EXPECT_FALSE(requests[2].session);
    EXPECT_EQ(requests[2].cookie, "JSESSIONID=S1");  // the harmful cookie was left out
    EXPECT_EQ(requests[2].channels, requests[0].channels);
    const auto& params = requests[2].params;
    EXPECT_EQ(params.find("json")->second, "1");
    EXPECT_EQ(params.find("delay")->second, "0");
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    EXPECT_NEAR(std::stod(params.find("_")->second), static_cast<double>(now.count()), 600000.0);

    // The session lapses, more than once: each time it is opened again, the pages stay good.
    for (int round = 0; round < 3; ++round) {
        up.EndSession();
        ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 4));
        EXPECT_EQ(Fields(PageOf(source, "2330"), "2330")[qfLast], "1030");
    }
    EXPECT_GE(StatusOf(source)["sessions"], 3);
    EXPECT_EQ(StatusOf(source)["state"], "up");
    EXPECT_LE(up.MostRequestsWithin(options.rateWindow - 20ms), 3u);
}

// More codes than a request carries take turns, so every code is asked within two requests.
TEST(TwseSource, AtMostFiftyChannelsARequestAndEveryCodeAskedInTurn) {
    nlohmann::json answer =
        nlohmann::json::parse(testsupport::ReadFileBytes(testsupport::SourceDir() + "/tests/server/twse/morning.json"));
    nlohmann::json model = answer["msgArray"][0];
    answer["msgArray"] = nlohmann::json::array();
    std::vector<std::string> codes;
    for (int i = 0; i < 100; ++i) {
        model["c"] = std::to_string(3000 + i);
        answer["msgArray"].push_back(model);
        codes.push_back(model["c"]);
    }
    FakeUpstream up;
    up.ServeAnswers(answer);
    up.SetUserDelay(0);
    TwseSource::Options options = FastOptions(up);
    options.timeout = 5s;  // new codes wait for several requests
    TwseSource source(options);
    std::vector<std::future<std::string>> pages;
    for (const std::string& c : codes) pages.push_back(Ask(source, c));
    for (std::size_t i = 0; i < codes.size(); ++i) {
        ASSERT_EQ(pages[i].wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(Fields(pages[i].get(), codes[i]).empty()) << codes[i];
    }
    std::size_t placed = up.Requests().size();
    ASSERT_TRUE(up.WaitForRequests(placed + 4));
    std::vector<FakeUpstream::Request> requests = up.Requests();
    for (const FakeUpstream::Request& r : requests) EXPECT_LE(r.channels.size(), 50u);
    for (std::size_t i = placed + 1; i < requests.size(); ++i) {
        std::set<std::string> both = requests[i - 1].channels;
        both.insert(requests[i].channels.begin(), requests[i].channels.end());
        EXPECT_EQ(both.size(), 100u) << "requests " << i - 1 << " and " << i;
    }
}

// An upstream that drips its header forever: the request is cut at the deadline, the failure
// and its reason are in /status, and a page waiting for a new code is answered.
TEST(TwseSource, AnUpstreamThatDripsItsHeaderIsCutAtTheDeadline) {
    fakeupstream::DripUpstream drip(50ms);
    TwseSource::Options options;
    options.upstream = drip.Url();
    options.interval = 100ms;
    options.timeout = 1s;
    options.log = [](const std::string&) {};
    TwseSource source(options);
    std::future<std::string> page = Ask(source, "2330");
    ASSERT_EQ(page.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(Has(page.get(), "暫時無法取得報價"));
    for (int i = 0; i < 500 && StatusOf(source)["requests"] == 0; ++i) std::this_thread::sleep_for(10ms);
    nlohmann::json status = StatusOf(source);
    EXPECT_EQ(status["state"], "down");
    EXPECT_EQ(status["lastError"], "no complete answer within 1000 ms");
    EXPECT_GE(drip.Connections(), 1);
}

// Answers of the service as public clients recorded them (twse/README.md names each), replayed
// through the gateway.

namespace {

// The page's last price and change for a code, once the source has taken the latest answer in.
std::pair<std::string, std::string> LastAndChange(TwseSource& source, const std::string& code) {
    std::vector<std::string> f = Fields(PageOf(source, code), code);
    if (f.empty()) return {"(no quote)", ""};
    return {f[qfLast], f[qfChange]};
}

// Serves the next answer of the series and waits until the source has applied it.
void Next(FakeUpstream& up, TwseSource& source) {
    up.Advance();
    std::size_t n = up.Requests().size();
    ASSERT_TRUE(up.WaitForRequests(n + 1));
    for (int i = 0; i < 200 && StatusOf(source)["requests"] < n + 1; ++i) std::this_thread::sleep_for(10ms);
}

}  // namespace

TEST(TwseRecorded, TheCloseIsTheClosingTradeNeverPzAlone) {
    FakeUpstream up;
    // twstock, 2019-01-11: 6223 closed at 61.10 while pz says 61.20; 2330 at 220.50 with pz alike.
    up.Serve("twstock-close-20190111.json");
    TwseSource source(FastOptions(up));
    EXPECT_EQ(LastAndChange(source, "6223").first, "61.1");
    EXPECT_EQ(LastAndChange(source, "2330").first, "220.5");
    // node-twstock, 2023-12-22: closed at 582 while pz says 581.
    up.Serve("node-twstock-close-20231222.json");
    ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 2));
    auto [last, change] = LastAndChange(source, "2330");
    EXPECT_EQ(last, "582");
    EXPECT_NE(change.find(ui::Utf8ToBig5("△5")), std::string::npos);
    // The same answer with z "-": the closing trade seen before stays; pz never stands in.
    up.Serve("derived-close-without-z-20231222.json");
    ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 2));
    EXPECT_EQ(LastAndChange(source, "2330").first, "582");

    // A gateway that never saw the closing trade shows no last price rather than pz, as long as
    // the exchange's published daily quotes have none either ...
    {
        TwseSource fresh(FastOptions(up));
        auto [none, noChange] = LastAndChange(fresh, "2330");
        EXPECT_EQ(none, "-");
        EXPECT_EQ(noChange, "");
        for (int i = 0; i < 200 && up.DailyClosesAsked() < 2; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(up.DailyClosesAsked(), 2);  // listed and over the counter, once
    }
    // ... and their close once they have it.
    up.ServeDailyCloses("derived-daily-closes-20231222.json");
    TwseSource published(FastOptions(up));
    std::string close;
    for (int i = 0; i < 500 && close != "582"; ++i) {
        close = LastAndChange(published, "2330").first;
        if (close != "582") std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(close, "582");
    EXPECT_EQ(up.DailyClosesAsked(), 4);
}

TEST(TwseRecorded, TrialPricesOfTheAuctionsAreNeverShownNorKeptAsTrades) {
    FakeUpstream up;
    up.Serve("derived-trial-20170724.json");
    TwseSource source(FastOptions(up));
    // 08:34, a trial of 214.80 with no trade yet: no last price, no change, no volume.
    std::vector<std::string> f = Fields(PageOf(source, "2330"), "2330");
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f[qfLast], "-");
    EXPECT_EQ(f[qfChange], "");
    EXPECT_EQ(f[qfVolume], "0");
    // 09:47, a trade at 214.50.
    Next(up, source);
    EXPECT_EQ(LastAndChange(source, "2330").first, "214.5");
    // 13:28, a trial of 213.00 in the closing auction: the last trade stays.
    Next(up, source);
    f = Fields(PageOf(source, "2330"), "2330");
    EXPECT_EQ(f[qfLast], "214.5");
    EXPECT_EQ(f[qfTradeTime], "09:47:29");
    EXPECT_EQ(f[qfVolume], "15,210");
    // 13:30, the close.
    Next(up, source);
    auto [last, change] = LastAndChange(source, "2330");
    EXPECT_EQ(last, "213.5");
    EXPECT_NE(change.find(ui::Utf8ToBig5("▽0.5")), std::string::npos);
}

TEST(TwseRecorded, AnEntryWithoutItsTimeTakesTheAnswers) {
    FakeUpstream up;
    // node-twstock's answer without t and tlong: the time of queryTime.
    up.Serve("derived-without-time-20231222.json");
    TwseSource source(FastOptions(up));
    std::vector<std::string> f = Fields(PageOf(source, "2330"), "2330");
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f[qfTradeTime], "18:46:28");
    EXPECT_EQ(f[qfLast], "582");
}

TEST(TwseRecorded, OneEmptyAnswerHidesNoCodeRepeatedOnesWhileOthersComeBackDo) {
    FakeUpstream up;
    // twstock's empty answer, then its answer with 6223: the code is served, not unknown.
    up.Serve("twstock-empty-20190113.json");
    TwseSource source(FastOptions(up));
    std::future<std::string> page = Ask(source, "6223");
    ASSERT_TRUE(up.WaitForRequests(up.Requests().size() + 2));
    EXPECT_EQ(page.wait_for(0s), std::future_status::timeout);  // still waiting after an empty answer
    up.Advance();
    ASSERT_EQ(page.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(Fields(page.get(), "6223")[qfLast], "61.1");

    // Repeated answers that bring other codes but not this one make it unknown.
    std::string unknown;
    for (int i = 0; i < 10 && !Has(unknown, "查無此股票代號"); ++i) unknown = PageOf(source, "9999");
    EXPECT_TRUE(Has(unknown, "查無此股票代號"));
    std::size_t asked = 0;
    for (const FakeUpstream::Request& r : up.Requests()) asked += r.channels.count("tse_9999.tw");
    EXPECT_EQ(asked, 2u);
}

TEST(TwseRecorded, ASilentServiceTurnsItsCodesUnavailableInTheTradingWindowOnly) {
    FakeUpstream up;
    up.Serve("node-twstock-close-20231222.json");
    std::atomic<bool> window = true;
    TwseSource::Options options = FastOptions(up);
    options.staleAfter = 500ms;
    options.inTradingWindow = [&window] { return window.load(); };
    TwseSource source(options);
    const std::string good = PageOf(source, "2330");
    ASSERT_FALSE(Fields(good, "2330").empty());
    EXPECT_TRUE(StatusOf(source)["stale"].empty());

    // The service hangs: served as before until the data are older than the stale limit.
    up.SetMode(FakeUpstream::Mode::Stall);
    EXPECT_EQ(PageOf(source, "2330"), good);
    std::this_thread::sleep_for(700ms);
    std::string page = PageOf(source, "2330");
    EXPECT_TRUE(Fields(page, "2330").empty());
    EXPECT_TRUE(Has(page, "暫時無法取得報價"));
    nlohmann::json stale = StatusOf(source)["stale"];
    ASSERT_EQ(stale.size(), 1u) << stale.dump();
    EXPECT_EQ(stale[0]["code"], "2330");
    EXPECT_TRUE(stale[0]["since"].is_string());

    // Outside the window the last session's figures stay served.
    window = false;
    EXPECT_EQ(PageOf(source, "2330"), good);
    EXPECT_TRUE(StatusOf(source)["stale"].empty());

    // Back in the window, the next answer makes the code live again.
    window = true;
    up.SetMode(FakeUpstream::Mode::Normal);
    std::size_t n = up.Requests().size();
    ASSERT_TRUE(up.WaitForRequests(n + 1));
    for (int i = 0; i < 300 && Fields(PageOf(source, "2330"), "2330").empty(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(Fields(PageOf(source, "2330"), "2330")[qfLast], "582");
}
