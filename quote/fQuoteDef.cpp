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
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <thread>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

bool Refreshing = false;
bool RefreshSuspended = false;
bool Fetching = false;
bool IsWeekend = false;

const std::string MarkUp = "\xa1\xb5";
const std::string MarkUpLimit = "\xa1\xb6";
const std::string MarkDown = "\xa1\xbe";
const std::string MarkDownLimit = "\xa1\xbf";

namespace {

const std::string FullWidthSpace = "\xa1\x40";

const std::string CellMarker = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap>";
const std::string BoldCellMarker = "<td align=\"center\" bgcolor=\"#FFFfff\" nowrap><b>";

constexpr long double Second = 1.0L / 86400.0L;
constexpr long double MinPollInterval = 8 * Second;
constexpr long double MaxPollInterval = 25 * Second;

std::string& ServerAddress() {
    static std::string address = [] {
        const char* env = std::getenv("QUOTE_SERVER");
        return std::string(env && *env ? env : "127.0.0.1:8086");
    }();
    return address;
}

// The bytes 0x00 to 0x20 trimmed off both ends.
std::string_view TrimView(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
    return s.substr(b, e - b);
}

// The first "</" in s at or after from: memchr finds each '<', one look tells whether a '/'
// follows.
std::size_t FindClosingTag(std::string_view s, std::size_t from) {
    while (from + 1 < s.size()) {
        const void* lt = std::memchr(s.data() + from, '<', s.size() - 1 - from);
        if (!lt) break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lt) - s.data());
        if (s[at + 1] == '/') return at;
        from = at + 1;
    }
    return std::string_view::npos;
}

// The text of a cell line between the end of the marker and the line's first "</". The markers
// start with a byte other than '/', so no "</" begins just before one; a cell marker also holds
// no "</" and ends in '>', so with one of them the search skips the marker (the stock's anchor
// ends in its code, which may hold anything).
std::string_view CutCell(std::string_view line, std::string_view marker, bool plainMarker) {
    const std::size_t at = line.starts_with(marker) ? 0 : line.find(marker);
    if (at == std::string_view::npos) return {};  // a line without its marker holds no field
    const std::size_t start = at + marker.size();
    if (at > 0 && FindClosingTag(line.substr(0, at), 0) != std::string_view::npos) return {};
    const std::size_t end = FindClosingTag(line, plainMarker ? start : at);
    if (end == std::string_view::npos || end <= start) return {};
    return TrimView(line.substr(start, end - start));
}

// The change cell: from the first of the marks, tried in a fixed order, to the end of the line;
// nothing when the mark opens the line. The marks share their lead byte, so one pass over its
// occurrences finds where each of them first appears.
std::string_view CutChange(std::string_view line) {
    const std::string* const order[] = {&MarkUp, &MarkDown, &MarkUpLimit, &MarkDownLimit};
    std::size_t first[4] = {std::string_view::npos, std::string_view::npos, std::string_view::npos,
                            std::string_view::npos};
    const char lead = MarkUp[0];
    for (std::size_t p = line.find(lead); p != std::string_view::npos && p + 1 < line.size();
         p = line.find(lead, p + 1))
        for (int k = 0; k < 4; ++k)
            if (first[k] == std::string_view::npos && line[p + 1] == (*order[k])[1]) first[k] = p;
    for (std::size_t p : first)
        if (p != std::string_view::npos) return p == 0 ? std::string_view() : TrimView(line.substr(p));
    return {};
}

// The first CR, LF or NUL in [p, end), or end: sixteen bytes at a time where the processor
// compares them at once, and byte by byte in the last ones.
const char* LineBreak(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), nul = _mm_setzero_si128();
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, nul));
        if (const int mask = _mm_movemask_epi8(hit)) return p + std::countr_zero(static_cast<unsigned>(mask));
    }
#endif
    while (p < end && *p != '\r' && *p != '\n' && *p != '\0') ++p;
    return p;
}

// The start of the line that holds pos: just past the last CR or LF before it.
std::size_t LineStart(std::string_view page, std::size_t pos) {
    const void* lf = ::memrchr(page.data(), '\n', pos);
    const std::size_t from = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - page.data()) + 1 : 0;
    const void* cr = ::memrchr(page.data() + from, '\r', pos - from);
    return cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - page.data()) + 1 : from;
}

// Cuts the fields from the lines of the page that start at pos. A NUL byte ends the page.
void CutFields(std::string_view page, std::size_t pos, std::string_view anchor, std::vector<std::string>& fields) {
    const char* p = page.data() + pos;
    const char* end = page.data() + page.size();
    for (int j = 0; j < QuoteFieldCount; ++j) {
        if (p >= end) {
            fields[j].clear();
            continue;
        }
        // The line ends at its first CR or LF (CR LF ends it as one terminator).
        const char* e = LineBreak(p, end);
        if (e < end && *e == '\0') end = e;
        // Only the change cell depends on where the trimmed line starts; a cell is the same
        // whether the blanks around its line are cut first or not.
        const std::string_view line(p, static_cast<std::size_t>(e - p));
        const std::string_view cell = j == qfChange ? CutChange(TrimView(line))
                                      : j == qfName ? CutCell(line, anchor, false)
                                                    : CutCell(line, j == qfLast ? BoldCellMarker : CellMarker, true);
        fields[j].clear();
        fields[j].append(cell);  // into the room the string has
        p = e;
        if (p < end && *p == '\r') ++p;
        if (p < end && *p == '\n') ++p;
    }
}

}  // namespace

TQuoteTrend QuoteTrend(const std::string& text) {
    for (const std::string* mark : {&MarkUp, &MarkDown, &MarkUpLimit, &MarkDownLimit})
        if (text.find(*mark) != std::string::npos)
            return mark == &MarkUp || mark == &MarkUpLimit ? TQuoteTrend::Rising : TQuoteTrend::Falling;
    return TQuoteTrend::None;
}

float QuoteValue(const std::string& text) {
    const auto numeric = [](char c) { return (c >= '0' && c <= '9') || c == '.'; };
    // One pass over the bytes: the marks, and the digits and points as they come.
    bool negative = false;
    std::size_t figures = 0, points = 0, fraction = 0;
    std::uint64_t mantissa = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            ++points;
        } else if (numeric(c)) {
            mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
            ++figures;
            if (points) ++fraction;
        } else if (c == MarkDown[0] && i + 1 < text.size() &&
                   (text[i + 1] == MarkDown[1] || text[i + 1] == MarkDownLimit[1])) {
            negative = true;
        }
    }
    // Digits and points only: a valid number has at most one point and at least one digit.
    if (figures == 0 || points > 1) return 0;
    double value = 0;
    if (figures <= 15) {
        // The digits and the power of ten are exact in a double, so the quotient is the double
        // nearest the decimal number, as reading the text gives.
        static constexpr double Tens[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        value = static_cast<double>(mantissa) / Tens[fraction];
    } else {
        // Read with "." as the decimal point whatever the process locale says.
        std::string digits;
        std::copy_if(text.begin(), text.end(), std::back_inserter(digits), numeric);
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size()) return 0;
    }
    return static_cast<float>(negative ? -value : value);
}

// The window compares the clock's "hh:nn" with "08:55:00" and "13:35:00" as texts: "08:55" sorts
// before "08:55:00" and "13:35" before "13:35:00", so it runs from 08:56 through 13:35 whole.
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

bool ScrapeQuotePage(const std::string& body, const std::string& code, float& refPrice,
                     std::vector<std::string>& fields) {
    refPrice = 0;
    if (body.empty()) {
        fields.clear();
        return false;
    }
    const std::string_view c = TrimView(code);
    static thread_local std::string anchor;  // keeps its room from the last page
    anchor.assign("href=\"/q/bc?s=").append(c).append("\">").append(c);
    // The anchor holds no line end, so its first occurrence lies in the first line that holds
    // it. Only the lines from there are split. A NUL byte ends the page, so the anchor is looked
    // for as in a NUL-terminated text.
    const char* hit = anchor.find('\0') == std::string::npos ? std::strstr(body.c_str(), anchor.c_str()) : nullptr;
    if (!hit) {
        fields.clear();
        return false;
    }
    const std::string_view page(body);
    const std::size_t start = LineStart(page, static_cast<std::size_t>(hit - body.c_str()));

    fields.resize(QuoteFieldCount);  // the strings keep their room from the last page
    CutFields(page, start, anchor, fields);
    // A name of two double-byte characters takes the width of three.
    std::string& name = fields[qfName];
    if (name.size() == 4) name.insert(2, FullWidthSpace);

    float last = QuoteValue(fields[qfLast]);
    if (last > 0) refPrice = last - QuoteValue(fields[qfChange]);
    return true;
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
    } catch (...) {
        error = ui::ExceptionMessage(std::current_exception());
    }
    if (!alive) return false;
    FHttp = nullptr;
    ServerFailed = !error.empty();
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

bool TStockObj::Update() {
    if (!IsMarketTime() && FData.Loaded) return false;
    if (ui::Now() - FData.LastFetch <= FData.PollInterval) return false;
    FData.LastFetch = ui::Now();

    const unsigned generation = FGeneration;
    const std::string code = FData.Code;  // the record may go away during the download
    float ref = 0;
    std::vector<std::string> fresh;
    bool ok = false;
    // Gone, or given another code, while the page downloaded: nothing is recorded.
    if (!ui::Survives(FLifetime, [&] { ok = FetchQuote(code, ref, fresh); })) return false;
    if (generation != FGeneration || !ok) return false;
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
    const int n = Count();
    for (int i = 0; i < n; ++i) {
        if (RefreshSuspended || FStopRequested) break;
        TStockObj* stock = Stocks(i);
        if (!stock) continue;
        if (force) stock->Data().LastFetch = 0;
        const ui::TAlive stockAlive = stock->Lifetime().Watch();
        stock->ServerFailed = false;
        bool changed = false;
        if (!ui::Survives(FLifetime, [&] { changed = stock->Update(); })) return;
        // The server did not answer: the stocks after this one would each wait out the same
        // deadline. The cycle ends here; the next one starts again from the first stock.
        if (stockAlive && stock->ServerFailed) break;
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
    if (alive && OnCycleEnd) OnCycleEnd(this);
}

void TStockObjList::Suspend(bool on) {
    FSuspended = on;
    if (FTicking == 0) FTimer->SetEnabled(!on && !FStopRequested);
}

bool TStockObjList::TimerArmed() const { return FTimer->Active(); }
unsigned TStockObjList::CycleDelay() const { return FTimer->Interval(); }
void TStockObjList::SetCycleDelay(unsigned ms) { FTimer->SetInterval(ms); }
