#pragma once
// A board window for tests: shown offscreen at a given client size, with a watch list that
// reads and writes its file in a temporary working directory and whose timer is stopped, and a
// fixed clock.
#include "board/fQuoteMain.h"
#include "support/TempDir.h"
#include "ui/core/Big5.h"
#include "ui/core/DateTime.h"

#include <QApplication>
#include <QImage>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace boardtest {

inline std::string B5(const char* utf8) { return ui::Utf8ToBig5(utf8); }

// Pixels of the colour inside the rectangle.
inline int CountColor(const QImage& image, const QRect& rect, QColor color) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (image.pixelColor(x, y).rgb() == color.rgb()) ++n;
    return n;
}

struct BoardFixture : ::testing::Test {
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::WorkingDir> cwd;
    std::function<ui::TDateTime()> oldClock;
    std::unique_ptr<TfrmWatchMain> board;

    // A Tuesday in the trading window.
    static ui::TDateTime TradingTime(int hour = 10, int minute = 30) {
        return ui::EncodeDateTime(2026, 12, 8, hour, minute, 0);
    }
    void SetTime(ui::TDateTime t) {
        ui::SetClock([t] { return t; });
    }

    void SetUp() override {
        cwd = std::make_unique<testsupport::WorkingDir>(dir.path());
        oldClock = ui::SetClock([] { return TradingTime(); });
        IsWeekend = false;
        Refreshing = false;
        Fetching = false;
        board = std::make_unique<TfrmWatchMain>();
        board->resize(1024, 768);
        board->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(board.get()));
        board->StockList = std::make_unique<TStockObjList>();
        board->StockList->Suspend(true);
        board->StockList->OnUpdate = [b = board.get()](TStockObjList* s, int i, TStockObj* st) {
            b->DO_OnUpdate(s, i, st);
        };
    }
    void TearDown() override {
        board.reset();
        ui::SetClock(oldClock);
        Refreshing = Fetching = IsWeekend = false;
        cwd.reset();
    }

    // Appends a stock with the fields given in UTF-8 (name, last, bid, ask, change, volume,
    // open, high, low) and hands all its fields to the board.
    TStockObj* AddStock(const std::string& code, const char* name, const char* last, const char* bid, const char* ask,
                        const char* change, const char* volume, const char* open = "", const char* high = "",
                        const char* low = "", float refPrice = 0) {
        auto stock = std::make_unique<TStockObj>(code);
        TStockData& d = stock->Data();
        d.Fields[qfName] = B5(name);
        d.Fields[qfTradeTime] = "13:30";
        d.Fields[qfLast] = last;
        d.Fields[qfBid] = bid;
        d.Fields[qfAsk] = ask;
        d.Fields[qfChange] = B5(change);
        d.Fields[qfVolume] = volume;
        d.Fields[qfPrevClose] = "";
        d.Fields[qfOpen] = open;
        d.Fields[qfHigh] = high;
        d.Fields[qfLow] = low;
        d.RefPrice = refPrice;
        d.Changed = 0x7ff;
        TStockObj* raw = stock.get();
        int index = board->StockList->Add(code, std::move(stock));
        board->DO_OnUpdate(board->StockList.get(), index, raw);
        raw->Data().Changed = 0;
        return raw;
    }

    grid::TRichStringGrid& G() { return *board->G_; }
    std::string Cell(int col, int row) { return ui::Big5ToUtf8(G().Cells(col, row)); }
    QImage Shot() {
        QApplication::processEvents();
        return G().grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    // The colours G_GetCellColor gives a cell: text colour, background, font.
    struct Look {
        QColor text, background;
        grid::TGridFont font;
    };
    Look CellLook(int col, int row) {
        QBrush brush(Qt::black);
        grid::TGridFont font = G().Font();
        board->G_GetCellColor(board->G_, row, col, {}, brush, font);
        return {font.Color, brush.color(), font};
    }
};

}  // namespace boardtest
