// The board fed by a real watch list from the bundled quote server on loopback: ten stocks,
// every row written through the update listener, and a screenshot of the full board kept in
// the build tree (artefacts/board-ten-stocks.png).
#include "BoardSupport.h"
#include "quote/FailingPages.h"
#include "support/ServerProcess.h"

#include <QDir>

using namespace boardtest;
using testsupport::ServerProcess;

namespace {}  // namespace

TEST_F(BoardFixture, TenStocksFromTheQuoteServer) {
    ServerProcess server;
    ASSERT_TRUE(server.Start({"--always-open", "--seed", "7"})) << server.Error();
    const std::string oldServer = QuoteServer();
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));

    // The board at full-HD size, its list read from STOCKLIST.TXT like the program's.
    board->resize(1920, 1080);
    QApplication::processEvents();
    board->StockList.reset();  // (its destructor writes the file)
    testsupport::WriteFileBytes(dir.file("STOCKLIST.TXT"), testsupport::DefaultStockList());
    board->StockList = std::make_unique<TStockObjList>();
    board->StockList->Suspend(true);
    board->StockList->OnUpdate = [b = board.get()](TStockObjList* s, int i, TStockObj* st) {
        b->DO_OnUpdate(s, i, st);
    };
    ASSERT_EQ(board->StockList->Count(), 10);
    board->StockList->Refresh(true);
    SetQuoteServer(oldServer);

    const auto names = testsupport::AvailableNames();
    for (int i = 0; i < 10; ++i) {
        const TStockObj* stock = board->StockList->Stocks(i);
        ASSERT_TRUE(stock->Data().Loaded) << stock->Data().Code;
        // The name cell holds the stock's name (the page pads two-character names).
        std::string name = G().Cells(0, i + 1);
        std::string expected = names.at(stock->Data().Code);
        EXPECT_EQ(ui::Trim(name), ui::Trim(expected)) << stock->Data().Code;
        for (int c = 1; c <= 5; ++c) {
            const int f = TfrmWatchMain::ColumnLayouts[0][c];
            // A field the page left empty never changed, so its cell was never written.
            const std::string& field = stock->Data().Fields[f];
            EXPECT_EQ(G().Cells(c, i + 1), field.empty() ? std::string() : TfrmWatchMain::CellText(f, field));
        }
        // Every price cell coloured against the reference price.
        const QColor last = [&] {
            QBrush b;
            grid::TGridFont font = G().Font();
            board->G_GetCellColor(board->G_, i + 1, 3, {}, b, font);
            return font.Color;
        }();
        EXPECT_TRUE(last == QColor(255, 0, 0) || last == QColor(0, 255, 255) || last == QColor(0, 255, 0))
            << stock->Data().Code;
    }

    // The screenshot, with the first row selected as at start.
    QImage img = Shot();
    const std::string artefacts = testsupport::BinaryDir() + "/artefacts";
    QDir().mkpath(QString::fromStdString(artefacts));
    ASSERT_TRUE(img.save(QString::fromStdString(artefacts + "/board-ten-stocks.png")));
    // Nothing is clipped: no text ink touches a cell's edge.
    for (int r = 0; r <= 10; ++r)
        for (int c = 0; c <= 5; ++c) {
            QRect cell = G().CellRect(c, r);
            QColor ground = img.pixelColor(cell.topLeft());
            for (int x = cell.left(); x <= cell.right(); ++x) {
                ASSERT_EQ(img.pixelColor(x, cell.top()), ground) << c << "," << r;
                ASSERT_EQ(img.pixelColor(x, cell.bottom()), ground) << c << "," << r;
            }
            for (int y = cell.top(); y <= cell.bottom(); ++y) {
                ASSERT_EQ(img.pixelColor(cell.left(), y), ground) << c << "," << r;
                ASSERT_EQ(img.pixelColor(cell.right(), y), ground) << c << "," << r;
            }
        }
}

// A stock whose page stalls costs the board one cycle: the next one fills the row after it,
// while the stalled row stays blank.
TEST_F(BoardFixture, TheRowAfterAStalledStockIsFilled) {
    nettest::LoopbackServer server(quotetest::FailingCodes);
    const std::string oldServer = QuoteServer();
    const int oldTimeOut = FetchTimeOutMs;
    SetQuoteServer("127.0.0.1:" + std::to_string(server.Port()));
    FetchTimeOutMs = 300;
    board->StockList.reset();
    testsupport::WriteFileBytes(dir.file("STOCKLIST.TXT"), "STLL\r\n2330\r\n");
    board->StockList = std::make_unique<TStockObjList>();
    board->StockList->Suspend(true);
    board->StockList->OnUpdate = [b = board.get()](TStockObjList* s, int i, TStockObj* st) {
        b->DO_OnUpdate(s, i, st);
    };
    auto now = std::make_shared<ui::TDateTime>(TradingTime());
    ui::SetClock([now] { return *now; });
    for (int cycle = 0; cycle < 2; ++cycle) {
        *now += ui::EncodeTime(0, 0, 6);
        board->StockList->Refresh(false);
    }
    SetQuoteServer(oldServer);
    FetchTimeOutMs = oldTimeOut;
    EXPECT_EQ(Cell(0, 1), "");
    EXPECT_EQ(ui::Trim(Cell(0, 2)), "台積電");
    EXPECT_EQ(Cell(3, 2), "1,085 ");
}
