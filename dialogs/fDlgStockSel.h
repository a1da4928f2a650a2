#pragma once
// The stock picker: a touch keypad of digits, an entry box and the list of available stocks,
// narrowed to the lines that begin with what was typed. OK (the button, Enter or a double-click
// on a line) closes it with ui::mrOK, Cancel (the button or Escape) with ui::mrCancel.
//
// Every text here is Big5 bytes: the available lines as handed in, the entry, the code returned.
// An available line is a four-byte code, one space and the name, as in "1101 台　泥".
//
// Use: create it with the owner window and the available lines, SetLeftTop(x, y), ShowModal();
// after OK read GetStockCode(); then delete it.
#include "grid/RichStringGrid.h"
#include "ui/widgets/Controls.h"

#include <QStringList>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The text with every ASCII space removed; every other byte (the full-width space included) stays.
std::string RemoveSpaces(std::string_view text);

namespace stocksel {

// The prompt "請輸入ID或名稱" in Big5: an entry equal to it counts as empty.
const std::string& PromptText();

// True when the line's first two bytes, read as a decimal integer, give 3 to 9 or 70 to 73: the
// group that the filter shows after all other lines. Two bytes that are no number are no group.
bool InLateGroup(std::string_view line);

// What FilterList shows for an entry: the matching lines, those of the groups 3 to 9 and 70 to 73
// after all others, each group in the order of `available`; and the line it selects (-1: none).
struct TFilterResult {
    std::vector<std::string> Lines;
    int Selected = -1;
};
TFilterResult FilterLines(const std::vector<std::string>& available, std::string_view entry);
// The same as positions in `available`: the lines shown are available[Lines[i]].
struct TFilterRows {
    std::vector<std::size_t> Lines;
    int Selected = -1;
};
TFilterRows FilterRows(const std::vector<std::string>& available, std::string_view entry);

// Codes are four characters (stocks), or up to six letters and digits (ETFs such as 00878 or
// 00631L, innovation-board stocks, TDRs).
constexpr std::size_t ShortCode = 4, LongCode = 6;

// A line's code: its text before the first ASCII space when that is four to six letters and
// digits, else its first four bytes. On a line of a four-character code and a space, as in
// "1101 台　泥", both are the same.
std::string CodeOfLine(std::string_view line);

// The length of the longest code of the lines, never below four: how many characters the
// keypad takes. A list of four-character codes keeps the keypad at four.
std::size_t CodeLengthOf(const std::vector<std::string>& lines);

// GetStockCode's rule: the code of the selected line (nullptr: none selected) or, without one,
// the first codeLength bytes of the entry.
std::string StockCodeOf(const std::string* selectedLine, std::string_view entry, std::size_t codeLength = ShortCode);

// Whether the board takes a picked code: any four characters, as always, or five or six letters
// and digits.
bool UsableCode(std::string_view code);

// The entry without its last character: one byte, or both bytes of a Big5 character.
std::string DeleteLastChar(std::string_view entry);

// The entry after a press on the keypad key (col, row) whose text is keyText: "x" clears it, "←"
// removes its last character, any other key appends its text while the entry is shorter than
// codeLength bytes.
std::string KeypadEntry(std::string_view entry, int col, int row, std::string_view keyText,
                        std::size_t codeLength = ShortCode);

}  // namespace stocksel

class TfrmStockSel : public ui::TForm {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 830;
    static constexpr int ClientHeight = 562;

    // availList: the available lines, copied; the list is neither changed nor held.
    TfrmStockSel(QWidget* owner, const std::vector<std::string>& availList);
    ~TfrmStockSel() override;

    // The chosen code (Big5 bytes); the caller uses it only when stocksel::UsableCode holds.
    std::string GetStockCode() const;

    ui::TPanel* Panel1;
    ui::TPanel* Panel2;
    ui::TEdit* Edit1;
    ui::TListBox* ListBox1;
    ui::TPanel* Panel3;
    grid::TRichStringGrid* g0;
    ui::TButton* bbOK;
    ui::TButton* bbCancel;

    void FormCreate();
    void FormActivate();
    void FormDestroy();
    void Edit1Change();
    bool Edit1KeyDown(int key);
    void ListBox1Click();
    void ListBox1DblClick();
    bool ListBox1KeyDown(int key);
    void g0MouseDown(Qt::MouseButton button, int x, int y);
    void g0GetAlignment(int aRow, int aCol, grid::THAlign& hAlign, grid::TVAlign& vAlign);
    void FilterList();

protected:
    bool event(QEvent* e) override;
    // The kit's controls, and the keypad with its cells and font.
    void ScaleControls(double factor) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // Parts of the form's construction.
    void CreateKeypad();
    void ConnectHandlers();
    // Moves the list's selection for Up or Down: the first line when none is selected, else the
    // previous or next line, wrapping around. False when the list is empty.
    bool MoveSelection(int key);

    bool FUpdating = false;
    // The available lines and their text, decoded once; the list shows rows of them.
    std::shared_ptr<const ui::TListLines> FAvail;
    std::size_t FCodeLength = stocksel::ShortCode;  // the longest code of the lines
};
