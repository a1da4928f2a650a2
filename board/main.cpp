// quoteboard: the full-screen stock-quote watch board. It reads STOCKLIST.TXT and AVAILABLE.TXT
// in the working directory, shows the board, and writes the watch list back when it ends.
#include "board/fQuoteMain.h"
#include "quote/fQuoteDef.h"
#include "ui/Application.h"
#include "ui/Fonts.h"
#include "ui/GuiApplication.h"
#include "ui/Signals.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    PrepareBoardRendering();
    ui::TApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quoteboard"));
    ui::RegisterFontSubstitutions();
    ui::InstallGuiExceptionHandler();

    int status = 0;
    std::unique_ptr<TfrmWatchMain> board;
    // A kill, a Ctrl-C in the terminal, the end of the session.
    ui::TSignalWatcher signalWatch({SIGTERM, SIGINT, SIGHUP});
    ui::Guarded([&] {
        board = std::make_unique<TfrmWatchMain>();
        signalWatch.OnSignal = [&](int signo) {
            if (board) board->CloseOnSignal(signo);
        };
        board->FormCreate();
        ReportFirstRefresh(*board);
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
    board.reset();  // FormDestroy: the watch list is written to STOCKLIST.TXT
    if (failed && status == 0) status = 1;
    return status;
}
