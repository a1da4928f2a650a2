// Network benchmarks.
//
// BM_SilentReadLnCpu: a ReadLn waits 2 s on a server that sends nothing, until the time-out
// aborts it. Reports the CPU time the waiting thread used, in percent of the wall time; the
// wait sleeps in the event loop, so this stays near 0.
//
// BM_PageFetchBaseline / BM_PageFetchKesHttp: one page of about 30 KB from a loopback server,
// one connection per page: first with bare blocking POSIX calls (connect, send, read until
// close), then the way the quote model fetches it (create, Get, Body, Disconnect, destroy).
// Both report the sockets each page took. The run ends with the ratio of the two per page in
// client CPU time (the thread that fetches; the server runs on a thread of its own), min and
// median of interleaved rounds.
// Each also counts, per page, the fetching thread's user and system time and how often it slept.
#include "net/KesHttp.h"
#include "net/KesSock.h"
#include "net/SocketOps.h"

#include "bench/support/Rounds.h"
#include "support/LoopbackServer.h"
#include "ui/core/Application.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// The calling thread's user and system CPU time, in seconds.
struct ThreadTimes {
    double user = 0, system = 0, waits = 0;
    static ThreadTimes Now() {
        rusage ru{};
        getrusage(RUSAGE_THREAD, &ru);
        auto sec = [](const timeval& tv) {
            return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
        };
        return {sec(ru.ru_utime), sec(ru.ru_stime), static_cast<double>(ru.ru_nvcsw)};
    }
};

// Per page, as counters: the fetching thread's user and system time, and how often it slept.
class PageTimes {
public:
    explicit PageTimes(benchmark::State& state) : State(state), Start(ThreadTimes::Now()) {}
    ~PageTimes() {
        const ThreadTimes end = ThreadTimes::Now();
        const double pages = static_cast<double>(State.iterations());
        State.counters["user_us"] = (end.user - Start.user) * 1e6 / pages;
        State.counters["sys_us"] = (end.system - Start.system) * 1e6 / pages;
        State.counters["sleeps"] = (end.waits - Start.waits) / pages;
    }

private:
    benchmark::State& State;
    ThreadTimes Start;
};

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
        double cpu0 = benchrounds::ThreadCpuSeconds();
        auto wall0 = std::chrono::steady_clock::now();
        try {
            sock.ReadLn();
        } catch (const EAbortError&) {}
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        cpuPct = 100.0 * (benchrounds::ThreadCpuSeconds() - cpu0) / wall;
        sock.Disconnect();
    }
    state.counters["cpu_pct"] = cpuPct;
}
BENCHMARK(BM_SilentReadLnCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string PageResponse() {
    std::string body = "<html><body><table>\r\n";
    while (body.size() < 30000) body += "<tr><td>2330</td><td>612.00</td><td>611.00</td><td>612.00</td></tr>\r\n";
    body += "</table></body></html>\r\n";
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

nettest::LoopbackServer& PageServer() {
    static const std::string response = PageResponse();
    static nettest::LoopbackServer server([](nettest::LoopbackServer::Conn& c) {
        c.ReadRequest();
        c.Send(response);
    });
    return server;
}

std::string PageUrl() { return "http://127.0.0.1:" + std::to_string(PageServer().Port()) + "/q/q?s=2330"; }

// One page with bare blocking POSIX calls; returns its size.
std::size_t FetchBare(int port) {
    static const std::string request = "GET /q/q?s=2330 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    char buf[65536];
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return 0;
    }
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string page;
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) page.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    benchmark::DoNotOptimize(page);
    return page.size();
}

// One page the way the quote model fetches it; returns the body's size (0: the fetch failed).
std::size_t FetchKes(const std::string& url) {
    auto* http = new TKesHTTP(nullptr);
    http->TimeOut = 15000;
    http->MaxBodyLength = 1 << 20;
    std::string body;
    try {
        http->Get(url);
        body = std::move(http->Body);  // as the quote model takes it
    } catch (...) {
        body.clear();
    }
    http->Disconnect();
    delete http;
    benchmark::DoNotOptimize(body);
    return body.size();
}

void BM_PageFetchBaseline(benchmark::State& state) {
    const int port = PageServer().Port();
    std::size_t bytes = 0;
    PageTimes times(state);
    for (auto _ : state)
        if ((bytes = FetchBare(port)) == 0) state.SkipWithError("connect failed");
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PageFetchBaseline)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

void BM_PageFetchKesHttp(benchmark::State& state) {
    const std::string url = PageUrl();
    std::size_t bytes = 0;
    const long sockets0 = sockops::StreamsCreated();
    PageTimes times(state);
    for (auto _ : state)
        if ((bytes = FetchKes(url)) == 0) state.SkipWithError("fetch failed");
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["sockets_per_page"] =
        static_cast<double>(sockops::StreamsCreated() - sockets0) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PageFetchKesHttp)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    ui::TCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The client's CPU per page beside the bare client's, in interleaved rounds.
    const int port = PageServer().Port();
    const std::string url = PageUrl();
    const benchrounds::TComparison pages = benchrounds::Compare(15, benchrounds::Repeat(300, [&url] { FetchKes(url); }),
                                                                benchrounds::Repeat(300, [port] { FetchBare(port); }));
    benchrounds::Report("HTTP client CPU per page", "a bare blocking client", pages, "<= 1.2");
    return 0;
}
