#pragma once
// The quote server's gateway to the exchange's real-time quote service.
//
// Boards ask for pages; the gateway keeps the codes asked for in the last few minutes and one
// poller thread fetches them in one batched request per interval (5 s, longer when the
// service's userDelay asks for it; counted from the end of the previous request, so the service
// never sees two requests closer than that), however many boards there are. A request carries at
// most 50 channels; more codes take turns, least recently asked first, so that 100 codes are each
// asked every 10 s. Pages come from the latest good snapshot at once; a code with no quote yet
// waits for the next request, but never longer than the time-out. A code is first asked on both
// markets (tse_CODE.tw and otc_CODE.tw); the market that answers is remembered, and a code that
// neither knows gets the unknown-stock page.
//
// The service blocks clients that make more than three requests in five seconds: no request of
// any kind goes out beyond that. It answers without msgArray until a session is open: then the
// gateway fetches /stock/index.jsp on the same host, keeps the cookies it sets, sends them from
// then on and asks again, once; it opens the session again whenever an answer lacks msgArray.
// One time-out bounds a whole request (connecting, header and body together).
//
// Upstream trouble (no answer within the time-out, a status other than 200, text that is no
// answer, an rtcode other than "0000") leaves the last good snapshot in service, answers codes
// that have no quote yet with the unavailable page, and stretches the wait before the next
// request: twice the interval after each failure in a row, up to 60 s. Inside the trading window
// (08:56 to 13:35 on trading days, as the boards keep it) a code whose data no answer has brought
// for the stale limit (a minute, as the boards' stale rule) is answered with the unavailable
// page, so a silent service never looks live; outside the window the last session's figures
// stay served. After the close a code whose closing trade the service did not tell (z "-" in
// every snapshot after the auction) takes the exchange's published close (its open-data daily
// quotes, asked once a day after the close, again ten minutes later while they are of an earlier
// day, and kept for the evening), else shows no last price. A code that no answer carried on either market is unknown
// only after several answers in a row (two that brought other codes, or six that brought nothing). Each change of state
// (up, down, recovered) is logged in one line. HTTPS is verified against the system's
// certificate authorities (OpenSSL's default file and folder, SSL_CERT_FILE and SSL_CERT_DIR
// where set), together with those of a given file; a system store that is missing is logged at
// the start and named in the status.
#include "server/PageSource.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace server {

class TwseSource : public PageSource {
public:
    static constexpr const char* DefaultUpstream = "https://mis.twse.com.tw/stock/api/getStockInfo.jsp";
    static constexpr const char* DefaultListedCloses = "https://openapi.twse.com.tw/v1/exchangeReport/STOCK_DAY_ALL";
    static constexpr const char* DefaultOtcCloses = "https://www.tpex.org.tw/openapi/v1/tpex_mainboard_quotes";

    struct Options {
        std::string upstream = DefaultUpstream;  // http:// or https:// URL of the service
        std::string caFile;                      // PEM certificate authorities trusted besides the system's
        std::chrono::milliseconds interval{5000};
        std::chrono::milliseconds maxBackoff{60000};
        std::chrono::milliseconds timeout{10000};  // a whole request, and a page's wait
        // No more than rateLimit requests (quotes and sessions) in any rateWindow.
        std::size_t rateLimit = 3;
        std::chrono::milliseconds rateWindow{5000};
        std::chrono::milliseconds forgetAfter{std::chrono::minutes(5)};  // codes not asked for
        std::chrono::milliseconds staleAfter{60000};  // data older than this are not served in the window
        // The exchange's published daily quotes of all stocks (listed, over the counter), asked
        // after the close for codes whose closing trade the service did not tell.
        std::vector<std::string> dailyCloses = {DefaultListedCloses, DefaultOtcCloses};
        // Whether the trading window is open; empty: 08:56 to 13:35 local time on trading days.
        std::function<bool()> inTradingWindow;
        // Receives the state-change lines; empty: standard error.
        std::function<void(const std::string& line)> log;
    };

    // Starts the poller. Throws std::invalid_argument for an upstream that is no http(s) URL.
    explicit TwseSource(Options options);
    // Stops the poller (cutting a request under way short) and answers every page still waiting
    // with the unavailable page.
    ~TwseSource() override;
    TwseSource(const TwseSource&) = delete;
    TwseSource& operator=(const TwseSource&) = delete;

    void Page(const std::string& code, std::function<void(std::string page)> done) override;
    // {"source":"twse","upstream":URL,"state":"starting"|"up"|"down","lastGood":local time of
    //  the last good snapshot or null,"snapshotTime":the service's clock at it or null,
    //  "lastError":text or null,"lastErrorAt":local time or null,"failures":in a row,
    //  "requests":quote requests made so far,"sessions":sessions opened,"codes":watched,
    //  "nextRequestMs":wait before the next request,"certificates":null, or for HTTPS without a
    //  system store of certificate authorities the text that names the missing store,
    //  "stale":[{"code":CODE,"since":local time it turned stale}, ...] in the trading window}
    std::string Status() override;

    // The most channels one request carries; codes beyond take turns.
    static constexpr std::size_t MaxChannels = 50;
    // The weight of answers in a row without a code that make it unknown: an answer that brought
    // other codes weighs 3, one that brought nothing 1.
    static constexpr int UnknownAfterMisses = 6;
    // The most codes watched at once; further new codes get the unavailable page.
    static constexpr std::size_t MaxCodes = 1000;
    // Answers larger than this are refused.
    static constexpr std::size_t MaxAnswerBytes = 4 << 20;

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
};

}  // namespace server
