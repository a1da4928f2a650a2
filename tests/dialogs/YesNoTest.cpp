#include "ModalDriver.h"
#include "dialogs/fDlgYesNo.h"
#include "ui/core/Consts.h"

#include <QFontInfo>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>
#include <memory>

using namespace dialogtest;

namespace {
class YesNo : public DialogFixture {
protected:
    int Run(const std::function<void(TfrmDlgYesNo&)>& act) {
        TfrmDlgYesNo dlg(owner);
        return RunModal(
            dlg, [&] { return dlg.ShowModal(); }, [&] { act(dlg); });
    }
};
}  // namespace

TEST_F(YesNo, CentredWithItsQuestionAndButtons) {
    const int result = Run([](TfrmDlgYesNo& dlg) {
        const QRect screen = dlg.screen()->geometry();
        EXPECT_EQ(dlg.size(), QSize(699, 267));
        EXPECT_LE(std::abs(dlg.geometry().center().x() - screen.center().x()), 1);
        EXPECT_LE(std::abs(dlg.geometry().center().y() - screen.center().y()), 1);
        EXPECT_TRUE(dlg.windowFlags() & Qt::FramelessWindowHint);
        EXPECT_EQ(dlg.Panel2->Caption(), QString::fromUtf8("結束程式?"));
        EXPECT_EQ(dlg.Button1->text(), QString::fromUtf8("是"));
        EXPECT_EQ(dlg.Button2->text(), QString::fromUtf8("否"));
        EXPECT_EQ(QFontInfo(dlg.Panel2->font()).family(), QString::fromUtf8("AR PL UKai TW"));
        EXPECT_EQ(dlg.Button1->font().pixelSize(), 64);
        EXPECT_EQ(dlg.Button2->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_TRUE(dlg.Button1->isDefault());
        EXPECT_TRUE(dlg.Button1->hasFocus());
        SaveScreenshot(&dlg, "yesno");
        KeyTo(&dlg, Qt::Key_Escape);
    });
    EXPECT_EQ(result, ui::mrCancel);
}

TEST_F(YesNo, AnswersOkOnlyForYes) {
    EXPECT_EQ(Run([](TfrmDlgYesNo& d) { KeyTo(&d, Qt::Key_Return); }), ui::mrOK) << "Enter at first";
    EXPECT_EQ(Run([](TfrmDlgYesNo& d) { MouseClick(d.Button1, {20, 20}); }), ui::mrOK) << "click on 是";
    EXPECT_EQ(Run([](TfrmDlgYesNo& d) { MouseClick(d.Button2, {20, 20}); }), ui::mrCancel) << "click on 否";
    EXPECT_EQ(Run([](TfrmDlgYesNo& d) { KeyTo(&d, Qt::Key_Escape); }), ui::mrCancel) << "Escape";
    EXPECT_EQ(Run([](TfrmDlgYesNo& d) {
                  KeyTo(&d, Qt::Key_Tab);
                  EXPECT_TRUE(d.Button2->hasFocus());
                  KeyTo(&d, Qt::Key_Return);
              }),
              ui::mrCancel)
        << "Tab to 否, then Enter";
    EXPECT_EQ(Run([](TfrmDlgYesNo& d) { d.windowHandle()->close(); }), ui::mrCancel) << "window-manager close";
}
