#include "dialogs/fDlgStockSel.h"

#include "ui/core/Application.h"
#include "ui/core/Big5.h"
#include "ui/core/Consts.h"
#include "ui/core/ScopeGuard.h"
#include "ui/widgets/Fonts.h"

#include <QEvent>
#include <QKeyEvent>
#include <QScrollBar>
#include <algorithm>

using namespace ui;

std::string RemoveSpaces(std::string_view text) {
    std::string r;
    r.reserve(text.size());
    for (char c : text)
        if (c != ' ') r += c;
    return r;
}

namespace stocksel {

namespace {
constexpr int KeyCols = 3, KeyRows = 4;
constexpr int ClearCol = 2, ClearRow = 3;
constexpr int BackCol = 1, BackRow = 3;
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool AllAlnum(std::string_view s) {
    for (char c : s)
        if (!IsAlnum(c)) return false;
    return true;
}

// RemoveSpaces(line).starts_with(key), without the copy.
bool StartsWithSkippingSpaces(std::string_view line, std::string_view key) {
    std::size_t i = 0;
    for (char k : key) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size() || line[i] != k) return false;
        ++i;
    }
    return true;
}

// A text read as a decimal integer as the toolkit's string-to-integer conversion reads it:
// leading spaces, an optional sign, then digits to the end. False when it is no number.
bool ReadInt(std::string_view s, int& value) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size()) return false;
    int v = 0;
    for (; i < s.size(); ++i) {
        if (!IsDigit(s[i])) return false;
        v = v * 10 + (s[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}
}  // namespace

const std::string& PromptText() {
    static const std::string prompt = ui::Utf8ToBig5("請輸入ID或名稱");
    return prompt;
}

bool InLateGroup(std::string_view line) {
    int group = 0;
    if (!ReadInt(line.substr(0, 2), group)) return false;
    return (group >= 3 && group <= 9) || (group >= 70 && group <= 73);
}

TFilterRows FilterRows(const std::vector<std::string>& available, std::string_view entry) {
    TFilterRows r;
    if (entry.empty() || entry == PromptText()) {
        r.Lines.resize(available.size());
        for (std::size_t i = 0; i < available.size(); ++i) r.Lines[i] = i;
        return r;
    }
    const std::string key = ui::Trim(entry);
    std::vector<std::size_t> late;
    for (std::size_t i = 0; i < available.size(); ++i) {
        if (!StartsWithSkippingSpaces(available[i], key)) continue;
        (InLateGroup(available[i]) ? late : r.Lines).push_back(i);
    }
    r.Lines.insert(r.Lines.end(), late.begin(), late.end());
    const std::string codeLine = key + ' ';
    for (std::size_t i = 0; i < r.Lines.size(); ++i) {
        if (available[r.Lines[i]].starts_with(codeLine)) {
            r.Selected = static_cast<int>(i);
            break;
        }
    }
    return r;
}

TFilterResult FilterLines(const std::vector<std::string>& available, std::string_view entry) {
    const TFilterRows rows = FilterRows(available, entry);
    TFilterResult r;
    r.Lines.reserve(rows.Lines.size());
    for (std::size_t i : rows.Lines) r.Lines.push_back(available[i]);
    r.Selected = rows.Selected;
    return r;
}

std::string CodeOfLine(std::string_view line) {
    const std::string_view head = line.substr(0, line.find(' '));
    if (head.size() >= ShortCode && head.size() <= LongCode && AllAlnum(head)) return std::string(head);
    return std::string(line.substr(0, ShortCode));
}

std::size_t CodeLengthOf(const std::vector<std::string>& lines) {
    std::size_t longest = ShortCode;
    for (const std::string& line : lines) longest = std::max(longest, CodeOfLine(line).size());
    return longest;
}

std::string StockCodeOf(const std::string* selectedLine, std::string_view entry, std::size_t codeLength) {
    if (selectedLine) {
        const std::string line = ui::Trim(*selectedLine);
        if (line.find(' ') != std::string::npos) return ui::Trim(CodeOfLine(line));
        return line;
    }
    return std::string(entry.substr(0, codeLength));
}

bool UsableCode(std::string_view code) {
    return code.size() == ShortCode || (code.size() > ShortCode && code.size() <= LongCode && AllAlnum(code));
}

std::string DeleteLastChar(std::string_view entry) {
    // Walk the characters from the start: a byte from 81 to FE hex leads a two-byte character.
    std::size_t i = 0, last = 0;
    while (i < entry.size()) {
        last = i;
        const auto b = static_cast<unsigned char>(entry[i]);
        i += (b >= 0x81 && b <= 0xFE && i + 1 < entry.size()) ? 2 : 1;
    }
    return std::string(entry.substr(0, last));
}

std::string KeypadEntry(std::string_view entry, int col, int row, std::string_view keyText, std::size_t codeLength) {
    if (col < 0 || row < 0 || col >= KeyCols || row >= KeyRows) return std::string(entry);
    if (col == ClearCol && row == ClearRow) return {};
    if (col == BackCol && row == BackRow) return DeleteLastChar(entry);
    if (entry.size() < codeLength) return std::string(entry) + std::string(keyText);
    return std::string(entry);
}

}  // namespace stocksel

TfrmStockSel::TfrmStockSel(QWidget* owner, const std::vector<std::string>& availList) : TForm(owner) {
    setFixedSize(ClientWidth, ClientHeight);
    SetColors(this, clBlack, clWhite);
    setFont(FaceFont(ui::KaiFaceName, 48));

    Panel1 = new TPanel(this, clBlack, TBevel::Raised);
    Panel1->setGeometry(0, 0, ClientWidth, ClientHeight);
    const int inner = Panel1->BorderWidth();
    const int innerHeight = ClientHeight - 2 * inner;

    Panel2 = new TPanel(Panel1, clBlack, TBevel::Raised, TBevel::Lowered);
    Panel2->setGeometry(inner, inner, 353, innerHeight);

    Edit1 = new TEdit(Panel2);
    Edit1->setGeometry(7, 8, 340, 56);
    SetColors(Edit1, clBlack, clYellow);
    Edit1->setFont(FaceFont(ui::KaiFaceName, 48));

    ListBox1 = new TListBox(Panel2, 48, TBorder::Sunken);
    ListBox1->setGeometry(7, 66, 340, 484);
    SetColors(ListBox1, clBlack, clWhite);
    ListBox1->setFont(FaceFont(ui::KaiFaceName, 48));
    UseToolkitColors(ListBox1->verticalScrollBar());

    Panel3 = new TPanel(Panel1, clBlack, TBevel::Raised, TBevel::Lowered);
    Panel3->setGeometry(inner + 353, inner, ClientWidth - 2 * inner - 353, innerHeight);

    CreateKeypad();

    bbOK = new TButton(Panel3, QString::fromUtf8("確定"), ui::mrOK);
    bbOK->setGeometry(5, 495, 310, 58);
    bbCancel = new TButton(Panel3, QString::fromUtf8("取消"), ui::mrCancel);
    bbCancel->setGeometry(317, 495, 150, 58);
    for (TButton* b : {bbOK, bbCancel}) b->setFont(FaceFont(ui::KaiFaceName, 48));
    bbOK->setDefault(true);

    ConnectHandlers();

    // Emptying the entry runs the filter before the list exists; the filter knows to wait.
    Edit1->SetText({});
    auto avail = std::make_shared<ui::TListLines>();
    avail->Bytes = availList;
    avail->Shown = ui::Big5ToQStrings(availList);
    FAvail = std::move(avail);
    FCodeLength = stocksel::CodeLengthOf(availList);
    FormCreate();
}

// The keypad: three columns of four keys, 153 x 119 pixels each, in bold "Arial Narrow".
void TfrmStockSel::CreateKeypad() {
    g0 = new grid::TRichStringGrid(Panel3);
    g0->setGeometry(5, 8, 463, 481);
    g0->SetColCount(3);
    g0->SetRowCount(4);
    g0->SetDefaultColWidth(153);
    g0->SetDefaultRowHeight(119);
    g0->SetGridLineWidth(1);
    g0->SetGridLineColor(clSilver);
    g0->SetColor(clBlack);
    g0->SetFont(grid::TGridFont{QString::fromUtf8(ui::ArialNarrowFaceName), 96, clWhite, true, false});
    g0->SetSelectionColor(clNavy);
    g0->SetSelectionTextColor(clYellow);
    g0->SetRowSelect(false);
    g0->setCursor(Qt::PointingHandCursor);
}

// Handlers. Each runs inside the event dispatch and keeps its exceptions to itself.
void TfrmStockSel::ConnectHandlers() {
    connect(Edit1, &QLineEdit::textChanged, this, [this] { ui::Guarded([this] { Edit1Change(); }); });
    Edit1->installEventFilter(this);
    ListBox1->OnKeyDown = [this](int key) {
        bool handled = false;
        ui::Guarded([&] { handled = ListBox1KeyDown(key); });
        return handled;
    };
    ListBox1->OnClick = [this] { ui::Guarded([this] { ListBox1Click(); }); };
    ListBox1->OnDblClick = [this] { ui::Guarded([this] { ListBox1DblClick(); }); };
    g0->OnMouseDown = [this](QObject*, Qt::MouseButton button, Qt::MouseButtons, Qt::KeyboardModifiers, int x, int y) {
        ui::Guarded([&] { g0MouseDown(button, x, y); });
    };
    g0->OnGetAlignment = [this](QObject*, int aRow, int aCol, grid::THAlign& h, grid::TVAlign& v) {
        ui::Guarded([&] { g0GetAlignment(aRow, aCol, h, v); });
    };
}

TfrmStockSel::~TfrmStockSel() {
    // The controls outlive this part of the form by a moment: no handler may reach it from them.
    disconnect(Edit1, nullptr, this, nullptr);
    Edit1->removeEventFilter(this);
    ListBox1->OnKeyDown = nullptr;
    ListBox1->OnClick = nullptr;
    ListBox1->OnDblClick = nullptr;
    g0->OnMouseDown = nullptr;
    g0->OnGetAlignment = nullptr;
    FormDestroy();
}

void TfrmStockSel::FormCreate() {
    static const char* const rows[] = {"1,2,3", "4,5,6", "7,8,9", "0,←,x"};
    for (int row = 0; row < 4; ++row) g0->SetRowCommaText(row, ui::Utf8ToBig5(rows[row]));
}

void TfrmStockSel::FormActivate() {
    Edit1->setFocus(Qt::ActiveWindowFocusReason);
    Edit1->CaretToEnd();
    FilterList();
}

void TfrmStockSel::FormDestroy() { FAvail.reset(); }

std::string TfrmStockSel::GetStockCode() const {
    const int index = ListBox1->ItemIndex();
    if (index >= 0) {
        const std::string line = ListBox1->Item(index);
        return stocksel::StockCodeOf(&line, Edit1->Text(), FCodeLength);
    }
    return stocksel::StockCodeOf(nullptr, Edit1->Text(), FCodeLength);
}

void TfrmStockSel::Edit1Change() {
    // A list of longer codes (ETFs) narrows on to the length of its longest code.
    if (Edit1->Text().size() < FCodeLength) FilterList();
}

void TfrmStockSel::FilterList() {
    if (FUpdating || !FAvail) return;
    stocksel::TFilterRows r = stocksel::FilterRows(FAvail->Bytes, Edit1->Text());
    // The list shows rows of the lines decoded once: nothing is copied or decoded again on a
    // keypad press.
    ListBox1->SetRows(FAvail, std::move(r.Lines));
    ListBox1->SetItemIndex(r.Selected);
    if (r.Selected < 0) ListBox1->scrollToTop();
}

bool TfrmStockSel::MoveSelection(int key) {
    const int count = ListBox1->Count();
    if (count == 0) return false;
    const int index = ListBox1->ItemIndex();
    if (index < 0)
        ListBox1->SetItemIndex(0);
    else if (key == Qt::Key_Up)
        ListBox1->SetItemIndex((index - 1 + count) % count);
    else
        ListBox1->SetItemIndex((index + 1) % count);
    return true;
}

bool TfrmStockSel::Edit1KeyDown(int key) {
    if (key != Qt::Key_Up && key != Qt::Key_Down) return false;
    if (!MoveSelection(key)) return false;
    FUpdating = true;
    ui::Finally updated{[this] { FUpdating = false; }};
    Edit1->SetText(ListBox1->Item(ListBox1->ItemIndex()));
    Edit1->CaretToEnd();
    return true;
}

void TfrmStockSel::ListBox1Click() {
    FUpdating = true;
    ui::Finally updated{[this] { FUpdating = false; }};
    const int index = ListBox1->ItemIndex();
    Edit1->SetText(index >= 0 ? stocksel::CodeOfLine(ListBox1->Item(index)) : std::string());
}

void TfrmStockSel::ListBox1DblClick() { done(ui::mrOK); }

bool TfrmStockSel::ListBox1KeyDown(int key) {
    if (ListBox1->Count() == 0) return false;
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
        MoveSelection(key);
        ListBox1Click();
        return true;
    }
    if (ListBox1->ItemIndex() < 0) ListBox1->SetItemIndex(0);
    return false;
}

void TfrmStockSel::g0MouseDown(Qt::MouseButton, int x, int y) {
    int col = -1, row = -1;
    g0->MouseToCell(x, y, col, row);
    if (col < 0 || row < 0) return;
    // The key last touched, by any button, is the keypad's current cell.
    g0->SetCol(col);
    g0->SetRow(row);
    const std::string entry = Edit1->Text();
    const std::string next = stocksel::KeypadEntry(entry, col, row, g0->Cells(col, row), FCodeLength);
    if (next == entry) return;
    Edit1->SetText(next);
    Edit1->setFocus(Qt::MouseFocusReason);
    Edit1->CaretToEnd();
}

void TfrmStockSel::g0GetAlignment(int, int, grid::THAlign& hAlign, grid::TVAlign& vAlign) {
    hAlign = grid::THAlign::Center;
    vAlign = grid::TVAlign::Center;
}

void TfrmStockSel::ScaleControls(double f) {
    TForm::ScaleControls(f);
    g0->setGeometry(Scaled(g0->geometry(), f));
    g0->SetDefaultColWidth(Scaled(g0->DefaultColWidth(), f));
    g0->SetDefaultRowHeight(Scaled(g0->DefaultRowHeight(), f));
    grid::TGridFont font = g0->Font();
    font.Height = std::max(1, Scaled(font.Height, f));
    g0->SetFont(font);
}

bool TfrmStockSel::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) ui::Guarded([this] { FormActivate(); });
    return TForm::event(e);
}

bool TfrmStockSel::eventFilter(QObject* watched, QEvent* e) {
    if (watched == Edit1 && e->type() == QEvent::KeyPress) {
        bool handled = false;
        ui::Guarded([&] { handled = Edit1KeyDown(static_cast<QKeyEvent*>(e)->key()); });
        if (handled) return true;
    }
    return TForm::eventFilter(watched, e);
}
