// The baseline for the board's memory: a plain Qt program that paints the same grid (eleven rows
// of six cells filling the screen, the board's faces at about 85 px on 1080 lines) with QPainter::drawText, every
// cell every second, its figures moving. It keeps no images of its own.
//   plain_board
#include "ui/widgets/Fonts.h"

#include <QApplication>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QTime>
#include <QTimer>
#include <QWidget>

namespace {

class TPlainBoard : public QWidget {
public:
    TPlainBoard() {
        setAttribute(Qt::WA_OpaquePaintEvent);
        for (const char* name :
             {"台積電", "鴻　海", "聯發科", "中華電", "國泰金", "富邦金", "台　塑", "中　鋼", "聯　電", "元大台灣50"})
            names << QString::fromUtf8(name);
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
    }

private:
    QStringList names;
    std::vector<double> prices;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ui::RegisterFontSubstitutions();
    TPlainBoard board;
    // The whole screen, as the board takes it.
    const QScreen* screen = QGuiApplication::primaryScreen();
    board.resize(screen ? screen->geometry().size() : QSize(1920, 1080));
    board.show();
    return app.exec();
}
