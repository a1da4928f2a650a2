#pragma once
// A finger held still on a widget stands for the right mouse button, which a touch screen does
// not have. The toolkit turns a touch into left-button events; this watches those that came from
// a touch screen and, when the finger has stayed down and in place for the press-and-hold time,
// calls OnHold with the point (in the widget's and in global coordinates). A release or a move
// past the drag distance before that time makes it an ordinary tap. Presses of a real mouse are
// left alone.
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QTimer>
#include <functional>

class QWidget;

namespace ui {

class TPressAndHold : public QObject {
public:
    // Watches the widget (it becomes the parent of this object).
    explicit TPressAndHold(QWidget* widget);

    // The time a finger must stay down, in milliseconds: the toolkit's press-and-hold interval.
    int HoldTime() const { return FTimer.interval(); }

    std::function<void(QPoint local, QPoint global)> OnHold;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Cancel() { FTimer.stop(); }
    void Fire();
    QPointer<QWidget> FWidget;
    QTimer FTimer;
    QPoint FLocal, FGlobal;
};

}  // namespace ui
