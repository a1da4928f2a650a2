#include "quote/fQuoteDef.h"

#include "net/KesHttp.h"
#include "net/KesURL.h"
#include "ui/core/Application.h"
#include "ui/core/Big5.h"
#include "ui/core/Exception.h"
#include "ui/core/ScopeGuard.h"
#include "ui/core/TextFile.h"
#include "ui/core/Timer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <utility>

bool Refreshing = false;
bool RefreshSuspended = false;
bool Fetching = false;
bool IsWeekend = false;

namespace {

constexpr long double Second = 1.0L / 86400.0L;
constexpr long double MinPollInterval = 8 * Second;
constexpr long double MaxPollInterval = 25 * Second;
constexpr long double FirstRetryDelay = 10 * Second;
constexpr long double MaxRetryDelay = 120 * Second;

std::string& ServerAddress() {
    static std::string address = [] {
        const char* env = std::getenv("QUOTE_SERVER");
        return std::string(env && *env ? env : "127.0.0.1:8086");
    }();
    return address;
}

}  // namespace

// The window counts the local time's whole minutes: 08:56:00 through 13:35:59 is inside.
bool IsMarketTime() {
    if (IsWeekend) return false;
    ui::TimeParts t = ui::DecodeTime(ui::Now());
    int minute = t.hour * 60 + t.minute;
    return minute >= 8 * 60 + 56 && minute <= 13 * 60 + 35;
}

std::string QuoteServer() { return ServerAddress(); }

void SetQuoteServer(const std::string& address) { ServerAddress() = address; }

std::string QuoteURL(const std::string& code) {
    return "http://" + QuoteServer() + "/q/q?s=" + PercentEncode(code, false);
}

// ---------------------------------------------------------------------------------------------

TStockObj::TStockObj(const std::string& code) { Reset(code); }

TStockObj::~TStockObj() { AbortFetch(); }

void TStockObj::AbortFetch() {
    if (FHttp) FHttp->Abort();
}

void TStockObj::Reset(const std::string& code) {
    ++FGeneration;
    FSince = ui::Now();
    LastSuccessTime = 0;
    FailedFetches = 0;
    RetryAfter = 0;
    FData.Code = code;
    FData.LastFetch = 0;
    FData.PollInterval = 0;
    FData.RefPrice = 0;
    FData.Changed = 0;
    FData.Loaded = false;
    if (FData.Fields.size() != QuoteFieldCount) FData.Fields.resize(QuoteFieldCount);
    for (std::string& f : FData.Fields) f.clear();
}

bool TStockObj::FetchQuote(const std::string& code, float& refPrice, std::vector<std::string>& fields) {
    fields.clear();
    refPrice = 0;
    // The download runs the event loop, and a handler may destroy this stock meanwhile: keep
    // what is needed afterwards in locals and look at the stock again only while it lives.
    const std::string c = ui::Trim(code);
    const ui::TAlive alive = FLifetime.Watch();
    std::string body, error;
    bool timedOut = false;
    QPointer<TKesHTTP> http;
    try {
        Fetching = true;
        ui::Finally cleanup{[&] {
            if (http) {
                try {
                    http->Disconnect();
                } catch (...) {}
                delete http.data();
            }
            Fetching = false;
        }};
        http = new TKesHTTP(nullptr);
        http->RequestTimeOut = FetchTimeOutMs;
        http->MaxBodyLength = MaxPageBytes;
        FHttp = http;
        http->Get(QuoteURL(c));
        body = std::move(http->Body);  // the component goes with this fetch
    } catch (const ESockError& e) {
        timedOut = e.ErrorNo() == SockErrTimedOut;
        error = e.what();
    } catch (...) {
        error = ui::ExceptionMessage(std::current_exception());
    }
    if (!alive) return false;
    FHttp = nullptr;
    // A connection cut before any of the page came counts as the server's failure too.
    ServerFailed = !error.empty() || body.empty();
    TimedOut = timedOut;
    bool ok = error.empty() && ScrapeQuotePage(body, c, refPrice, fields);
    if (error.empty() && !ok) error = body.empty() ? "Empty page" : "No quote for " + c + " on the page";
    if (ok) {
        LastError.clear();
    } else {
        LastError = error;
        LastErrorTime = ui::Now();
    }
    return ok;
}

long double TStockObj::RetryDelay(int failures) {
    long double delay = FirstRetryDelay;
    for (int i = 1; i < failures && delay < MaxRetryDelay; ++i) delay *= 2;
    return std::min(delay, MaxRetryDelay);
}

bool TStockObj::Update() {
    if (!IsMarketTime() && FData.Loaded) return false;
    if (ui::Now() - FData.LastFetch <= FData.PollInterval) return false;
    if (ui::Now() < RetryAfter) return false;
    FData.LastFetch = ui::Now();

    const unsigned generation = FGeneration;
    const std::string code = FData.Code;  // the record may go away during the download
    float ref = 0;
    std::vector<std::string> fresh;
    bool ok = false;
    ServerFailed = false;
    // Gone, or given another code, while the page downloaded: nothing is recorded.
    if (!ui::Survives(FLifetime, [&] { ok = FetchQuote(code, ref, fresh); })) return false;
    if (generation != FGeneration) return false;
    if (!ok) {
        // A server that failed is given time; the wait counts from the failure's end, so a fetch
        // that ran out its deadline does not eat into it. A page without the stock's data is an
        // answer: the stock is tried again when due.
        FailedFetches = ServerFailed ? FailedFetches + 1 : 0;
        RetryAfter = ServerFailed ? ui::Now() + RetryDelay(FailedFetches) : 0;
        return false;
    }
    FailedFetches = 0;
    RetryAfter = 0;
    LastSuccessTime = ui::Now();
    if (ref > 0) FData.RefPrice = ref;
    fresh.resize(QuoteFieldCount);
    for (int i = 0; i < QuoteFieldCount; ++i) {
        if (FData.Fields[i] != fresh[i]) {
            FData.Changed |= FieldBit(i);
            FData.Fields[i] = std::move(fresh[i]);
        }
    }
    if (FData.Changed == 0) {
        FData.PollInterval = std::min(FData.PollInterval + Second, MaxPollInterval);
        return false;
    }
    FData.Loaded = true;
    FData.PollInterval = std::max(FData.PollInterval - Second, MinPollInterval);
    return true;
}

bool TStockObj::IsStale() const {
    if (!IsMarketTime()) return false;
    const ui::TDateTime now = ui::Now();
    const ui::TDateTime opened = std::floor(now) + ui::EncodeTime(8, 56, 0);
    const ui::TDateTime since = std::max({LastSuccessTime, FSince, opened});
    return static_cast<long double>(now - since) > std::max(3 * FData.PollInterval, StaleAfter);
}

// ---------------------------------------------------------------------------------------------

TStockObjList::TStockObjList() {
    LoadList();
    FTimer = std::make_unique<ui::TTimer>();
    FTimer->SetEnabled(false);
    FTimer->SetInterval(CycleDelayMs);
    FTimer->SetOnTimer([this](QObject*) { TimerTick(); });
    FTimer->SetEnabled(true);
}

TStockObjList::~TStockObjList() {
    FStopRequested = true;
    if (FTimer) {
        FTimer->SetEnabled(false);
        // Destroyed from inside its own tick: the timer object goes once the tick has unwound.
        if (FTicking > 0) FTimer.release()->deleteLater();
    }
    ui::Guarded([this] { SaveList(); });
    Clear();
}

void TStockObjList::RequestStop() {
    FStopRequested = true;
    if (FTimer) FTimer->SetEnabled(false);
    for (TItem& item : Items)
        if (item.Object) item.Object->AbortFetch();
}

void TStockObjList::Clear() { Items.clear(); }

void TStockObjList::LoadList() {
    Clear();
    FCanSave = true;
    // Anything of that name that cannot be read as the list (a directory, a FIFO, a file
    // without read permission) is reported and left alone.
    // Temporaries of a save that a kill cut short are of no use to anyone.
    try {
        ui::RemoveStaleTemporaries(FileName);
    } catch (...) {}  // best effort: a name that cannot be resolved is reported by the read below
    if (!ui::PathExists(FileName)) return;
    std::vector<std::string> lines;
    try {
        // The watch list's bytes are taken as they are: a NUL is a byte of its line.
        lines = ui::ReadLines(FileName, MaxStocks, false);
    } catch (...) {
        // The list starts empty and the file is kept as it is; the user is told why.
        FCanSave = false;
        ui::HandleException(std::current_exception());
        return;
    }
    const std::size_t n = std::min<std::size_t>(lines.size(), MaxStocks);
    for (std::size_t i = 0; i < n; ++i) {
        std::string code = ui::Trim(lines[i]);
        if (code.empty()) continue;
        Add(code, std::make_unique<TStockObj>(code));
    }
}

void TStockObjList::SaveList() {
    if (!FCanSave) {
        // The file that could not be read stays as it is; the stocks the user has put in since
        // are lost, and the user is told so.
        if (!Items.empty())
            throw EFileError(std::string("The watch list was not saved: \"") + FileName +
                             "\" could not be read at start and is left as it was");
        return;
    }
    if (Items.empty()) {
        ui::DeleteFile(FileName);
        return;
    }
    std::vector<std::string> lines;
    lines.reserve(Items.size());
    for (const TItem& item : Items)
        if (item.Object) lines.push_back(ui::Trim(item.Object->Data().Code));
    ui::WriteLines(FileName, lines);
}

TStockObj* TStockObjList::Stocks(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return Items[static_cast<std::size_t>(index)].Object.get();
}

int TStockObjList::Add(const std::string& code, std::unique_ptr<TStockObj> stock) {
    Items.push_back(TItem{code, std::move(stock)});
    return Count() - 1;
}

bool TStockObjList::Pause(int ms) {
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(ms);
    // Messages keep being dispatched while the pause runs. A wake-up of the event loop may come
    // a little late, so it is asked for somewhat early and the last two milliseconds at most
    // are slept: the pause keeps its length without overrunning it.
    for (;;) {
        auto left = duration_cast<microseconds>(until - steady_clock::now()).count();
        if (left <= 0 || FStopRequested) return true;
        if (left <= 2000) {
            std::this_thread::sleep_for(microseconds(left));
            return true;
        }
        const int waitMs = static_cast<int>((left - 1500) / 1000);
        if (!ui::Survives(FLifetime, [waitMs] { ui::WaitMessage(waitMs); })) return false;
    }
}

void TStockObjList::Refresh(bool force) {
    if (RefreshSuspended || Refreshing || FStopRequested) return;
    Refreshing = true;
    ui::Finally done{[] { Refreshing = false; }};
    // Every wait below runs the event loop, where a handler may destroy the list or a stock:
    // after each one the list is checked and the stock looked up again.
    //
    // The stocks that wait after a failure of the server come after the others, so that they
    // never hold up a good row; each group in board order.
    const int n = Count();
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(n));
    for (const bool failed : {false, true})
        for (int i = 0; i < n; ++i)
            if (const TStockObj* s = Stocks(i); s && (s->FailedFetches > 0) == failed) order.push_back(i);
    // Once the fetches that failed in this cycle have taken one fetch deadline in all, however
    // they failed, the cycle starts no other: a failing server cannot hold the board for longer.
    std::chrono::steady_clock::duration failing{};
    for (const int i : order) {
        if (RefreshSuspended || FStopRequested) break;
        TStockObj* stock = Stocks(i);
        if (!stock) continue;
        if (force) {
            stock->Data().LastFetch = 0;
            stock->ClearRetry();
        }
        const ui::TAlive stockAlive = stock->Lifetime().Watch();
        stock->ServerFailed = false;
        stock->TimedOut = false;
        const int failuresBefore = stock->FailedFetches;
        const auto started = std::chrono::steady_clock::now();
        bool changed = false;
        if (!ui::Survives(FLifetime, [&] { changed = stock->Update(); })) return;
        // A server that held a fetch to its deadline could do the same to each stock after this
        // one. The cycle ends; this stock now waits, and the next cycle goes past it.
        if (stockAlive && stock->FailedFetches > failuresBefore) {
            failing += std::chrono::steady_clock::now() - started;
            if (stock->TimedOut || failing >= std::chrono::milliseconds(FetchTimeOutMs)) break;
        }
        if (changed && stockAlive && Stocks(i) == stock && !ReportChange(i, stock, stockAlive)) return;
        if (FStopRequested) break;
        if (!ui::Survives(FLifetime, [] { ui::ProcessMessages(); })) return;
        if (!Pause(PauseAfterStockMs)) return;
    }
}

void TStockObjList::RefreshStock(int index, TStockObj* stock) {
    if (!stock) return;
    const ui::TAlive stockAlive = stock->Lifetime().Watch();
    stock->Data().LastFetch = 0;
    stock->ClearRetry();
    bool changed = false;
    if (!ui::Survives(FLifetime, [&] { changed = stock->Update(); })) return;
    if (changed && stockAlive) ReportChange(index, stock, stockAlive);
}

bool TStockObjList::ReportChange(int index, TStockObj* stock, const ui::TAlive& stockAlive) {
    if (stock->Data().Changed == 0) return true;
    if (OnUpdate && !ui::Survives(FLifetime, [&] { OnUpdate(this, index, stock); })) return false;
    if (stockAlive) stock->Data().Changed = 0;
    return true;
}

void TStockObjList::TimerTick() {
    const ui::TAlive alive = FLifetime.Watch();
    const bool ranInside = Refreshing;
    FTimer->SetEnabled(false);
    ++FTicking;
    {
        ui::Finally restart{[&] {
            if (!alive) return;
            --FTicking;
            if (!FStopRequested && !FSuspended) FTimer->SetEnabled(true);
        }};
        Refresh(false);
    }
    // A tick that came while another cycle ran (a forced one) ran none: it is no cycle's end.
    if (alive && OnCycleEnd && !ranInside) OnCycleEnd(this);
}

void TStockObjList::Suspend(bool on) {
    FSuspended = on;
    if (FTicking == 0) FTimer->SetEnabled(!on && !FStopRequested);
}

bool TStockObjList::TimerArmed() const { return FTimer->Active(); }
unsigned TStockObjList::CycleDelay() const { return FTimer->Interval(); }
void TStockObjList::SetCycleDelay(unsigned ms) { FTimer->SetInterval(ms); }
