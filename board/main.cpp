// quoteboard: the full-screen stock-quote watch board. It reads STOCKLIST.TXT and AVAILABLE.TXT
// in the working directory, shows the board, and writes the watch list back when it ends.
#include "board/fQuoteMain.h"
#include "grid/RichStringGrid.h"
#include "quote/StartupChecks.h"
#include "quote/fQuoteDef.h"
#include "ui/core/Application.h"
#include "ui/core/Signals.h"
#include "ui/widgets/Display.h"
#include "ui/widgets/Fonts.h"
#include "ui/widgets/GuiApplication.h"

#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#ifndef QB_VERSION
#define QB_VERSION "unknown"
#endif

namespace {

const char Usage[] = "usage: quoteboard [--help] [--version]\n";
const char Help[] = "\n"
                    "The full-screen quote board. It watches the stocks of STOCKLIST.TXT in the working directory\n"
                    "(one code per line, at most ten), offers those of AVAILABLE.TXT in its picker, and writes the\n"
                    "watch list back to STOCKLIST.TXT when it ends.\n"
                    "\n"
                    "  --help       show this text\n"
                    "  --version    show the version\n"
                    "\n"
                    "Space or a click on a header switches the layout, F5 refreshes, a right-click on a row changes\n"
                    "its stock, Escape or a right-click on the clock leaves. SIGTERM, SIGINT and SIGHUP close it\n"
                    "without asking. While it runs the screen saver and display power saving are held off.\n"
                    "The quote server is 127.0.0.1:8086 unless the environment variable QUOTE_SERVER gives\n"
                    "host:port. A failed download is reported on standard error, once each time it changes.\n";

// The command line: 0 to go on, otherwise the exit status.
int HandleArguments(int argc, char** argv, bool& done) {
    done = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(Usage, stdout);
            std::fputs(Help, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::puts("quoteboard " QB_VERSION);
            return 0;
        }
        std::fprintf(stderr, "quoteboard: unknown argument %s\n%s", argv[i], Usage);
        return 2;
    }
    if (std::string problem = QuoteServerProblem(QuoteServer()); !problem.empty()) {
        std::fprintf(stderr, "quoteboard: QUOTE_SERVER %s\n", problem.c_str());
        return 2;
    }
    if (std::string problem = ui::DisplayProblem(); !problem.empty()) {
        std::fprintf(stderr, "quoteboard: %s\n", problem.c_str());
        return 1;
    }
    done = false;
    return 0;
}

// One line on the standard output once the first refresh has filled the board: scripts wait for
// it before they look at the screen.
void ReportFirstRefresh(TfrmWatchMain& board) {
    int loaded = 0, count = 0;
    if (board.StockList) {
        count = board.StockList->Count();
        for (int i = 0; i < count; ++i) {
            TStockObj* stock = board.StockList->Stocks(i);
            if (stock && stock->Data().Loaded) ++loaded;
        }
    }
    std::printf("quoteboard: first refresh done, %d of %d stocks shown\n", loaded, count);
    std::fflush(stdout);
}

// The display can go away under the board (the session ends, the X server or the compositor
// stops first). The toolkit then ends the process with exit(1) from inside its event loop, and
// nothing on the stack is destroyed: the watch list is written by an exit handler instead.
TfrmWatchMain* LiveBoard = nullptr;

void WriteListAtExit() {
    TfrmWatchMain* board = std::exchange(LiveBoard, nullptr);
    if (!board || !board->StockList) return;
    try {
        board->StockList->SaveList();
        std::fprintf(stderr, "quoteboard: the display went away; the watch list was written\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quoteboard: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "quoteboard: the watch list could not be written\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool done = false;
    if (int status = HandleArguments(argc, argv, done); done) return status;
    grid::PrepareRendering();
    ui::TApplication app(argc, argv);
    ui::CloseDisplayProbe();
    QCoreApplication::setApplicationName(QStringLiteral("quoteboard"));
    // A wall board must not blank: held from the moment the board is on the screen (a Wayland
    // compositor counts a hold on the board's own surface) until main returns.
    std::unique_ptr<ui::TScreenSaverHold> screenAwake;
    ui::RegisterFontSubstitutions();
    ui::InstallGuiExceptionHandler();

    int status = 0;
    std::unique_ptr<TfrmWatchMain> board;
    // A kill, a Ctrl-C in the terminal, the end of the session.
    ui::TSignalWatcher signalWatch({SIGTERM, SIGINT, SIGHUP});
    // Each stock's fetch error on the standard error, once each time it changes.
    TFetchErrorReport errorReport("quoteboard");
    QTimer errorWatch;
    QObject::connect(&errorWatch, &QTimer::timeout, [&] {
        ui::Guarded([&] {
            if (board && board->StockList) errorReport.Report(*board->StockList);
        });
    });
    ui::Guarded([&] {
        board = std::make_unique<TfrmWatchMain>();
        signalWatch.OnSignal = [&](int signo) {
            if (board) board->CloseOnSignal(signo);
        };
        board->OnShown = [&] {
            screenAwake = std::make_unique<ui::TScreenSaverHold>("quoteboard", board->windowHandle());
            if (std::string held = screenAwake->Held(); !held.empty())
                std::printf("quoteboard: screen saver held off (%s)\n", held.c_str());
            else
                std::printf("quoteboard: the screen saver could not be held off\n");
            std::fflush(stdout);
        };
        LiveBoard = board.get();
        std::atexit(WriteListAtExit);
        board->FormCreate();
        if (board->StockList) errorReport.Report(*board->StockList);
        ReportFirstRefresh(*board);
        errorWatch.start(1000);
    });
    // A signal during start-up has already asked the board to close: the loop is not entered.
    if (board && !board->Signalled() && board->isVisible()) status = ui::Run();

    // Shut-down: a failure to write the watch list is reported and makes the exit status
    // non-zero. After a signal nobody may be left to answer a message box: it goes to the
    // standard error alone.
    bool failed = false;
    const bool quiet = board && board->Signalled();
    ui::ExceptionHandler shown = ui::SetExceptionHandler({});
    ui::ExceptionHandler standardError = ui::SetExceptionHandler([&](const std::string& message) {
        failed = true;
        std::fprintf(stderr, "quoteboard: %s\n", message.c_str());
        if (!quiet && shown) shown(message);
    });
    (void)standardError;
    errorWatch.stop();
    LiveBoard = nullptr;  // from here on the board writes the list itself
    board.reset();        // FormDestroy: the watch list is written to STOCKLIST.TXT
    if (failed && status == 0) status = 1;
    return status;
}
