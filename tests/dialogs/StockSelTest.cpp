// The stock picker driven as a user drives it: keypad presses, keys in the entry box and the
// list, clicks and double-clicks on lines, OK and Cancel.
#include "ModalDriver.h"
#include "dialogs/fDlgStockSel.h"
#include "ui/core/Big5.h"
#include "ui/core/Consts.h"

#include <QApplication>
#include <QFontInfo>
#include <QScrollBar>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>
#include <memory>

using namespace dialogtest;

namespace {

std::string B5(const char* utf8) { return ui::Utf8ToBig5(utf8); }

std::vector<std::string> Available() {
    std::vector<std::string> r;
    for (const char* s : {"0050 元大台灣50", "1101 台　泥", "1102 亞　泥", "1103 嘉　泥", "1210 大成", "2330 台積電",
                          "2603 長榮", "7000 丙"})
        r.push_back(B5(s));
    return r;
}

class StockSel : public DialogFixture {
protected:
    std::unique_ptr<TfrmStockSel> dlg;

    // The caller frees the picker before its owner goes.
    void TearDown() override {
        dlg.reset();
        DialogFixture::TearDown();
    }

    void Make(const std::vector<std::string>& available = Available()) {
        dlg = std::make_unique<TfrmStockSel>(owner, available);
        dlg->SetLeftTop(150, 90);
    }
    int Run(const std::function<void()>& act) {
        if (!dlg) Make();
        return RunModal(
            *dlg, [&] { return dlg->ShowModal(); }, act);
    }
    // Presses the keypad key that shows the text (UTF-8), as a finger does.
    void Key(const char* text) {
        const std::string big5 = B5(text);
        for (int row = 0; row < dlg->g0->RowCount(); ++row)
            for (int col = 0; col < dlg->g0->ColCount(); ++col)
                if (dlg->g0->Cells(col, row) == big5) {
                    MouseClick(dlg->g0, dlg->g0->CellRect(col, row).center());
                    return;
                }
        ADD_FAILURE() << "no key " << text;
    }
    void Keys(const char* digits) {
        for (const char* p = digits; *p; ++p) Key(std::string(1, *p).c_str());
    }
    std::string Entry() const { return dlg->Edit1->Text(); }
    std::vector<std::string> Shown() const { return dlg->ListBox1->Items(); }
    std::vector<std::string> ShownCodes() const {
        std::vector<std::string> r;
        for (const std::string& l : Shown()) r.push_back(l.substr(0, 4));
        return r;
    }
    int Selected() const { return dlg->ListBox1->ItemIndex(); }
    QPoint LineCentre(int index) const { return dlg->ListBox1->visualItemRect(dlg->ListBox1->item(index)).center(); }
};

}  // namespace

TEST_F(StockSel, LaidOutForTouch) {
    const int result = Run([&] {
        EXPECT_EQ(dlg->geometry(), QRect(150, 90, 830, 562));
        EXPECT_TRUE(dlg->windowFlags() & Qt::FramelessWindowHint);
        // Ten lines of 48 pixels show in the list.
        EXPECT_EQ(dlg->ListBox1->viewport()->height(), 480);
        EXPECT_EQ(dlg->ListBox1->visualItemRect(dlg->ListBox1->item(0)).height(), 48);
        for (QWidget* w : {static_cast<QWidget*>(dlg->Edit1), static_cast<QWidget*>(dlg->ListBox1)}) {
            EXPECT_EQ(QFontInfo(w->font()).family(), QString::fromUtf8("AR PL UKai TW"));
            EXPECT_EQ(w->font().pixelSize(), 48);
        }
        // The keypad: 3 x 4 keys of 153 x 119 filling the grid, bold Arial Narrow 96.
        const char* rows[] = {"1,2,3", "4,5,6", "7,8,9", "0,←,x"};
        for (int row = 0; row < 4; ++row) EXPECT_EQ(dlg->g0->RowCommaText(row), B5(rows[row]));
        EXPECT_EQ(dlg->g0->CellRect(2, 3), QRect(308, 360, 153, 119));
        EXPECT_EQ(dlg->g0->Font().Height, 96);
        EXPECT_TRUE(dlg->g0->Font().Bold);
        EXPECT_EQ(QFontInfo(QFont(dlg->g0->Font().Name)).family(), QString::fromUtf8("Liberation Sans Narrow"));
        EXPECT_EQ(dlg->g0->cursor().shape(), Qt::PointingHandCursor);
        // Activation: the entry has the focus and the list shows every line, none selected.
        EXPECT_TRUE(dlg->Edit1->hasFocus());
        EXPECT_EQ(Shown(), Available());
        EXPECT_EQ(Selected(), -1);
        SaveScreenshot(dlg.get(), "stocksel");
        Keys("110");
        SaveScreenshot(dlg.get(), "stocksel-110");
        KeyTo(dlg.get(), Qt::Key_Escape);
    });
    EXPECT_EQ(result, ui::mrCancel);
}

// "110" narrows the list with nothing selected; a fourth digit leaves it; a fifth is ignored.
TEST_F(StockSel, KeypadDigitsNarrowTheList) {
    const int result = Run([&] {
        Keys("110");
        EXPECT_EQ(Entry(), "110");
        EXPECT_EQ(ShownCodes(), (std::vector<std::string>{"1101", "1102", "1103"}));
        EXPECT_EQ(Selected(), -1);
        EXPECT_TRUE(dlg->Edit1->hasFocus());
        EXPECT_EQ(dlg->Edit1->cursorPosition(), 3);
        Keys("1");
        EXPECT_EQ(Entry(), "1101");
        EXPECT_EQ(ShownCodes(), (std::vector<std::string>{"1101", "1102", "1103"}));
        Keys("5");
        EXPECT_EQ(Entry(), "1101");
        // The last key touched, by any button, is the keypad's current cell.
        EXPECT_EQ(dlg->g0->Col(), 1);
        EXPECT_EQ(dlg->g0->Row(), 1);
        MouseClick(dlg->g0, dlg->g0->CellRect(2, 2).center(), Qt::RightButton);
        EXPECT_EQ(dlg->g0->Col(), 2);
        EXPECT_EQ(dlg->g0->Row(), 2);
        EXPECT_EQ(Entry(), "1101");
        MouseClick(dlg->bbOK, {10, 10});
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "1101");
}

// "←" and "x" on an empty entry change nothing and leave the focus on the keypad; with text
// they remove a digit or everything, and the list follows.
TEST_F(StockSel, BackspaceAndClearKeys) {
    Run([&] {
        Key("←");
        Key("x");
        EXPECT_EQ(Entry(), "");
        EXPECT_TRUE(dlg->g0->hasFocus());
        EXPECT_EQ(Shown(), Available());
        Keys("12");
        EXPECT_EQ(ShownCodes(), (std::vector<std::string>{"1210"}));
        Key("←");
        EXPECT_EQ(Entry(), "1");
        EXPECT_EQ(Shown().size(), 4u);
        Keys("101");
        Key("←");  // back under four bytes: the list follows again
        EXPECT_EQ(Entry(), "110");
        EXPECT_EQ(ShownCodes(), (std::vector<std::string>{"1101", "1102", "1103"}));
        Key("x");
        EXPECT_EQ(Entry(), "");
        EXPECT_EQ(Shown(), Available());
        // A press on the grid's spare pixel below the keys touches no key.
        Keys("2");
        MouseClick(dlg->g0, {10, 480});
        EXPECT_EQ(Entry(), "2");
        MouseClick(dlg->bbCancel, {10, 10});
    });
    EXPECT_EQ(dlg->ModalResult(), ui::mrCancel);
}

// Up and Down in the entry box move the list's selection with wrap-around and put the whole line
// into the entry; "←" then removes whole characters; OK gives the selected line's code.
TEST_F(StockSel, UpDownInTheEntryBox) {
    const int result = Run([&] {
        const int last = static_cast<int>(Available().size()) - 1;
        KeyTo(dlg.get(), Qt::Key_Up);  // nothing selected: the first line
        EXPECT_EQ(Selected(), 0);
        EXPECT_EQ(Entry(), Available()[0]);
        KeyTo(dlg.get(), Qt::Key_Up);  // first -> last
        EXPECT_EQ(Selected(), last);
        KeyTo(dlg.get(), Qt::Key_Down);  // last -> first
        EXPECT_EQ(Selected(), 0);
        KeyTo(dlg.get(), Qt::Key_Down);
        EXPECT_EQ(Selected(), 1);
        EXPECT_EQ(Entry(), B5("1101 台　泥"));
        EXPECT_TRUE(dlg->Edit1->hasFocus());
        EXPECT_EQ(dlg->Edit1->cursorPosition(), dlg->Edit1->text().size());
        Key("←");
        EXPECT_EQ(Entry(), B5("1101 台　"));
        EXPECT_EQ(dlg->Edit1->text(), QString::fromUtf8("1101 台　"));
        Key("1");  // four bytes or more: digits are ignored, the list stays
        EXPECT_EQ(Entry(), B5("1101 台　"));
        EXPECT_EQ(Selected(), 1);
        KeyTo(dlg.get(), Qt::Key_Return);
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "1101");
}

// In the list Up and Down wrap too, and the entry shows the first four bytes, as after a click.
TEST_F(StockSel, UpDownAndClicksInTheList) {
    const int result = Run([&] {
        MouseClick(dlg->ListBox1->viewport(), LineCentre(2));
        EXPECT_EQ(Selected(), 2);
        EXPECT_EQ(Entry(), "1102");
        EXPECT_EQ(Shown(), Available()) << "a click does not refilter";
        KeyTo(dlg.get(), Qt::Key_Up);
        KeyTo(dlg.get(), Qt::Key_Up);
        EXPECT_EQ(Selected(), 0);
        EXPECT_EQ(Entry(), "0050");
        KeyTo(dlg.get(), Qt::Key_Up);
        EXPECT_EQ(Selected(), static_cast<int>(Available().size()) - 1);
        EXPECT_EQ(Entry(), "7000");
        KeyTo(dlg.get(), Qt::Key_Down);
        EXPECT_EQ(Selected(), 0);
        EXPECT_EQ(Entry(), "0050");
        // A press below the last line keeps the selection.
        MouseClick(dlg->ListBox1->viewport(), {10, 470});
        EXPECT_EQ(Selected(), 0);
        MouseClick(dlg->ListBox1->viewport(), LineCentre(5));
        EXPECT_EQ(Entry(), "2330");
        KeyTo(dlg.get(), Qt::Key_Return);
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "2330");
}

// A list longer than ten lines scrolls to keep the selected line in view.
TEST_F(StockSel, LongListKeepsTheSelectionInView) {
    std::vector<std::string> available;
    for (int i = 0; i < 30; ++i) available.push_back(std::to_string(1101 + i) + B5(" 股票"));
    Make(available);
    const int result = Run([&] {
        EXPECT_TRUE(dlg->ListBox1->verticalScrollBar()->isVisible());
        KeyTo(dlg.get(), Qt::Key_Up);
        KeyTo(dlg.get(), Qt::Key_Up);
        EXPECT_EQ(Selected(), 29);
        EXPECT_TRUE(dlg->ListBox1->viewport()->rect().contains(LineCentre(29)));
        SaveScreenshot(dlg.get(), "stocksel-long-list");
        KeyTo(dlg.get(), Qt::Key_Return);
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "1130");
}

// A drag on the lines scrolls them with the finger and selects nothing; a tap selects; a key
// that selects a line fills the entry as a tap does.
TEST_F(StockSel, ADragScrollsATapSelectsAndTheEntryFollowsTheSelection) {
    std::vector<std::string> available;
    for (int i = 0; i < 30; ++i) available.push_back(std::to_string(1101 + i) + B5(" 股票"));
    Make(available);
    const int result = Run([&] {
        QWidget* lines = dlg->ListBox1->viewport();
        const QPoint from = LineCentre(5);
        QTest::mousePress(lines, Qt::LeftButton, {}, from);
        for (int dy = 10; dy <= 144; dy += 10) QTest::mouseMove(lines, from - QPoint(0, dy));
        QTest::mouseMove(lines, from - QPoint(0, 144));
        QTest::mouseRelease(lines, Qt::LeftButton, {}, from - QPoint(0, 144));
        EXPECT_EQ(dlg->ListBox1->verticalScrollBar()->value(), 3);
        EXPECT_EQ(Selected(), -1);
        EXPECT_EQ(Entry(), "");
        KeyTo(dlg.get(), Qt::Key_Home);  // the list has the focus: the first line, and its code
        EXPECT_EQ(Selected(), 0);
        EXPECT_EQ(Entry(), "1101");
        MouseClick(lines, LineCentre(7));
        EXPECT_EQ(Selected(), 7);
        EXPECT_EQ(Entry(), "1108");
        KeyTo(dlg.get(), Qt::Key_Return);  // the form's OK, not a key of the list
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "1108");
}

TEST_F(StockSel, DoubleClickOnALineIsOk) {
    const int result = Run([&] { MouseDoubleClick(dlg->ListBox1->viewport(), LineCentre(6)); });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "2603");
}

// With no stocks to offer, Up and Down reach the entry box unchanged and typed digits are the code.
TEST_F(StockSel, EmptyListStillTakesACode) {
    Make({});
    const int result = Run([&] {
        Keys("23");
        KeyTo(dlg.get(), Qt::Key_Up);
        KeyTo(dlg.get(), Qt::Key_Down);
        EXPECT_EQ(Entry(), "23");
        EXPECT_EQ(Selected(), -1);
        Keys("30");
        KeyTo(dlg.get(), Qt::Key_Enter);
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "2330");
}

// A blank line shows once at the top of the full list; choosing it gives an empty code.
TEST_F(StockSel, BlankLineGivesAnEmptyCode) {
    std::vector<std::string> available = Available();
    available.insert(available.begin(), "");
    Make(available);
    const int result = Run([&] {
        EXPECT_EQ(Shown(), available);
        Keys("1");
        EXPECT_EQ(Shown().front().substr(0, 4), "1101") << "a blank line never matches a digit";
        Key("x");
        MouseClick(dlg->ListBox1->viewport(), LineCentre(0));
        EXPECT_EQ(Entry(), "");
        MouseClick(dlg->bbOK, {10, 10});
    });
    EXPECT_EQ(result, ui::mrOK);
    EXPECT_EQ(dlg->GetStockCode(), "");
}

// Typed on a keyboard, the code and the first character of the name without a space: the filter
// does not run at that length, but it does when the picker becomes active again.
TEST_F(StockSel, ActivationRefilters) {
    const int result = Run([&] {
        dlg->Edit1->setText(QString::fromUtf8("1101台"));
        EXPECT_EQ(Shown(), Available()) << "five bytes do not run the filter";
        // Another window takes the activation, then the picker gets it back.
        QWidget* other = new QWidget(dlg.get(), Qt::Tool);
        other->setGeometry(0, 0, 50, 50);
        other->show();
        other->activateWindow();
        QApplication::processEvents();
        other->close();
        delete other;
        dlg->activateWindow();
        QApplication::processEvents();
        EXPECT_EQ(Shown(), std::vector<std::string>{B5("1101 台　泥")});
        EXPECT_EQ(Selected(), -1);
        EXPECT_EQ(dlg->GetStockCode(), "1101");
        KeyTo(dlg.get(), Qt::Key_Escape);
    });
    EXPECT_EQ(result, ui::mrCancel);
}
