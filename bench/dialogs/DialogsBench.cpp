// The stock picker's narrowing, which runs on every keypad press: the filter rule alone, and the
// picker's list rebuilt with it, over the shipped AVAILABLE.TXT and over a list five times longer.
//   dialogs_bench [--benchmark_filter=...]
#include "dialogs/fDlgStockSel.h"
#include "ui/Fonts.h"
#include "ui/GuiApplication.h"
#include "ui/TextFile.h"

#include <benchmark/benchmark.h>

namespace {

// The shipped list, repeated `times` times with the codes shifted so every line stays distinct.
std::vector<std::string> Available(int times) {
    const std::vector<std::string> lines = ui::ReadLines(QB_SOURCE_DIR "/data/AVAILABLE.TXT");
    std::vector<std::string> r;
    for (int t = 0; t < times; ++t)
        for (const std::string& l : lines) r.push_back(l + (t ? std::to_string(t) : std::string()));
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
BENCHMARK(BM_FilterLines)->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

// One keypad digit and one clear, as the picker shows them: the entry changes, the list is rebuilt.
void BM_PickerRefilter(benchmark::State& state) {
    const std::vector<std::string> available = Available(static_cast<int>(state.range(0)));
    TfrmStockSel dlg(nullptr, available);
    for (auto _ : state) {
        dlg.Edit1->SetText("1");
        dlg.Edit1->SetText("");
    }
    state.counters["lines"] = static_cast<double>(available.size());
}
BENCHMARK(BM_PickerRefilter)->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ui::TApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
