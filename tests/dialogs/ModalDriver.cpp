// Mouse events go through the window system, as a real pointer's do.
#define QTEST_QPA_MOUSE_HANDLING
#include "ModalDriver.h"

#include "support/TempDir.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <exception>
#include <gtest/gtest.h>

namespace dialogtest {

QPointer<QTimer> WhenModal(const std::function<void(QWidget*)>& act, int timeoutMs) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    auto acted = std::make_shared<QPointer<QWidget>>();
    auto done = std::make_shared<bool>(false);
    auto readySince = std::make_shared<QPointer<QWidget>>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        auto finish = [&] {
            timer->stop();
            timer->deleteLater();
        };
        if (!*done) {
            QWidget* modal = QApplication::activeModalWidget();
            // Acts once the window is on the screen and active, and has been so for one more
            // tick, in which the work it posted itself on showing (layouts) is done.
            const bool ready =
                modal && modal->windowHandle() && modal->windowHandle()->isExposed() && modal->isActiveWindow();
            if (!ready || *readySince != modal) {
                *readySince = ready ? modal : nullptr;
                modal = nullptr;
            }
            if (!modal) {
                if (clock->elapsed() > timeoutMs) {
                    ADD_FAILURE() << "no modal dialog opened within " << timeoutMs << " ms";
                    finish();
                }
                return;
            }
            *done = true;
            *acted = modal;
            clock->restart();
            try {
                act(modal);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "the action on the dialog threw: " << e.what();
            }
            return;
        }
        // The action has run: the dialog must close within the time-out.
        QWidget* w = acted->data();
        if (!w || !w->isVisible()) {
            finish();
        } else if (clock->elapsed() > timeoutMs) {
            ADD_FAILURE() << w->metaObject()->className() << " was left open";
            if (auto* d = qobject_cast<QDialog*>(w)) d->done(-1);
            w->close();
            finish();
        }
    });
    timer->start();
    return timer;
}

int RunModal(QDialog& dlg, const std::function<int()>& showModal, const std::function<void()>& act, int timeoutMs) {
    QPointer<QTimer> watch = WhenModal(
        [&](QWidget* modal) {
            EXPECT_EQ(modal, &dlg) << "another dialog is the active modal widget";
            act();
        },
        timeoutMs);
    const int result = showModal();
    delete watch.data();
    return result;
}

void Settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

QString TopLevelsLeft() {
    Settle();
    QString names;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!names.isEmpty()) names += ", ";
        names += QString::fromLatin1(w->metaObject()->className());
    }
    return names;
}

QString SaveScreenshot(QWidget* w, const QString& name) {
    const QString dir = QString::fromStdString(testsupport::BinaryDir()) + "/screenshots";
    QDir().mkpath(dir);
    const QString path = dir + "/" + name + ".png";
    EXPECT_TRUE(w->grab().save(path)) << path.toStdString();
    return path;
}

void KeyTo(QWidget* dlg, int key, Qt::KeyboardModifiers modifiers) {
    QWidget* target = QApplication::focusWidget();
    if (!target || target->window() != dlg->window()) target = dlg->focusWidget();
    if (!target) target = dlg;
    QTest::keyClick(target, static_cast<Qt::Key>(key), modifiers);
}

void MousePress(QWidget* w, QPoint pos, Qt::MouseButton button) { QTest::mousePress(w, button, {}, pos); }

void MouseClick(QWidget* w, QPoint pos, Qt::MouseButton button) { QTest::mouseClick(w, button, {}, pos); }

void MouseDoubleClick(QWidget* w, QPoint pos) {
    // As a window system delivers it: press, release, press, the double-click, release, the
    // second press soon after the first.
    static quint64 stamp = 1'000'000'000;
    stamp += 10'000;
    const QPointF local(pos), global(w->mapToGlobal(pos));
    auto send = [&](QEvent::Type type, Qt::MouseButtons buttons, quint64 at) {
        QMouseEvent e(type, local, global, Qt::LeftButton, buttons, Qt::NoModifier);
        e.setTimestamp(at);
        QApplication::sendEvent(w, &e);
    };
    send(QEvent::MouseButtonPress, Qt::LeftButton, stamp);
    send(QEvent::MouseButtonRelease, Qt::NoButton, stamp + 20);
    send(QEvent::MouseButtonPress, Qt::LeftButton, stamp + 60);
    send(QEvent::MouseButtonDblClick, Qt::LeftButton, stamp + 60);
    send(QEvent::MouseButtonRelease, Qt::NoButton, stamp + 80);
}

void MouseMove(QWidget* w, QPoint pos) {
    // Moves the pointer itself: the platform reports the window it enters or leaves (at once
    // offscreen, a moment later from an X server).
    QCursor::setPos(w->mapToGlobal(pos));
    QCoreApplication::processEvents();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) QTest::qWait(50);
}

void DialogFixture::SetUp() {
    owner = new QWidget;
    // Not shown: the pointer over a dialog is then over that dialog alone.
    owner->setGeometry(0, 0, 1024, 768);
}

void DialogFixture::TearDown() {
    delete owner;
    owner = nullptr;
    EXPECT_EQ(TopLevelsLeft().toStdString(), "") << "top-level windows left behind";
}

}  // namespace dialogtest
