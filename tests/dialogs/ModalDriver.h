#pragma once
// Drives modal dialogs from inside their modal loop. RunModal() arms a timer, starts the dialog's
// modal loop, and once the dialog is the application's active modal widget runs the given action
// on it (posting or sending it keys and mouse events). A dialog that does not open within the
// time-out fails the test, and so does one that the action leaves open: it is then closed so that
// the test ends instead of hanging.
#include <QDialog>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>

namespace dialogtest {

constexpr int DefaultTimeoutMs = 5000;

// Runs `act` once `dlg` is the active modal widget, inside the loop of `showModal` (a call such as
// dlg.ShowModal()); returns what showModal returned.
int RunModal(QDialog& dlg, const std::function<int()>& showModal, const std::function<void()>& act,
             int timeoutMs = DefaultTimeoutMs);

// Arms the same watch without starting the loop: `act` runs on whichever modal dialog is active
// next, within the time-out. For dialogs that code under test opens itself. The watch deletes
// itself once done; the caller may delete it sooner.
QPointer<QTimer> WhenModal(const std::function<void(QWidget*)>& act, int timeoutMs = DefaultTimeoutMs);

// Processes pending events, deferred deletions included.
void Settle();

// The top-level widgets that still exist, by class name; empty when everything was freed.
QString TopLevelsLeft();

// Saves a picture of the widget under <build>/screenshots/<name>.png; returns the path.
QString SaveScreenshot(QWidget* w, const QString& name);

// Clicks a key on the dialog's focused control (the dialog itself when none has the focus); the
// key travels up to the dialog as the application delivers it.
void KeyTo(QWidget* dlg, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

// Mouse actions through the window system, so the application picks the receiving control; moves
// go through the pointer itself, so the platform reports entering and leaving windows. pos is in
// w's coordinates (it may lie outside w).
void MousePress(QWidget* w, QPoint pos, Qt::MouseButton button = Qt::LeftButton);
void MouseClick(QWidget* w, QPoint pos, Qt::MouseButton button = Qt::LeftButton);
void MouseDoubleClick(QWidget* w, QPoint pos);
void MouseMove(QWidget* w, QPoint pos);

// Every dialog test has an owner window standing in for the board; when the test ends the owner
// is freed and no top-level window may be left.
class DialogFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    QWidget* owner = nullptr;
};

}  // namespace dialogtest
