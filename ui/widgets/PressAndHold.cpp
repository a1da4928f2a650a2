#include "ui/widgets/PressAndHold.h"

#include "ui/core/Application.h"

#include <QApplication>
#include <QInputDevice>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWidget>

namespace ui {

namespace {
bool FromTouchScreen(const QMouseEvent* e) {
    const QInputDevice* device = e->device();
    return e->source() == Qt::MouseEventSynthesizedByQt || e->source() == Qt::MouseEventSynthesizedBySystem ||
           (device && device->type() == QInputDevice::DeviceType::TouchScreen);
}
}  // namespace

TPressAndHold::TPressAndHold(QWidget* widget) : QObject(widget), FWidget(widget) {
    FTimer.setSingleShot(true);
    FTimer.setInterval(QGuiApplication::styleHints()->mousePressAndHoldInterval());
    connect(&FTimer, &QTimer::timeout, this, [this] { ui::Guarded([this] { Fire(); }); });
    widget->installEventFilter(this);
}

void TPressAndHold::Fire() {
    // The finger is still down where it went down: the widget acts as on a right-button press.
    if (FWidget && FWidget->isVisible() && OnHold) OnHold(FLocal, FGlobal);
}

bool TPressAndHold::eventFilter(QObject* watched, QEvent* event) {
    if (watched != FWidget) return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (e->button() == Qt::LeftButton && FromTouchScreen(e)) {
            FLocal = e->position().toPoint();
            FGlobal = e->globalPosition().toPoint();
            FTimer.start();
        } else {
            Cancel();
        }
        break;
    }
    case QEvent::MouseMove:
        if (FTimer.isActive()) {
            const QPoint moved = static_cast<QMouseEvent*>(event)->position().toPoint() - FLocal;
            if (moved.manhattanLength() >= QApplication::startDragDistance()) Cancel();
        }
        break;
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Hide:
    case QEvent::WindowDeactivate:
        Cancel();
        break;
    default:
        break;
    }
    return false;
}

}  // namespace ui
