#include "ui/widgets/Controls.h"
#include "ui/core/Big5.h"

#include <QApplication>
#include <gtest/gtest.h>

namespace {

// A form of 800 x 600 with a panel and a list box, fitted into an area of the test's choosing.
class TFitForm : public ui::TForm {
public:
    TFitForm() : ui::TForm(nullptr) {
        setFixedSize(800, 600);
        Panel = new ui::TPanel(this);
        Panel->setGeometry(400, 0, 400, 600);
        List = new ui::TListBox(this, 40, ui::TBorder::None);
        List->setGeometry(0, 0, 400, 400);
        List->setFont(ui::FaceFont(ui::ArialFaceName, 40));
    }
    void Fit(const QRect& area) { FitInto(area); }
    ui::TPanel* Panel;
    ui::TListBox* List;
};

}  // namespace

// The list keeps every line's bytes as they were put in, beside rows that show them decoded line
// by line, and its line height follows the form when the form is shrunk to fit a small screen.
TEST(Controls, ListKeepsBytesAndShrinksWithItsForm) {
    TFitForm form;
    // "\xA5" is a lone lead byte: it must not join the next line's first byte.
    const std::vector<std::string> lines = {ui::Utf8ToBig5("1101 台泥"), "\xA5", "AB", "\xFF\xFE"};
    form.List->SetItems(lines);
    form.List->InsertItem(1, "X");
    form.List->AddItem("Z");
    const std::vector<std::string> expected = {lines[0], "X", lines[1], lines[2], lines[3], "Z"};
    EXPECT_EQ(form.List->Items(), expected);
    ASSERT_EQ(form.List->Count(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(form.List->Item(i), expected[i]) << i;
        EXPECT_EQ(form.List->item(i)->text(), ui::Big5ToQString(expected[i])) << i;
    }
    EXPECT_EQ(form.List->item(3)->text(), "AB");
    EXPECT_EQ(form.List->Item(6), "");

    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.List->visualItemRect(form.List->item(1)).height(), 40);
    form.Fit(QRect(100, 50, 400, 300));
    QApplication::processEvents();
    EXPECT_EQ(form.size(), QSize(400, 300));
    EXPECT_EQ(form.pos(), QPoint(100, 50));
    EXPECT_EQ(form.List->geometry(), QRect(0, 0, 200, 200));
    EXPECT_EQ(form.Panel->geometry(), QRect(200, 0, 200, 300));
    EXPECT_EQ(form.List->ItemHeight(), 20);
    EXPECT_EQ(form.List->font().pixelSize(), 20);
    EXPECT_EQ(form.List->visualItemRect(form.List->item(1)), QRect(0, 20, form.List->viewport()->width(), 20));
}

// Rows over shared lines: the list shows the rows asked for, in their order, leaves out those
// past the lines' end, keeps the selection rules of a list of its own lines, and a line added
// later goes to the list alone, never into the lines it shares.
TEST(Controls, ListShowsRowsOfSharedLines) {
    TFitForm form;
    auto shared = std::make_shared<ui::TListLines>();
    shared->Bytes = {ui::Utf8ToBig5("1101 台泥"), "1102", "2330", "\xA5"};
    for (const std::string& b : shared->Bytes) shared->Shown.push_back(ui::Big5ToQString(b));
    form.List->SetRows(shared, {2, 0, 9, 3});
    const std::vector<std::string> shown = {"2330", shared->Bytes[0], "\xA5"};
    EXPECT_EQ(form.List->Items(), shown);
    ASSERT_EQ(form.List->Count(), 3);
    EXPECT_EQ(form.List->item(1)->text(), QString::fromUtf8("1101 台泥"));
    EXPECT_FALSE(form.List->item(3));

    form.List->SetItemIndex(2);
    EXPECT_EQ(form.List->ItemIndex(), 2);
    form.List->SetRows(shared, {1});  // new rows: no selection
    EXPECT_EQ(form.List->ItemIndex(), -1);
    form.List->SetItemIndex(1);  // past the last row
    EXPECT_EQ(form.List->ItemIndex(), -1);

    form.List->AddItem("Z");
    EXPECT_EQ(form.List->Items(), (std::vector<std::string>{"1102", "Z"}));
    EXPECT_EQ(form.List->item(1)->text(), "Z");
    EXPECT_EQ(shared->Bytes.size(), 4u);
    EXPECT_EQ(shared->Shown.size(), 4);

    // Lines whose text is missing show nothing rather than reading past it.
    auto torn = std::make_shared<ui::TListLines>();
    torn->Bytes = {"A", "B"};
    torn->Shown = {"A"};
    form.List->SetRows(torn, {1, 0});
    EXPECT_EQ(form.List->Items(), std::vector<std::string>{"A"});
}
