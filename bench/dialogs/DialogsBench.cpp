// The stock picker's narrowing, which runs on every keypad press: the filter rule alone, and the
// picker's list rebuilt with it, over the shipped AVAILABLE.TXT (1,933 lines) and over 30,000 lines,
// side by side with QListWidget::addItems of the same rows. The run ends with the picker's steps
// at 30,000 lines beside addItems, in CPU time, min and median of interleaved rounds.
//
// Both lists are on the screen (offscreen), and each step ends once the events it posted have
// run: a view lays its rows out and paints them only then, so a step without them would leave
// out work the picker does for its user.
//   dialogs_bench [--benchmark_filter=...]
#include "bench/support/Rounds.h"
#include "dialogs/fDlgStockSel.h"
#include "ui/core/Big5.h"
#include "ui/core/TextFile.h"
#include "ui/widgets/Fonts.h"
#include "ui/widgets/GuiApplication.h"

#include <QCoreApplication>
#include <QListWidget>
#include <QStringList>
#include <benchmark/benchmark.h>

namespace {

// The shipped list cycled to `count` lines, the codes of each later round shifted so every line
// stays distinct.
std::vector<std::string> Available(int count) {
    const std::vector<std::string> lines = ui::ReadLines(QB_SOURCE_DIR "/data/AVAILABLE.TXT");
    std::vector<std::string> r;
    for (int i = 0; i < count; ++i) {
        const std::size_t round = static_cast<std::size_t>(i) / lines.size();
        r.push_back(lines[static_cast<std::size_t>(i) % lines.size()] +
                    (round ? std::to_string(round) : std::string()));
    }
    return r;
}

void BM_FilterLines(benchmark::State& state) {
    const std::vector<std::string> available = Available(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(stocksel::FilterLines(available, "1"));
        benchmark::DoNotOptimize(stocksel::FilterLines(available, "  "));
    }
    state.counters["lines"] = static_cast<double>(available.size());
}
BENCHMARK(BM_FilterLines)->Arg(1933)->Arg(30000)->Unit(benchmark::kMicrosecond);

// One keypad digit (the whole list narrowed to the lines that begin with "1") or one clear (the
// narrowed list back to the whole list), as the picker shows them.
void PickerStep(benchmark::State& state, const char* from, const char* to) {
    const std::vector<std::string> available = Available(static_cast<int>(state.range(0)));
    TfrmStockSel dlg(nullptr, available);
    dlg.show();
    for (auto _ : state) {
        state.PauseTiming();
        dlg.Edit1->SetText(from);
        QCoreApplication::processEvents();
        state.ResumeTiming();
        dlg.Edit1->SetText(to);
        QCoreApplication::processEvents();
    }
    state.counters["lines"] = static_cast<double>(available.size());
}
void BM_PickerDigit(benchmark::State& state) { PickerStep(state, "", "1"); }
void BM_PickerClear(benchmark::State& state) { PickerStep(state, "1", ""); }
BENCHMARK(BM_PickerDigit)->Arg(1933)->Arg(30000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PickerClear)->Arg(1933)->Arg(30000)->Unit(benchmark::kMicrosecond);

// The plain list beside the picker's: its size and font, on the screen.
void PlainList(QListWidget& list) {
    list.setUniformItemSizes(true);
    list.setFont(ui::FaceFont(ui::KaiFaceName, 48));
    list.setGeometry(0, 0, 340, 484);
    list.show();
}

// The floor the picker is held to: the same two steps as QListWidget::addItems of the same rows,
// decoded beforehand, into a plain list that held the other rows.
void AddItemsStep(benchmark::State& state, bool digit) {
    const std::vector<std::string> available = Available(static_cast<int>(state.range(0)));
    const QStringList all = ui::Big5ToQStrings(available);
    const QStringList narrowed = ui::Big5ToQStrings(stocksel::FilterLines(available, "1").Lines);
    QListWidget list;
    PlainList(list);
    for (auto _ : state) {
        state.PauseTiming();
        list.clear();
        list.addItems(digit ? all : narrowed);
        QCoreApplication::processEvents();
        state.ResumeTiming();
        list.clear();
        list.addItems(digit ? narrowed : all);
        QCoreApplication::processEvents();
    }
    state.counters["lines"] = static_cast<double>(available.size());
}
void BM_AddItemsDigit(benchmark::State& state) { AddItemsStep(state, true); }
void BM_AddItemsClear(benchmark::State& state) { AddItemsStep(state, false); }
BENCHMARK(BM_AddItemsDigit)->Arg(1933)->Arg(30000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddItemsClear)->Arg(1933)->Arg(30000)->Unit(benchmark::kMicrosecond);

// The same steps as sides of a comparison: `steps` of them, each from its untimed starting point.
benchrounds::TSide PickerSide(TfrmStockSel& dlg, const char* from, const char* to, int steps) {
    return [&dlg, from, to, steps] {
        double cpu = 0;
        for (int i = 0; i < steps; ++i) {
            dlg.Edit1->SetText(from);
            QCoreApplication::processEvents();
            const double start = benchrounds::ThreadCpuSeconds();
            dlg.Edit1->SetText(to);
            QCoreApplication::processEvents();
            cpu += benchrounds::ThreadCpuSeconds() - start;
        }
        return cpu / steps;
    };
}

benchrounds::TSide AddItemsSide(QListWidget& list, const QStringList& from, const QStringList& to, int steps) {
    return [&list, &from, &to, steps] {
        double cpu = 0;
        for (int i = 0; i < steps; ++i) {
            list.clear();
            list.addItems(from);
            QCoreApplication::processEvents();
            const double start = benchrounds::ThreadCpuSeconds();
            list.clear();
            list.addItems(to);
            QCoreApplication::processEvents();
            cpu += benchrounds::ThreadCpuSeconds() - start;
        }
        return cpu / steps;
    };
}

void CompareAt30000() {
    const std::vector<std::string> available = Available(30000);
    const QStringList all = ui::Big5ToQStrings(available);
    const QStringList narrowed = ui::Big5ToQStrings(stocksel::FilterLines(available, "1").Lines);
    TfrmStockSel dlg(nullptr, available);
    dlg.show();
    QListWidget list;
    PlainList(list);
    constexpr int rounds = 15, steps = 10;
    benchrounds::Report(
        "picker: clearing the entry at 30,000 lines", "QListWidget::addItems of the same rows",
        benchrounds::Compare(rounds, PickerSide(dlg, "1", "", steps), AddItemsSide(list, narrowed, all, steps)),
        "<= 2");
    benchrounds::Report(
        "picker: a digit at 30,000 lines", "QListWidget::addItems of the same rows",
        benchrounds::Compare(rounds, PickerSide(dlg, "", "1", steps), AddItemsSide(list, all, narrowed, steps)));
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ui::TApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CompareAt30000();
    return 0;
}
