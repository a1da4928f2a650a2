// quote-server: a simulated Taiwan stock market, or a gateway to the exchange's real-time quotes,
// over HTTP, serving the quote pages the board reads. See Usage below.
#include "server/Market.h"
#include "server/QuoteServer.h"
#include "server/SimulatorSource.h"
#include "server/TwseSource.h"
#include "server/Universe.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"
#include "ui/core/Holidays.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <malloc.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

#ifndef QB_VERSION
#define QB_VERSION "unknown"
#endif

namespace {

const char* const Usage = "usage: quote-server [--host H] [--port P] [--source NAME] [--seed N] [--always-open]\n"
                          "                    [--data FILE] [--time HH:MM:SS] [--speed X] [--help] [--version]\n"
                          "  --host H         address to listen on (127.0.0.1)\n"
                          "  --port P         port to listen on, 0 for a free one (8086)\n"
                          "  --source NAME    where the pages come from: simulator (the default), or twse for the\n"
                          "                   Taiwan Stock Exchange's real-time quote service\n"
                          "Options of the simulator:\n"
                          "  --seed N         seed of the simulated market (today's day count since 1899-12-30)\n"
                          "  --always-open    trade at any hour, not only 09:00-13:30 on trading days\n"
                          "  --data FILE      the stock universe (MARKET.TXT in the working directory or its data/\n"
                          "                   folder, else the installed one)\n"
                          "  --time HH:MM:SS  freeze the market's clock at this time of a weekday\n"
                          "  --speed X        with --always-open, run the market X times faster than the clock\n"
                          "Options of the twse gateway:\n"
                          "  --upstream URL   the quote service (https://mis.twse.com.tw/stock/api/getStockInfo.jsp)\n"
                          "  --upstream-ca FILE  certificate authorities (PEM) that the service's certificate may\n"
                          "                   chain to, besides the system's\n"
                          "  --daily-closes URL,URL  the exchange's published daily quotes (listed, over the\n"
                          "                   counter), asked after the close for closes the service did not\n"
                          "                   tell; empty: none\n"
                          "  --upstream-interval-ms N  for tests: the wait between requests (5000); the service's\n"
                          "                   userDelay still sets the least, and at most three requests go out\n"
                          "                   in any such wait\n"
                          "When ready it prints one line: quote-server listening on HOST:PORT (N stocks)\n";

const char* const DataFileName = "MARKET.TXT";

// MARKET.TXT in the working directory or its data/ folder, else the installed one. A folder the
// user may not enter is passed over.
std::string FindDataFile() {
    std::error_code ec;
    if (std::filesystem::is_regular_file(DataFileName, ec)) return DataFileName;
    std::string inData = std::string("data/") + DataFileName;
    if (std::filesystem::is_regular_file(inData, ec)) return inData;
    return ui::FindDataFile(DataFileName);
}

// "09:30:00" as seconds since midnight, -1 when it is not such a time.
int ParseTimeOfDay(const std::string& s) {
    int h, m, sec;
    char tail;
    if (std::sscanf(s.c_str(), "%2d:%2d:%2d%c", &h, &m, &sec, &tail) != 3) return -1;
    if (h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 59) return -1;
    return h * 3600 + m * 60 + sec;
}

// The server the stop signals stop, while it serves.
std::atomic<server::QuoteServer*> StoppingServer = nullptr;

extern "C" void OnStopSignal(int) {
    if (server::QuoteServer* s = StoppingServer) s->Stop();
}

int Fail(const std::string& message) {
    std::cerr << "quote-server: " << message << "\n";
    return 2;
}

// What the command line asks for.
struct Settings {
    std::string host = "127.0.0.1";
    int port = 8086;
    std::string sourceName = "simulator";
    server::TwseSource::Options twse;
    std::string dataFile;
    server::MarketClock::Options clockOptions;
    unsigned long long seed = 0;
    bool seedGiven = false;
};

// What reading one option came to, besides the exit status of a program that ends there.
constexpr int ReadOn = -1;   // the option was taken
constexpr int NotMine = -2;  // the option belongs to another group

// The command line's words, and the value that follows an option.
struct Arguments {
    std::vector<std::string> words;
    std::size_t at = 0;
    bool Value(std::string& out) {
        if (at + 1 >= words.size()) return false;
        out = words[++at];
        return true;
    }
};

// The options of the server itself and of the twse gateway.
int ReadServerOption(const std::string& a, Arguments& args, Settings& s) {
    std::string v;
    unsigned long long n;
    server::TwseSource::Options& twse = s.twse;
    if (a == "--help" || a == "-h") {
        std::cout << Usage;
        return 0;
    } else if (a == "--version") {
        std::cout << "quote-server " QB_VERSION "\n";
        return 0;
    } else if (a == "--host") {
        if (!args.Value(s.host) || s.host.empty()) return Fail("--host needs an address");
    } else if (a == "--port") {
        if (!args.Value(v) || !ui::ParseWhole(v, 65535, n)) return Fail("--port needs a number from 0 to 65535");
        s.port = static_cast<int>(n);
    } else if (a == "--source") {
        if (!args.Value(s.sourceName) || (s.sourceName != "simulator" && s.sourceName != "twse"))
            return Fail("--source needs simulator or twse");
    } else if (a == "--upstream") {
        if (!args.Value(twse.upstream)) return Fail("--upstream needs a URL");
    } else if (a == "--upstream-ca") {
        std::error_code ec;
        if (!args.Value(twse.caFile) || !std::filesystem::is_regular_file(twse.caFile, ec))
            return Fail("--upstream-ca needs a PEM file");
    } else if (a == "--daily-closes") {
        if (!args.Value(v)) return Fail("--daily-closes needs URLs separated by commas");
        twse.dailyCloses.clear();
        for (std::size_t from = 0; from < v.size();) {
            std::size_t comma = std::min(v.find(',', from), v.size());
            if (comma > from) twse.dailyCloses.push_back(v.substr(from, comma - from));
            from = comma + 1;
        }
    } else if (a == "--upstream-interval-ms") {
        if (!args.Value(v) || !ui::ParseWhole(v, 3600000, n) || n == 0)
            return Fail("--upstream-interval-ms needs a number of milliseconds");
        twse.interval = std::chrono::milliseconds(n);
        twse.rateWindow = twse.interval;  // three requests an interval, as three in 5 s by default
    } else {
        return NotMine;
    }
    return ReadOn;
}

// The options of the simulator.
int ReadSimulatorOption(const std::string& a, Arguments& args, Settings& s) {
    std::string v;
    server::MarketClock::Options& clockOptions = s.clockOptions;
    if (a == "--always-open") {
        clockOptions.alwaysOpen = true;
    } else if (a == "--seed") {
        if (!args.Value(v) || !ui::ParseWhole(v, ~0ull, s.seed)) return Fail("--seed needs a non-negative number");
        s.seedGiven = true;
    } else if (a == "--data") {
        if (!args.Value(s.dataFile)) return Fail("--data needs a file name");
    } else if (a == "--time") {
        if (!args.Value(v) || (clockOptions.fixedSecondOfDay = ParseTimeOfDay(v)) < 0)
            return Fail("--time needs a time of day HH:MM:SS");
    } else if (a == "--speed") {
        if (!args.Value(v)) return Fail("--speed needs a number");
        char* end = nullptr;
        clockOptions.speed = std::strtod(v.c_str(), &end);
        if (*end || !(clockOptions.speed > 0 && clockOptions.speed <= 1e6))
            return Fail("--speed needs a positive number");
    } else {
        return NotMine;
    }
    return ReadOn;
}

// Reads the command line into s. ReadOn when the server is to start, else the exit status.
int ReadCommandLine(int argc, char** argv, Settings& s) {
    Arguments args{std::vector<std::string>(argv + 1, argv + argc)};
    for (; args.at < args.words.size(); ++args.at) {
        const std::string a = args.words[args.at];
        int read = ReadServerOption(a, args, s);
        if (read == NotMine) read = ReadSimulatorOption(a, args, s);
        if (read == NotMine) {
            std::cerr << "quote-server: unknown argument " << a << "\n" << Usage;
            return 2;
        }
        if (read != ReadOn) return read;
    }
    const server::TwseSource::Options& twse = s.twse;
    bool upstreamGiven = twse.upstream != server::TwseSource::DefaultUpstream || !twse.caFile.empty() ||
                         twse.interval != server::TwseSource::Options{}.interval;
    if (upstreamGiven && s.sourceName != "twse") return Fail("--upstream options need --source twse");
    if (!s.seedGiven) {
        // The same market all day long, another one tomorrow.
        ui::TDateTime today = ui::Now();
        int days = static_cast<int>(today);
        s.seed = static_cast<unsigned long long>(days);
    }
    return ReadOn;
}

// The heap the C library keeps between connections rather than giving it back to the system.
constexpr int HeapKeptBytes = 4 << 20;

// The process's settings that serving many clients all day needs.
void PrepareProcess() {
    // Every page reads the local clock. Without TZ the C library checks /etc/localtime again, under
    // a process-wide lock, on each reading; with it, once.
    if (!std::getenv("TZ")) ::setenv("TZ", ":/etc/localtime", 0);

    // A connection's memory (its buffers and request) comes from the heap and goes back when it
    // closes. By default the C library hands the top of the heap back to the system at once and
    // the next connection faults it in and clears it again; keep a few MB between connections
    // instead. Idle loops give the heap back themselves, but for the top of the other loops'
    // arenas, which keep at most this much each.
    ::mallopt(M_TRIM_THRESHOLD, HeapKeptBytes);
    ::mallopt(M_TOP_PAD, HeapKeptBytes);

    // Slow or idle clients each hold an open file: allow as many as the system lets us.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    // The exchange's holidays: the simulator neither trades on them nor before their next open.
    ui::LoadHolidays();
}

// The page source named by --source, and the number of stocks it serves. Null when it cannot
// start, which is told on standard error.
std::unique_ptr<server::PageSource> MakeSource(Settings& s, std::size_t& count) {
    count = 0;
    if (s.sourceName != "simulator") {
        try {
            return std::make_unique<server::TwseSource>(s.twse);
        } catch (const std::exception& e) {
            std::cerr << "quote-server: " << e.what() << "\n";
            return nullptr;
        }
    }
    if (s.dataFile.empty()) s.dataFile = FindDataFile();
    if (s.dataFile.empty()) {
        std::cerr << "quote-server: cannot find " << DataFileName << "; give it with --data\n";
        return nullptr;
    }
    std::vector<server::Listing> universe;
    try {
        universe = server::LoadUniverse(s.dataFile);
    } catch (const std::exception& e) {
        std::cerr << "quote-server: " << e.what() << "\n";
        return nullptr;
    }
    count = universe.size();
    return std::make_unique<server::SimulatorSource>(std::move(universe), s.seed, s.clockOptions);
}

// Serves the pages of source until a stop signal. The exit status.
int Serve(server::PageSource& source, const Settings& s, std::size_t count) {
    std::signal(SIGPIPE, SIG_IGN);
    server::QuoteServer quoteServer(source);
    int bound = quoteServer.Bind(s.host, s.port);
    if (bound < 0) {
        std::cerr << "quote-server: " << quoteServer.Error() << "\n";
        return 1;
    }

    // SIGINT and SIGTERM stop the server: its loops drop every connection and Run() returns.
    StoppingServer = &quoteServer;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);

    std::cout << "quote-server listening on " << s.host << ":" << bound << " (" << count << " stocks)" << std::endl;
    bool ok = quoteServer.Run();
    StoppingServer = nullptr;
    if (!ok) {
        std::cerr << "quote-server: serving failed: " << quoteServer.Error() << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the system refuses (a file or folder it may not read, memory) is one line and
    // status 1, never an abort.
    try {
        Settings settings;
        if (int status = ReadCommandLine(argc, argv, settings); status != ReadOn) return status;
        PrepareProcess();
        std::size_t count = 0;
        std::unique_ptr<server::PageSource> source = MakeSource(settings, count);
        if (!source) return 1;
        return Serve(*source, settings, count);
    } catch (const std::exception& e) {
        std::cerr << "quote-server: " << e.what() << "\n";
        return 1;
    }
}
