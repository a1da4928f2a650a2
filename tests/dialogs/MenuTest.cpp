#include "ModalDriver.h"
#include "dialogs/fDlgMenu.h"
#include "ui/core/Big5.h"
#include "ui/core/Consts.h"

#include <QCursor>
#include <QFontInfo>
#include <gtest/gtest.h>
#include <memory>

using namespace dialogtest;

namespace {

class Menu : public DialogFixture {
protected:
    // The menu as the board sets it up: one line, selected, one line tall, at a screen position,
    // and the pointer on it, as it is when the board opens the menu where the user pressed.
    // (Elsewhere, the menu's pointer watch would dismiss it whenever the test's action came
    // later than the watch's first look.)
    std::unique_ptr<TfrmDlgMenu> Make(const char* line = "更換股票", QPoint at = {200, 150}) {
        QCursor::setPos(at + QPoint(20, 20));
        auto dlg = std::make_unique<TfrmDlgMenu>(owner);
        dlg->ListBox1->SetItems({ui::Utf8ToBig5(line)});
        dlg->ListBox1->SetItemIndex(0);
        dlg->SetHeight(dlg->ListBox1->ItemHeight());
        dlg->SetLeftTop(at.x(), at.y());
        return dlg;
    }
    int Run(TfrmDlgMenu& dlg, const std::function<void()>& act) {
        return RunModal(
            dlg, [&] { return dlg.ShowModal(); }, act);
    }
};

}  // namespace

TEST_F(Menu, OneLineTallAtTheGivenPlace) {
    auto dlg = Make("結束程式", {40, 30});
    const int result = Run(*dlg, [&] {
        EXPECT_EQ(dlg->geometry(), QRect(40, 30, 303, 64));
        EXPECT_EQ(dlg->ListBox1->geometry(), QRect(0, 0, 303, 64));
        EXPECT_EQ(dlg->ListBox1->ItemIndex(), 0);
        EXPECT_EQ(dlg->ListBox1->Item(0), ui::Utf8ToBig5("結束程式"));
        EXPECT_TRUE(dlg->windowFlags() & Qt::FramelessWindowHint);
        EXPECT_EQ(QFontInfo(dlg->ListBox1->font()).family(), QString::fromUtf8("AR PL UKai TW"));
        EXPECT_EQ(dlg->ListBox1->font().pixelSize(), 64);
        EXPECT_EQ(dlg->ListBox1->viewport()->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(dlg->ListBox1->palette().color(QPalette::Base), QColor(0, 0, 128));
        EXPECT_EQ(dlg->ListBox1->palette().color(QPalette::Text), QColor(192, 192, 192));
        SaveScreenshot(dlg.get(), "menu");
        KeyTo(dlg.get(), Qt::Key_Escape);
    });
    EXPECT_EQ(result, ui::mrCancel);
}

// A press with any button chooses the line, and so does Enter; the result stays OK while the
// menu hides under the pointer.
TEST_F(Menu, PressOrEnterChoosesTheLine) {
    for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        auto dlg = Make();
        const int result = Run(*dlg, [&] {
            MouseMove(dlg->ListBox1->viewport(), {20, 20});
            // The press closes the menu; the release follows as the user lifts the finger.
            MouseClick(dlg->ListBox1->viewport(), {20, 20}, button);
        });
        EXPECT_EQ(result, ui::mrOK) << "button " << button;
    }
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto dlg = Make();
        EXPECT_EQ(Run(*dlg, [&] { KeyTo(dlg.get(), key); }), ui::mrOK) << "key " << key;
    }
}

// Placed with its top-left corner under the pointer: moving down or right within the menu keeps
// it open, moving up or left leaves it at once and dismisses it; Escape dismisses it too.
TEST_F(Menu, LeavingOrEscapeDismisses) {
    for (QPoint exit : {QPoint(0, -1), QPoint(-1, 0), QPoint(120, 64), QPoint(303, 10)}) {
        auto dlg = Make();
        const int result = Run(*dlg, [&] {
            MouseMove(dlg.get(), {0, 0});
            MouseMove(dlg.get(), {150, 30});
            MouseMove(dlg.get(), {300, 60});
            EXPECT_TRUE(dlg->isVisible()) << "closed while the pointer moved within it";
            EXPECT_EQ(dlg->ListBox1->ItemIndex(), 0);
            MouseMove(dlg.get(), exit);
        });
        EXPECT_EQ(result, ui::mrCancel) << "leaving at " << exit.x() << "," << exit.y();
    }
    auto dlg = Make();
    EXPECT_EQ(Run(*dlg, [&] { KeyTo(dlg.get(), Qt::Key_Escape); }), ui::mrCancel);
}

// The line under the pointer is selected as it moves; below the last line none is.
TEST_F(Menu, MovingSelectsTheLineUnderThePointer) {
    auto dlg = Make();
    dlg->ListBox1->SetItems({"A", "B"});
    dlg->SetHeight(3 * 64 + 10);
    const int result = Run(*dlg, [&] {
        QWidget* lines = dlg->ListBox1->viewport();
        MouseMove(lines, {10, 70});
        EXPECT_EQ(dlg->ListBox1->ItemIndex(), 1);
        MouseMove(lines, {10, 63});
        EXPECT_EQ(dlg->ListBox1->ItemIndex(), 0);
        MouseMove(lines, {10, 130});
        EXPECT_EQ(dlg->ListBox1->ItemIndex(), -1);
        KeyTo(dlg.get(), Qt::Key_Escape);
    });
    EXPECT_EQ(result, ui::mrCancel);
}
