#pragma once
// A periodic timer of the user-interface thread with the semantics the program's forms and
// model expect: it runs while Enabled is true, Interval is not 0 and OnTimer is set, and every
// change of those three re-arms it, so a change restarts the countdown. Setting Enabled or
// Interval to the value it already has changes nothing; SetOnTimer always re-arms, even with
// the same handler. An exception from OnTimer goes to the application's exception handler.
#include "ui/core/Events.h"

#include <QObject>
#include <QTimer>
#include <functional>

namespace ui {

class TTimer : public QObject {
public:
    explicit TTimer(QObject* owner = nullptr);
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    unsigned Interval() const { return FInterval; }
    void SetInterval(unsigned ms);
    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    void SetOnTimer(TNotifyEvent handler);

    // True while the underlying timer is armed.
    bool Active() const { return FTimer.isActive(); }

protected:
    // Kills the timer, then arms it again when it may run.
    virtual void UpdateTimer();
    virtual void FireTimer();

private:
    QTimer FTimer;
    bool FEnabled = true;
    unsigned FInterval = 1000;
    TNotifyEvent FOnTimer;
};

}  // namespace ui
