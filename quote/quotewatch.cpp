// quotewatch: the quote board without a screen. Loads STOCKLIST.TXT from the working directory,
// refreshes every stock at once and then every five seconds after the previous cycle, and prints
// one tab-separated line per changed stock.
#include "quote/StartupChecks.h"
#include "quote/fQuoteDef.h"
#include "ui/core/Application.h"
#include "ui/core/Big5.h"
#include "ui/core/Holidays.h"
#include "ui/core/Signals.h"
#include "ui/core/Timer.h"

#include <QTimer>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

#ifndef QB_VERSION
#define QB_VERSION "unknown"
#endif

const char Usage[] = "Usage: quotewatch [--cycles N] [--help] [--version]\n"
                     "\n"
                     "Watches the stocks of STOCKLIST.TXT in the working directory (the first ten lines, one code\n"
                     "per line) without a screen. It refreshes every stock at once, then runs a refresh cycle five\n"
                     "seconds after the previous one ended. A stock that has brought data is fetched again only in\n"
                     "the trading window (08:56 to 13:35 on trading days), every 8 to 25 seconds.\n"
                     "\n"
                     "For every stock whose quote changed it prints one line, tab-separated and in UTF-8:\n"
                     "  local time (hh:nn:ss), row (1-based), code, name, trade time, last, bid, ask, change,\n"
                     "  volume, previous close, open, high, low\n"
                     "\n"
                     "  --cycles N   end after N refresh cycles (the first, immediate one counts)\n"
                     "  --help       show this text\n"
                     "  --version    show the version\n"
                     "\n"
                     "A failed download is reported on standard error, once each time a stock's error changes.\n"
                     "SIGINT and SIGTERM end it cleanly. At the end the list is written back to STOCKLIST.TXT;\n"
                     "when that fails the exit status is 1.\n"
                     "The quote server is 127.0.0.1:8086 unless the environment variable QUOTE_SERVER gives\n"
                     "host:port (or host, meaning port 80); a malformed one is refused at start with status 2.\n";

void PrintUpdate(int index, TStockObj* stock) {
    const TStockData& d = stock->Data();
    std::string line = ui::FormatHHNNSS(ui::Now()) + "\t" + std::to_string(index + 1) + "\t" + ui::Big5ToUtf8(d.Code);
    for (const std::string& field : d.Fields) line += "\t" + ui::Big5ToUtf8(field);
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// Prints a line for every stock that turned stale or fresh again since the last call.
void ReportStaleness(TStockObjList& list, std::vector<char>& stale) {
    stale.resize(static_cast<std::size_t>(list.Count()), 0);
    for (int i = 0; i < list.Count(); ++i) {
        TStockObj* stock = list.Stocks(i);
        const bool now = stock && stock->IsStale();
        if (now == static_cast<bool>(stale[static_cast<std::size_t>(i)])) continue;
        stale[static_cast<std::size_t>(i)] = now;
        std::string line = "quotewatch: " + ui::FormatHHNNSS(ui::Now()) + " row " + std::to_string(i + 1) + " " +
                           ui::Big5ToUtf8(stock ? stock->Data().Code : std::string()) +
                           (now ? ": stale, no quote has come for too long\n" : ": fresh again\n");
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
}

// Reads the command line: the number of cycles to run (0: no limit) into cycles. Returns the
// exit status of a program that ends here, or -1 to go on.
int ReadCommandLine(int argc, char** argv, long& cycles) {
    cycles = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::puts("quotewatch " QB_VERSION);
            return 0;
        }
        if (arg == "--cycles" && i + 1 < argc) {
            unsigned long long n = 0;
            if (!ui::ParseWhole(argv[++i], LONG_MAX, n) || n < 1) {
                std::fprintf(stderr, "quotewatch: --cycles takes a whole number of 1 or more\n");
                return 2;
            }
            cycles = static_cast<long>(n);
            continue;
        }
        std::fprintf(stderr, "quotewatch: unknown argument %s\n%s", arg.c_str(), Usage);
        return 2;
    }
    if (std::string problem = QuoteServerProblem(QuoteServer()); !problem.empty()) {
        std::fprintf(stderr, "quotewatch: QUOTE_SERVER %s\n", problem.c_str());
        return 2;
    }
    return -1;
}

// Watches the list until the cycles are done or a stop signal comes; 0 when the event loop ended
// normally.
int Watch(TStockObjList& list, long cycles) {
    TFetchErrorReport errorReport("quotewatch");
    list.OnUpdate = [](TStockObjList*, int index, TStockObj* stock) { PrintUpdate(index, stock); };

    long done = 0;
    auto cycleEnded = [&] {
        errorReport.Report(list);
        if (cycles > 0 && ++done >= cycles) QCoreApplication::quit();
    };
    list.OnCycleEnd = [&](TStockObjList*) { cycleEnded(); };

    // Once a second, as the board's clock does: stocks that turned stale or fresh again.
    std::vector<char> stale;
    ui::TTimer staleCheck;
    staleCheck.SetInterval(1000);
    staleCheck.SetOnTimer([&](QObject*) { ReportStaleness(list, stale); });
    staleCheck.SetEnabled(true);

    ui::TSignalWatcher stopSignals({SIGINT, SIGTERM});
    stopSignals.OnSignal = [&](int) {
        // A running cycle ends at its next wait; no new one starts.
        list.RequestStop();
        QCoreApplication::quit();
    };

    QTimer::singleShot(0, [&] {
        ui::Guarded([&] { list.Refresh(true); });
        cycleEnded();
    });
    const int status = ui::Run();
    staleCheck.SetEnabled(false);
    list.RequestStop();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    long cycles = 0;
    if (int status = ReadCommandLine(argc, argv, cycles); status >= 0) return status;

    ui::TCoreApplication app(argc, argv);

    // Errors that reach the application (reading or writing STOCKLIST.TXT among them) go to
    // standard error and are counted.
    int errors = 0;
    ui::SetExceptionHandler([&errors](const std::string& message) {
        ++errors;
        std::fprintf(stderr, "quotewatch: %s\n", message.c_str());
        std::fflush(stderr);
    });

    // The exchange's weekday closures count as weekend days.
    ui::LoadHolidays();
    IsWeekend = ui::IsClosedDay(ui::Now());
    auto list = std::make_unique<TStockObjList>();
    int status = Watch(*list, cycles);
    // The list writes STOCKLIST.TXT back here; a failure reaches the handler above.
    const int before = errors;
    list.reset();
    if (errors > before && status == 0) status = 1;
    return status;
}
