// quote-server under slow clients: the time one page takes (a connection per page, as the board
// fetches) while N connections trickle their request headers a byte at a time, the server's
// memory and open files while they do, both again once they have gone, and how long SIGTERM
// takes to end it while they hold on.
#include "Loopback.h"
#include "support/ServerProcess.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

using loopback::SlowClients;
using testsupport::ServerProcess;

namespace {

// Resident memory of the process in MB.
double MemoryMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024;
    return -1;
}

double OpenFiles(pid_t pid) {
    std::error_code ec;
    auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? -1 : static_cast<double>(std::distance(begin(entries), end(entries)));
}

// Sends SIGTERM and waits for the exit: milliseconds taken, -1 for an unclean exit.
double StopMs(ServerProcess& server) {
    auto start = std::chrono::steady_clock::now();
    int status = server.Stop(10000);
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    return status == 0 ? took.count() : -1;
}

// One page over a connection of its own; false when no complete answer came within 5 s.
bool FetchPage(int port) {
    loopback::Reply r = loopback::Exchange(port, loopback::PageRequest("2330"), true);
    return r.status == 200 && r.body.size() > 1000;
}

void BM_PageWhileSlowClientsHold(benchmark::State& state) {
    ServerProcess server;
    if (!server.Start({"--always-open"})) {
        state.SkipWithError("quote-server did not start");
        return;
    }
    FetchPage(server.Port());
    double baseMemory = MemoryMb(server.Pid()), baseFiles = OpenFiles(server.Pid());
    int failed = 0;
    std::size_t held = 0;
    double heldMemory = 0, heldFiles = 0;
    {
        SlowClients slow(server.Port(), static_cast<int>(state.range(0)), std::chrono::seconds(1));
        held = slow.Count();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (auto _ : state) failed += !FetchPage(server.Port());
        heldMemory = MemoryMb(server.Pid());
        heldFiles = OpenFiles(server.Pid());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.counters["rss_mb_after"] = MemoryMb(server.Pid());
    state.counters["fds_after"] = OpenFiles(server.Pid());
    {
        SlowClients slow(server.Port(), static_cast<int>(state.range(0)), std::chrono::seconds(1));
        state.counters["sigterm_ms"] = StopMs(server);
    }
    state.counters["slow_clients"] = static_cast<double>(held);
    state.counters["failed"] = failed;
    state.counters["rss_mb_before"] = baseMemory;
    state.counters["rss_mb_held"] = heldMemory;
    state.counters["fds_before"] = baseFiles;
    state.counters["fds_held"] = heldFiles;
}
BENCHMARK(BM_PageWhileSlowClientsHold)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
