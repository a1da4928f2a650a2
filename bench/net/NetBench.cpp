// Network benchmarks.
//
// BM_SilentReadLnCpu: a ReadLn waits 2 s on a server that sends nothing, until the time-out
// aborts it. Reports the CPU time the waiting thread used, in percent of the wall time; the
// wait sleeps in the event loop, so this stays near 0.
#include "net/KesSock.h"

#include "LoopbackServer.h"
#include "ui/Application.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>

namespace {

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_SilentReadLnCpu(benchmark::State& state) {
    nettest::LoopbackServer server([](nettest::LoopbackServer::Conn& c) {
        while (!c.Stopping()) c.Pause(20);
    });
    double cpuPct = 0;
    for (auto _ : state) {
        TKesSock sock;
        sock.Host = "127.0.0.1";
        sock.Port = server.Port();
        sock.TimeOut = 2000;
        sock.Connect();
        double cpu0 = ThreadCpuSeconds();
        auto wall0 = std::chrono::steady_clock::now();
        try {
            sock.ReadLn();
        } catch (const EAbortError&) {
        }
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        cpuPct = 100.0 * (ThreadCpuSeconds() - cpu0) / wall;
        sock.Disconnect();
    }
    state.counters["cpu_pct"] = cpuPct;
}
BENCHMARK(BM_SilentReadLnCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    ui::TCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
