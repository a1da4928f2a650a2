// The board's paint cost at full-HD size with ten stocks (type about 85 px), offscreen:
// a full repaint with the cells' texts already drawn once, a full repaint after every text
// changed (each cell's text drawn anew), repaints of the clock cell alone, and the clock's
// tick with its check of stale rows.
#include "board/fQuoteMain.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"
#include "ui/widgets/Fonts.h"
#include "ui/widgets/GuiApplication.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QWindow>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>

namespace {

// The benchmark's clock: a weekday inside the trading window, so that the stocks, made under it,
// count their time since then and the clock tick can turn them stale.
const ui::TDateTime BenchStart = ui::EncodeDateTime(2026, 12, 9, 10, 0, 0);
ui::TDateTime gNow = BenchStart;

struct Board {
    QTemporaryDir workDir;  // removed with the board
    std::unique_ptr<TfrmWatchMain> window;
    explicit Board(int width = 1920, int height = 1080) {
        // The list's file is read from and written to a directory of the benchmark's own.
        QDir::setCurrent(workDir.path());
        window = std::make_unique<TfrmWatchMain>();
        window->resize(width, height);
        window->show();
        window->StockList = std::make_unique<TStockObjList>();
        window->StockList->Suspend(true);
        const char* rows[10][7] = {
            {"台積電", "1055", "1055", "1060", "△30", "9,588", "1025"},
            {"鴻　海", "178.0", "177.5", "178.0", "▽0.5", "8,785", "178.5"},
            {"聯發科", "1275", "1270", "1275", "▽50", "35,573", "1325"},
            {"中華電", "124.5", "124.5", "125.0", "▽1.0", "40,887", "125.5"},
            {"國泰金", "64.8", "64.8", "64.9", "▽1.3", "7,619", "66.1"},
            {"富邦金", "88.7", "88.6", "88.7", "△0.3", "128,454", "88.4"},
            {"台　塑", "57.5", "57.5", "57.6", "▽0.3", "6,374", "57.8"},
            {"中　鋼", "22.80", "22.80", "22.85", "▽0.45", "12,055", "23.25"},
            {"聯　電", "49.95", "49.90", "49.95", "△1.60", "64,380", "48.35"},
            {"元大台灣50", "180.20", "180.20", "180.25", "▽0.30", "7,771", "180.50"},
        };
        for (int i = 0; i < 10; ++i) {
            auto stock = std::make_unique<TStockObj>("0000");
            TStockData& d = stock->Data();
            d.Fields[qfName] = ui::Utf8ToBig5(rows[i][0]);
            d.Fields[qfLast] = rows[i][1];
            d.Fields[qfBid] = rows[i][2];
            d.Fields[qfAsk] = rows[i][3];
            d.Fields[qfChange] = ui::Utf8ToBig5(std::string(rows[i][4]) + "</font></td>");
            d.Fields[qfVolume] = rows[i][5];
            d.RefPrice = std::stof(std::string(rows[i][6]).c_str());
            window->StockList->Add("0000", std::move(stock));
        }
        window->ApplyLayout();
        // Paints reach the widget only once its window is exposed.
        QElapsedTimer wait;
        wait.start();
        while (!(window->windowHandle() && window->windowHandle()->isExposed()) && wait.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCoreApplication::processEvents();
        // Count the cells painted, so a figure stands for real painting.
        auto paintCell = window->G_->OnGetCellColor;
        window->G_->OnGetCellColor = [this, paintCell](QObject* s, int r, int c, grid::TGridDrawState st, QBrush& b,
                                                       grid::TGridFont& f) {
            ++cellsPainted;
            paintCell(s, r, c, st, b, f);
        };
        window->G_->repaint();
    }
    long long cellsPainted = 0;
};

void ReportCells(benchmark::State& state, Board& b, long long before) {
    state.counters["cells/frame"] =
        benchmark::Counter(static_cast<double>(b.cellsPainted - before) / static_cast<double>(state.iterations()));
}

// The boards are made on first use and destroyed before the application (their windows need it).
std::unique_ptr<Board> gBoard, gUhdBoard;

Board& TheBoard() {
    if (!gBoard) gBoard = std::make_unique<Board>();
    return *gBoard;
}

void BM_FullRepaint(benchmark::State& state) {
    Board& b = TheBoard();
    const long long before = b.cellsPainted;
    for (auto _ : state) b.window->G_->repaint();
    ReportCells(state, b, before);
}
BENCHMARK(BM_FullRepaint)->Unit(benchmark::kMillisecond);

// The same board on a 3840 x 2160 screen (type about 170 px).
Board& UhdBoard() {
    if (!gUhdBoard) gUhdBoard = std::make_unique<Board>(3840, 2160);
    return *gUhdBoard;
}

// A layout switch: every cell emptied and written again (texts the grid has drawn before).
void LayoutSwitch(benchmark::State& state, Board& b) {
    const long long before = b.cellsPainted;
    for (auto _ : state) {
        b.window->NextLayout();
        b.window->G_->repaint();
    }
    ReportCells(state, b, before);
    while (b.window->LayoutIndex != 0) b.window->NextLayout();
}
void BM_LayoutSwitchRepaint(benchmark::State& state) { LayoutSwitch(state, TheBoard()); }
BENCHMARK(BM_LayoutSwitchRepaint)->Unit(benchmark::kMillisecond);
// At 4K every text has four times the pixels: the switch should cost about four times as much,
// not more (the shared text images are bounded by the grid's size).
void BM_LayoutSwitchRepaint4K(benchmark::State& state) { LayoutSwitch(state, UhdBoard()); }
BENCHMARK(BM_LayoutSwitchRepaint4K)->Unit(benchmark::kMillisecond);

// Every figure new (texts never drawn before): each text is drawn from its glyphs.
void BM_FullRepaintAllFiguresNew(benchmark::State& state) {
    Board& b = TheBoard();
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int r = 1; r <= 10; ++r)
            for (int c = 1; c <= 5; ++c) b.window->G_->SetCells(c, r, std::to_string(100000 + n++) + ".5 ");
        state.ResumeTiming();
        b.window->G_->repaint();
    }
    b.window->ApplyLayout();
    b.window->G_->repaint();
}
BENCHMARK(BM_FullRepaintAllFiguresNew)->Unit(benchmark::kMillisecond);

// The clock timer's write: the same text, as in 59 of 60 seconds.
void BM_ClockCellRepaint(benchmark::State& state) {
    Board& b = TheBoard();
    const QRect cell = b.window->G_->CellRect(0, 0);
    const long long before = b.cellsPainted;
    for (auto _ : state) {
        b.window->G_->SetCells(0, 0, "10:30");
        b.window->G_->repaint(cell);
    }
    ReportCells(state, b, before);
}
BENCHMARK(BM_ClockCellRepaint)->Unit(benchmark::kMicrosecond);

// A new minute: the clock's text drawn anew from its glyphs (a text never shown before).
void BM_ClockCellRepaintNewMinute(benchmark::State& state) {
    Board& b = TheBoard();
    const QRect cell = b.window->G_->CellRect(0, 0);
    int i = 0;
    const long long before = b.cellsPainted;
    for (auto _ : state) {
        b.window->G_->SetCells(0, 0, std::to_string(1000000 + i++));
        b.window->G_->repaint(cell);
    }
    ReportCells(state, b, before);
}
BENCHMARK(BM_ClockCellRepaintNewMinute)->Unit(benchmark::kMicrosecond);

// The clock timer's tick inside the trading window as the event loop paints it: the clock
// written and every row's staleness checked. Fresh: no row's look changes (the usual second).
// Flipping: all ten rows turn stale or fresh again, so their fifty figure cells are written and
// drawn anew in their other colours.
void ClockTick(benchmark::State& state, bool flip) {
    Board& b = TheBoard();
    const ui::TDateTime fresh = BenchStart;
    const ui::TDateTime stale = fresh + 120 * ui::OneSecond;
    gNow = fresh;
    for (int i = 0; i < b.window->StockList->Count(); ++i) b.window->StockList->Stocks(i)->LastSuccessTime = fresh;
    b.window->tmrMainTimer(nullptr);
    QCoreApplication::processEvents();
    const long long before = b.cellsPainted;
    for (auto _ : state) {
        if (flip) gNow = gNow == fresh ? stale : fresh;
        b.window->tmrMainTimer(nullptr);
        QCoreApplication::processEvents();
    }
    ReportCells(state, b, before);
    gNow = fresh;
    b.window->tmrMainTimer(nullptr);
    QCoreApplication::processEvents();
}
void BM_ClockTickRowsFresh(benchmark::State& state) { ClockTick(state, false); }
BENCHMARK(BM_ClockTickRowsFresh)->Unit(benchmark::kMicrosecond);
void BM_ClockTickRowsFlipStale(benchmark::State& state) { ClockTick(state, true); }
BENCHMARK(BM_ClockTickRowsFlipStale)->Unit(benchmark::kMicrosecond);
// Start-up's load of AVAILABLE.TXT: 150,000 lines of 6 bytes in descending order (the worst
// order for a list kept sorted line by line), read, sorted and freed of duplicates.
void BM_LoadAvailableListDescending(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string name = dir.filePath(QStringLiteral("AVAILABLE.TXT")).toStdString();
    std::string text;
    for (int i = 150000 - 1; i >= 0; --i) {
        char line[16];
        std::snprintf(line, sizeof line, "%c%04d\n", 'a' + i / 10000, i % 10000);
        text += line;
    }
    std::FILE* f = std::fopen(name.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    std::size_t lines = 0;
    for (auto _ : state) lines = LoadAvailableList(name).size();
    state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_LoadAvailableListDescending)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    grid::PrepareRendering();
    ui::TApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    ui::SetClock([] { return gNow; });
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // Each writes its list's file into its own directory, while that exists.
    for (std::unique_ptr<Board>* board : {&gUhdBoard, &gBoard}) {
        if (*board) QDir::setCurrent((*board)->workDir.path());
        board->reset();
    }
    QDir::setCurrent(QDir::tempPath());
    return 0;
}
