#include "ui/core/Timer.h"

#include "ui/core/Application.h"

namespace ui {

TTimer::TTimer(QObject* owner) : QObject(owner) {
    FTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FTimer, &QTimer::timeout, this, [this] { FireTimer(); });
}

TTimer::~TTimer() { FTimer.stop(); }

void TTimer::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    UpdateTimer();
}

void TTimer::SetInterval(unsigned ms) {
    if (ms == FInterval) return;
    FInterval = ms;
    UpdateTimer();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
    FOnTimer = std::move(handler);
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    FTimer.stop();
    if (FInterval != 0 && FEnabled && FOnTimer) FTimer.start(static_cast<int>(FInterval));
}

void TTimer::FireTimer() {
    Guarded([this] {
        if (FOnTimer) FOnTimer(this);
    });
}

}  // namespace ui
