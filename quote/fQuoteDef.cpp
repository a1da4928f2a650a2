#include "quote/fQuoteDef.h"

#include "net/KesHttp.h"
#include "ui/Application.h"
#include "ui/Big5.h"
#include "ui/Exception.h"
#include "ui/TextFile.h"
#include "ui/Timer.h"

#include <algorithm>
#include <cstdlib>

bool Refreshing = false;
bool RefreshSuspended = false;
bool Fetching = false;
bool IsWeekend = false;

namespace {

// The change marks in Big5: △ ▲ (up) and ▽ ▼ (down).
const std::string MarkUp = "\xa1\xb5";
const std::string MarkUpLimit = "\xa1\xb6";
const std::string MarkDown = "\xa1\xbe";
const std::string MarkDownLimit = "\xa1\xbf";
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

// The text of a cell line between the end of the marker and the line's first "</".
std::string CutCell(const std::string& line, const std::string& marker) {
    std::size_t at = ui::Pos(marker, line);
    if (at == 0) return {};  // a line without its marker holds no field
    long long s = static_cast<long long>(at + marker.size());
    long long e = static_cast<long long>(ui::Pos("</", line));
    if (e <= s) return {};
    return ui::Trim(ui::Copy(line, s, e - s));
}

// The change cell: from the first of the marks, tried in a fixed order, to the end of the line.
std::string CutChange(const std::string& line) {
    std::size_t p = 0;
    for (const std::string* mark : {&MarkUp, &MarkDown, &MarkUpLimit, &MarkDownLimit}) {
        p = ui::Pos(*mark, line);
        if (p != 0) break;
    }
    if (p <= 1) return {};
    return ui::Trim(ui::Copy(line, static_cast<long long>(p), static_cast<long long>(line.size())));
}

// Runs the given cleanup on every way out of a scope.
template <class F>
struct Finally {
    F f;
    ~Finally() { f(); }
};
template <class F>
Finally(F) -> Finally<F>;

}  // namespace

float QuoteValue(const std::string& text) {
    float sign =
        (text.find(MarkDown) != std::string::npos || text.find(MarkDownLimit) != std::string::npos) ? -1.0f : 1.0f;
    std::string digits;
    for (char c : text)
        if ((c >= '0' && c <= '9') || c == '.') digits += c;
    if (digits.empty()) return 0;
    // Digits and points only: a valid number has at most one point and at least one digit.
    if (std::count(digits.begin(), digits.end(), '.') > 1 || digits == ".") return 0;
    return static_cast<float>(std::strtod(digits.c_str(), nullptr) * sign);
}

bool IsMarketTime() {
    std::string now = ui::FormatHHNN(ui::Now());
    if (IsWeekend) return false;
    if (ui::CompareStr(now, "08:55:00") < 0) return false;
    return ui::CompareStr(now, "13:35:00") < 0;
}

std::string QuoteServer() { return ServerAddress(); }

void SetQuoteServer(const std::string& address) { ServerAddress() = address; }

std::string QuoteURL(const std::string& code) {
    static const char hex[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : code) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += hex[c >> 4];
            escaped += hex[c & 15];
        }
    }
    return "http://" + QuoteServer() + "/q/q?s=" + escaped;
}

bool ScrapeQuotePage(const std::string& body, const std::string& code, float& refPrice,
                     std::vector<std::string>& fields) {
    fields.clear();
    refPrice = 0;
    if (body.empty()) return false;
    const std::string c = ui::Trim(code);
    const std::vector<std::string> lines = ui::SplitLines(body);
    const std::string anchor = "href=\"/q/bc?s=" + c + "\">" + c;
    std::size_t first = 0;
    while (first < lines.size() && lines[first].find(anchor) == std::string::npos) ++first;
    if (first == lines.size()) return false;

    fields.assign(QuoteFieldCount, std::string());
    for (int j = 0; j < QuoteFieldCount && first + j < lines.size(); ++j) {
        const std::string line = ui::Trim(lines[first + j]);
        if (j == qfChange)
            fields[j] = CutChange(line);
        else
            fields[j] = CutCell(line, j == qfName ? anchor : j == qfLast ? BoldCellMarker : CellMarker);
    }
    // A name of two double-byte characters takes the width of three.
    std::string& name = fields[qfName];
    if (name.size() == 4) name = name.substr(0, 2) + FullWidthSpace + name.substr(2, 2);

    float last = QuoteValue(fields[qfLast]);
    if (last > 0) refPrice = last - QuoteValue(fields[qfChange]);
    return true;
}

// ---------------------------------------------------------------------------------------------

TStockObj::TStockObj(const std::string& code) { Reset(code); }

void TStockObj::Reset(const std::string& code) {
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
    std::string body;
    try {
        Fetching = true;
        TKesHTTP* http = nullptr;
        Finally cleanup{[&] {
            if (http) {
                try {
                    http->Disconnect();
                } catch (...) {}
                delete http;
            }
            Fetching = false;
        }};
        http = new TKesHTTP(nullptr);
        http->TimeOut = FetchTimeOutMs;
        http->MaxBodyLength = MaxPageBytes;
        http->Get(QuoteURL(ui::Trim(code)));
        body = http->Body;
    } catch (...) {
        return false;
    }
    return ScrapeQuotePage(body, code, refPrice, fields);
}

bool TStockObj::Update() {
    if (!IsMarketTime() && FData.Loaded) return false;
    if (ui::Now() - FData.LastFetch <= FData.PollInterval) return false;
    FData.LastFetch = ui::Now();

    float ref = 0;
    std::vector<std::string> fresh;
    if (!FetchQuote(FData.Code, ref, fresh)) return false;
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

// ---------------------------------------------------------------------------------------------

TStockObjList::TStockObjList() {
    LoadList();
    Timer = std::make_unique<ui::TTimer>();
    Timer->SetEnabled(false);
    Timer->SetInterval(CycleDelayMs);
    Timer->SetOnTimer([this](QObject*) { TimerTick(); });
    Timer->SetEnabled(true);
}

TStockObjList::~TStockObjList() {
    if (Timer) Timer->SetEnabled(false);
    ui::Guarded([this] { SaveList(); });
    Clear();
}

void TStockObjList::Clear() { Items.clear(); }

void TStockObjList::LoadList() {
    Clear();
    FCanSave = true;
    // Anything of that name that cannot be read as the list (a directory, a file without read
    // permission) is reported and left alone.
    if (!ui::PathExists(FileName)) return;
    std::vector<std::string> lines;
    try {
        lines = ui::ReadLines(FileName);
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
    if (!FCanSave) return;
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

void TStockObjList::Refresh(bool force) {
    if (RefreshSuspended || Refreshing) return;
    Refreshing = true;
    Finally done{[] { Refreshing = false; }};
    const int n = Count();
    for (int i = 0; i < n; ++i) {
        if (RefreshSuspended) break;
        TStockObj* stock = Stocks(i);
        if (!stock) continue;
        if (force) stock->Data().LastFetch = 0;
        if (stock->Update() && stock->Data().Changed != 0) {
            if (OnUpdate) OnUpdate(this, i, stock);
            stock->Data().Changed = 0;
        }
        ui::ProcessMessages();
        ui::Sleep(PauseAfterStockMs);
    }
}

void TStockObjList::RefreshStock(int index, TStockObj* stock) {
    if (!stock) return;
    stock->Data().LastFetch = 0;
    if (stock->Update() && stock->Data().Changed != 0) {
        if (OnUpdate) OnUpdate(this, index, stock);
        stock->Data().Changed = 0;
    }
}

void TStockObjList::TimerTick() {
    Timer->SetEnabled(false);
    Finally restart{[this] { Timer->SetEnabled(true); }};
    Refresh(false);
}
