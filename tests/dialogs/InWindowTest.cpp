// The dialogs drawn inside their owner's window, as in a Wayland session: placed in the owner's
// coordinates, over a layer that keeps every key and press from the owner while they are open.
#include "ModalDriver.h"
#include "dialogs/fDlgMenu.h"
#include "dialogs/fDlgYesNo.h"
#include "ui/core/Big5.h"
#include "ui/core/Consts.h"

#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

using namespace dialogtest;

namespace {

// Counts the keys and presses that reach the owner window itself.
class OwnerInput : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::KeyPress || e->type() == QEvent::MouseButtonPress) ++count;
        return false;
    }
};

class InWindow : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        ui::TForm::SetInOwnerWindow(true);
        owner->setGeometry(100, 80, 1024, 768);
        owner->show();
        owner->installEventFilter(&input);
    }
    // A dialog the test's action left open is closed, so that the test fails instead of hanging.
    static void CloseLater(ui::TForm* form) {
        QTimer::singleShot(3000, form, [form] {
            if (form->isVisible()) {
                ADD_FAILURE() << "the dialog stayed open";
                form->done(ui::mrNone);
            }
        });
    }
    void TearDown() override {
        ui::TForm::SetInOwnerWindow(std::nullopt);
        DialogFixture::TearDown();
    }
    OwnerInput input;
};

}  // namespace

// The menu opens at the owner's point the caller gave in screen coordinates; a key it leaves
// alone goes no further, and a press beside it dismisses it. Afterwards it is a hidden window of
// the owner's again, for its caller to delete.
TEST_F(InWindow, MenuAtTheOwnersPointDismissedByAPressBesideIt) {
    auto menu = std::make_unique<TfrmDlgMenu>(owner);
    menu->ListBox1->SetItems({ui::Utf8ToBig5("更換股票")});
    menu->ListBox1->SetItemIndex(0);
    menu->SetHeight(menu->ListBox1->ItemHeight());
    menu->SetFollowsPointer(false);
    menu->SetLeftTop(owner->mapToGlobal(QPoint(50, 40)).x(), owner->mapToGlobal(QPoint(50, 40)).y());
    QTimer::singleShot(0, [&] {
        EXPECT_FALSE(menu->isWindow());
        EXPECT_TRUE(menu->isVisible());
        EXPECT_EQ(menu->mapTo(owner, QPoint(0, 0)), QPoint(50, 40));
        QWidget* layer = menu->parentWidget();
        ASSERT_NE(layer, nullptr);
        EXPECT_EQ(layer->geometry(), owner->rect());
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : menu.get(), Qt::Key_F5);
        QTest::mouseClick(layer, Qt::LeftButton, {}, QPoint(600, 500));
    });
    CloseLater(menu.get());
    EXPECT_EQ(menu->ShowModal(), ui::mrCancel);
    EXPECT_EQ(input.count, 0) << "a key or press reached the board";
    EXPECT_TRUE(menu->isWindow());
    EXPECT_FALSE(menu->isVisible());
}

// The confirmation is centred on the owner's window and answered by Return, which its default
// button "是" takes.
TEST_F(InWindow, ConfirmationCentredOnTheOwnerAnsweredByReturn) {
    auto confirm = std::make_unique<TfrmDlgYesNo>(owner);
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(confirm->geometry().center(), owner->rect().center());
        QTest::keyClick(confirm.get(), Qt::Key_Return);
    });
    CloseLater(confirm.get());
    EXPECT_EQ(confirm->ShowModal(), ui::mrOK);
    EXPECT_EQ(input.count, 0);
}
