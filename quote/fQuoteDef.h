#pragma once
// The quote model: one record per watched stock with its quote fields and its own poll
// interval, the download and scrape of its quote page, the trading-window test, and the watch
// list with its file, its refresh cycle and its update listener.
//
// All text is Big5 bytes held in std::string; searches and comparisons work on bytes.
#include "ui/core/DateTime.h"
#include "ui/core/Lifetime.h"

#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TKesHTTP;
namespace ui {
class TTimer;
}

// ---------------------------------------------------------------------------------------------
// Program-wide values shared with the board. Everything runs on the user-interface thread, so
// these are plain flags.

constexpr int MaxStocks = 10;        // rows of the board below its header row
constexpr int QuoteFieldCount = 11;  // fields cut from a quote page
extern bool Refreshing;              // a refresh cycle is running
extern bool RefreshSuspended;        // a dialog of the board is open: no cycle starts
extern bool Fetching;                // a quote page is downloading
extern bool IsWeekend;               // set once at start-up: the market is shut all day

// Field indices of TStockData::Fields.
enum TQuoteField {
    qfName = 0,
    qfTradeTime = 1,
    qfLast = 2,
    qfBid = 3,
    qfAsk = 4,
    qfChange = 5,
    qfVolume = 6,
    qfPrevClose = 7,
    qfOpen = 8,
    qfHigh = 9,
    qfLow = 10,
};

// A set of field indices, bit i for field i.
using TFieldSet = std::uint16_t;
constexpr TFieldSet FieldBit(int field) { return static_cast<TFieldSet>(1u << field); }
constexpr bool InSet(TFieldSet set, int field) { return (set & FieldBit(field)) != 0; }

// The change marks of the quote pages, in Big5: "△" and "▲" (at the limit) rising, "▽" and "▼"
// (at the limit) falling.
extern const std::string MarkUp, MarkUpLimit, MarkDown, MarkDownLimit;

enum class TQuoteTrend { None, Rising, Falling };
// Which way a change cell says the price went: the first of "△", "▽", "▲", "▼" the text holds
// decides; None when it holds no mark.
TQuoteTrend QuoteTrend(const std::string& text);

// A quote cell read as a signed number: "▽"/"▼" make it negative, every byte other than the
// digits and "." is dropped, and a text that is no number gives 0.
float QuoteValue(const std::string& text);

// True inside the trading window, 08:56 through 13:35 local time, on a day that was not a
// weekend day when the program started.
bool IsMarketTime();

// ---------------------------------------------------------------------------------------------
// The quote server. The address is "host:port" (or "host", meaning port 80); the default is the
// bundled quote server on 127.0.0.1:8086, and the environment variable QUOTE_SERVER, read once,
// replaces it.

std::string QuoteServer();
void SetQuoteServer(const std::string& address);
// "http://" + server + "/q/q?s=" + the code, its bytes other than ASCII letters and digits
// percent-encoded.
std::string QuoteURL(const std::string& code);

// Limits on one page download: it fails when it takes longer than FetchTimeOutMs in all (look-up,
// connect, header, redirects and page together), or the page is larger than MaxPageBytes. Tests
// shorten them.
inline int FetchTimeOutMs = 15000;
inline long long MaxPageBytes = 1 << 20;

// The shortest time without a successful fetch after which a stock is stale (days).
constexpr long double StaleAfter = 60.0L / 86400.0L;

// Cuts the fields of the stock with the (trimmed) code out of a quote page. Returns false for an
// empty page or one without the stock's anchor line; otherwise fields holds eleven texts and
// refPrice the last price minus the change (0 when the last price is no positive number).
bool ScrapeQuotePage(const std::string& body, const std::string& code, float& refPrice,
                     std::vector<std::string>& fields);

// ---------------------------------------------------------------------------------------------

struct TStockData {
    ui::TDateTime LastFetch = 0;   // local time of the last fetch attempt; 0 = never
    long double PollInterval = 0;  // days; moved in steps of one second, 8 to 25 s once loaded
    TFieldSet Changed = 0;         // fields changed and not yet handed to the listener
    bool Loaded = false;           // a fetch has brought a change since Create/Reset
    std::string Code;
    float RefPrice = 0;               // last price minus change; 0 = none yet
    std::vector<std::string> Fields;  // QuoteFieldCount texts
};

class TStockObj {
public:
    explicit TStockObj(const std::string& code);
    // Aborts a download under way (the stock may go away from a handler while its page
    // downloads; the download then ends at once and touches nothing of it).
    virtual ~TStockObj();
    TStockObj(const TStockObj&) = delete;
    TStockObj& operator=(const TStockObj&) = delete;

    // Why the last fetch failed, and when; empty when it succeeded (or none was made).
    std::string LastError;
    ui::TDateTime LastErrorTime = 0;
    // When a fetch last brought the stock's page (changed or not); 0 = never since Create/Reset.
    ui::TDateTime LastSuccessTime = 0;

    // Inside the trading window, a stock whose page has not come for longer than
    // max(3 x PollInterval, StaleAfter) is stale: its figures may be old. The time counts from
    // the last successful fetch, from the stock's creation or reset when there was none, and
    // never from before today's window opened (outside it loaded stocks are not fetched).
    // Outside the window no stock is stale.
    bool IsStale() const;

    // True when the last fetch failed for want of the server (no connection, time-out, broken
    // connection, no page at all) rather than for a page without the stock's data.
    bool ServerFailed = false;
    // True when the last fetch failed because its deadline ran out: the server held it.
    bool TimedOut = false;

    // Fetches in a row that failed for want of the server (ServerFailed), since the last one
    // that brought an answer (or Create/Reset).
    int FailedFetches = 0;
    // A stock whose fetch failed for want of the server is not due again before this time:
    // RetryDelay(FailedFetches) after the failure. 0 = no wait.
    ui::TDateTime RetryAfter = 0;
    // How long a stock waits after its n-th failed fetch in a row (days): 10 s, doubled with
    // each further failure, at most 2 minutes.
    static long double RetryDelay(int failures);
    // Clears the wait after failures (a forced fetch).
    void ClearRetry() { RetryAfter = 0; }

    // Makes the object a new, never fetched stock with the given code. A download under way for
    // the old code is not recorded.
    void Reset(const std::string& code);
    TStockData& Data() { return FData; }
    const TStockData& Data() const { return FData; }

    // Downloads the code's quote page and scrapes it. Works only on its arguments. Any failure
    // (network, time-out, over-long page, no anchor line) returns false with fields empty.
    virtual bool FetchQuote(const std::string& code, float& refPrice, std::vector<std::string>& fields);

    // Fetches the stock when it is due (its poll interval has passed since the last fetch, it is
    // past RetryAfter, and it lies in the trading window unless it was never loaded) and records
    // the changed fields. True when Changed is not empty afterwards.
    bool Update();

    // Ends a download under way, if any, as a failure.
    void AbortFetch();

    // Lets code that waits (the refresh cycle) see whether the stock is still there afterwards.
    const ui::TLifetime& Lifetime() const { return FLifetime; }

private:
    TStockData FData;
    ui::TDateTime FSince = 0;  // when Create or Reset gave the stock its code
    ui::TLifetime FLifetime;
    unsigned FGeneration = 0;  // counts Reset calls
    QPointer<TKesHTTP> FHttp;  // the download under way; FetchQuote owns it
};

// ---------------------------------------------------------------------------------------------

class TStockObjList;
// The listener of changed stocks: the list, the stock's 0-based position and the stock.
using TStockUpdateEvent = std::function<void(TStockObjList* sender, int index, TStockObj* stock)>;
using TStockListEvent = std::function<void(TStockObjList* sender)>;

class TStockObjList {
public:
    static constexpr const char* FileName = "STOCKLIST.TXT";
    static constexpr unsigned CycleDelayMs = 5000;
    static constexpr int PauseAfterStockMs = 50;

    // One entry per stock in board order: the code it was added under and the stock, owned.
    struct TItem {
        std::string Code;
        std::unique_ptr<TStockObj> Object;
    };

    // Loads STOCKLIST.TXT from the working directory and starts the refresh timer.
    TStockObjList();
    // Stops the timer and writes the list back (or deletes the file when the list is empty); a
    // failed write goes to the application's exception handler. It may run from a handler
    // inside a running cycle: the cycle then ends at its next wait and touches nothing more.
    ~TStockObjList();
    TStockObjList(const TStockObjList&) = delete;
    TStockObjList& operator=(const TStockObjList&) = delete;

    std::vector<TItem> Items;
    TStockUpdateEvent OnUpdate;
    // After each tick of the refresh timer, once its cycle has ended (not when the cycle
    // raised, nor when a handler destroyed the list, nor for a tick that came while another
    // cycle ran and so ran none).
    TStockListEvent OnCycleEnd;

    void Clear();
    void LoadList();
    void SaveList();
    int Count() const { return static_cast<int>(Items.size()); }
    TStockObj* Stocks(int index) const;
    // Appends a stock (the list takes it over); returns its position.
    int Add(const std::string& code, std::unique_ptr<TStockObj> stock);

    // One refresh cycle over all stocks; force makes every stock due at once, a failed one
    // included. The stocks whose last fetch failed for want of the server are visited after the
    // others, so that they never hold up a good row. A fetch that runs out its deadline ends the cycle, and so does
    // any failed fetch once the cycle's failed fetches have taken FetchTimeOutMs in all: a silent
    // server costs a cycle one deadline, not one per stock, while fetches that fail at once
    // (refused, cut off, too large, no quote) let it go on.
    void Refresh(bool force);
    // An immediate forced update of one stock, reported under the given index.
    void RefreshStock(int index, TStockObj* stock);
    // One tick of the refresh timer: the timer stops, a cycle runs, the timer starts again
    // (unless the list is suspended or stopped) and OnCycleEnd hears of it.
    void TimerTick();

    // The refresh timer: a cycle CycleDelayMs after the previous one ended. Suspend(true) holds
    // it (no cycle starts from it) until Suspend(false).
    void Suspend(bool on);
    // The timer runs towards its next cycle.
    bool TimerArmed() const;
    unsigned CycleDelay() const;
    void SetCycleDelay(unsigned ms);

    // Stops the timer for good, starts no new cycle, and ends a running cycle at its next wait
    // (the download under way is aborted). Once Refreshing is false again, destroying the list
    // is safe.
    void RequestStop();
    bool StopRequested() const { return FStopRequested; }

    // False when STOCKLIST.TXT existed at start but could not be read: the file is then left
    // as it is at exit, so nothing the user had is lost.
    bool CanSave() const { return FCanSave; }

private:
    // Runs the event loop for the pause after a stock; false when the list went away.
    bool Pause(int ms);
    // Hands a changed stock to OnUpdate, then clears its changes unless the listener destroyed
    // the stock; false when the listener destroyed the list.
    bool ReportChange(int index, TStockObj* stock, const ui::TAlive& stockAlive);

    bool FCanSave = true;
    bool FStopRequested = false;
    bool FSuspended = false;
    std::unique_ptr<ui::TTimer> FTimer;
    int FTicking = 0;  // timer ticks under way
    ui::TLifetime FLifetime;
};
