// The baseline for the board's memory: a plain Qt program that paints the same grid (eleven rows
// of six cells filling the screen, the board's faces at about 85 px on 1080 lines: the clock and
// five column titles, then ten rows of a name and five figures, 66 texts) with
// QPainter::drawText, every cell every second, its figures moving. It keeps no images of its own.
// With --report-paint it prints one line once its first full paint is done (the baseline of the
// board's start-up in scripts/bench-board).
//   plain_board [--report-paint]
#include "ui/widgets/Fonts.h"

#include <QApplication>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QTime>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstring>

namespace {

class TPlainBoard : public QWidget {
public:
    explicit TPlainBoard(bool reportPaint) : reportPaint(reportPaint) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        for (const char* name :
             {"台積電", "鴻　海", "聯發科", "中華電", "國泰金", "富邦金", "台　塑", "中　鋼", "聯　電", "元大台灣50"})
            names << QString::fromUtf8(name);
        for (const char* title : {"買進價", "賣出價", "成交價", "漲跌", "成交量"}) titles << QString::fromUtf8(title);
        for (int i = 0; i < 10; ++i) prices.push_back(20 + 100 * i);
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            for (double& p : prices) p *= 1 + (QRandomGenerator::global()->bounded(21) - 10) / 1000.0;
            update();
        });
        timer->start(1000);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Qt::black);
        const int rowH = height() / 11, colW = width() / 6;
        QFont kai(QString::fromUtf8(ui::KaiFaceName)), arial(QString::fromUtf8(ui::ArialFaceName));
        kai.setPixelSize(rowH * 85 / 98);
        arial.setPixelSize(rowH * 85 / 98);
        arial.setBold(true);
        p.setFont(arial);
        p.setPen(Qt::white);
        p.drawText(QRect(0, 0, colW, rowH), Qt::AlignCenter, QTime::currentTime().toString("hh:mm"));
        p.setFont(kai);
        for (int c = 1; c < 6; ++c) p.drawText(QRect(c * colW, 0, colW, rowH), Qt::AlignCenter, titles[c - 1]);
        for (int r = 0; r < 10; ++r) {
            const QRect name(0, (r + 1) * rowH, colW, rowH);
            p.setFont(kai);
            p.setPen(Qt::yellow);
            p.drawText(name, Qt::AlignLeft | Qt::AlignVCenter, names[r]);
            p.setFont(arial);
            for (int c = 1; c < 6; ++c) {
                const double v = prices[r] * (1 + c / 1000.0);
                p.setPen(c % 2 ? Qt::red : QColor(0, 255, 255));
                p.drawText(QRect(c * colW, (r + 1) * rowH, colW, rowH), Qt::AlignRight | Qt::AlignVCenter,
                           QString::number(v, 'f', v < 100 ? 2 : 1));
            }
        }
        if (reportPaint) {
            reportPaint = false;
            std::printf("plain_board: first full paint done\n");
            std::fflush(stdout);
        }
    }

private:
    bool reportPaint;
    QStringList names, titles;
    std::vector<double> prices;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    bool reportPaint = false;
    for (int i = 1; i < argc; ++i) reportPaint = reportPaint || std::strcmp(argv[i], "--report-paint") == 0;
    TPlainBoard board(reportPaint);
    // The whole screen, as the board takes it.
    const QScreen* screen = QGuiApplication::primaryScreen();
    board.resize(screen ? screen->geometry().size() : QSize(1920, 1080));
    board.show();
    return app.exec();
}
