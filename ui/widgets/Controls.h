#pragma once
// The widget kit the program's forms are built from: a borderless modal form with the
// program's modal results, panels with 3-D bevels and an optional caption, an edit box and a list
// box that hold Big5 text. Text goes in and out as std::string of Big5 bytes; it is decoded only
// to be drawn or edited.
#include "ui/widgets/Colors.h"
#include "ui/widgets/Fonts.h"

#include <QAbstractListModel>
#include <QColor>
#include <QDialog>
#include <QEventLoop>
#include <QFont>
#include <QFrame>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ui {

// Sets a widget's background and text colours (window, base and button roles alike).
void SetColors(QWidget* w, const QColor& background, const QColor& text);
// Gives a widget the toolkit's own colours back, whatever the colours of the panel around it
// (buttons, scroll bars).
void UseToolkitColors(QWidget* w);

// A length or a control's place scaled by a form's factor, as a form shrunk to fit a small screen
// scales its controls (a place keeps at least one pixel each way).
int Scaled(int v, double f);
QRect Scaled(const QRect& r, double f);

// A window without title bar or border, shown modally. Its modal result is ui::mrOK or
// ui::mrCancel: Escape, reject() and a close request by the window manager give Cancel. The first
// result of a showing stands; a later one (a leave event while the window hides, say) is ignored.
//
// A form asks for the keyboard as soon as it is on the screen. A window manager gives it by
// itself; without one (a kiosk on a bare X server) the keys would stay with the owner window,
// which the modal form blocks, and the form could not be answered by key.
//
// The caller owns the form: it creates it with its owner window as parent, places it, calls
// ShowModal() and deletes it, on every path.
//
// In a Wayland session (see ui::WaylandSession) the form is drawn inside its owner's window, over
// a layer that covers the window and takes every press and key meant for it: a compositor places
// top-level windows where it likes, may not show popups, and gives the keyboard to a dialog of a
// full-screen window late or never. Its place, given in screen coordinates, is then taken
// relative to the owner's window.
class TForm : public QDialog {
    Q_OBJECT
public:
    explicit TForm(QWidget* owner);
    ~TForm() override;

    // Runs the modal loop; returns the modal result.
    int ShowModal();
    // Whether the form shows inside its owner's window (a Wayland session, or SetInOwnerWindow).
    bool InOwnerWindow() const;
    // Every form drawn inside its owner's window, or as the session decides (nullopt).
    static void SetInOwnerWindow(std::optional<bool> inside);
    int ModalResult() const { return result(); }
    // Places the window's top-left corner at a screen position.
    void SetLeftTop(int left, int top) { move(left, top); }

    void done(int r) override;
    void accept() override;
    void reject() override;

    // The area the form is kept inside: the work area of the screen around the window's place
    // (the owner's screen while the window lies on none); the owner's window when drawn inside it,
    // in the coordinates of the form's parent.
    QRect ScreenArea() const;
    // The screen that shows the owner window (the board): dialogs open there.
    QScreen* OwnerScreen() const;
    // The forms are drawn for a screen of this many lines.
    static constexpr int ReferenceHeight = 1080;
    // How much larger than drawn the form shows: the owner screen's height over ReferenceHeight,
    // never below 1. Heights count the desktop's scaled pixels, so a screen the desktop scales
    // (QT_SCALE_FACTOR, Xft.dpi) to 1080 lines gives 1.
    double ScreenFactor() const;

protected:
    // The form is scaled up by ScreenFactor() at its first showing. A form larger than the area
    // is scaled down to fit it, then moved as little as possible to lie wholly inside it: without
    // a window manager (a kiosk) nothing else keeps a dialog on the screen.
    void showEvent(QShowEvent* e) override;
    void FitInto(const QRect& area);
    // The form, its controls and its font scaled by the factor.
    void ScaleForm(double factor);
    // ScaleForm(ScreenFactor()) once, at the first showing.
    void ScaleToScreen();
    // Scales the form's own controls by the factor; the default scales every
    // panel, edit box, list box and button with its font. A form with other controls scales them
    // in its override.
    virtual void ScaleControls(double factor);
    // A press outside the form while it is drawn inside its owner's window (which the layer
    // under the form takes); by default nothing happens.
    virtual void PressOutside() {}
    // The pointer moved over the owner's window outside the form (drawn inside it).
    virtual void PointerOutside() {}

private:
    bool FClosing = false;
    bool FScaledToScreen = false;
    QEventLoop* FLoop = nullptr;  // the modal loop of a form drawn inside its owner's window
    int RunInOwnerWindow(QWidget* top);
};

enum class TBevel { None, Raised, Lowered };

// A panel: a background colour, an outer and an inner bevel of one pixel each, and an optional
// caption centred in it.
class TPanel : public QFrame {
    Q_OBJECT
public:
    explicit TPanel(QWidget* parent, const QColor& color = clBlack, TBevel outer = TBevel::Raised,
                    TBevel inner = TBevel::None);

    void SetCaption(const QString& caption);
    QString Caption() const { return FCaption; }
    // Pixels taken by the bevels on each side.
    int BorderWidth() const;
    TBevel BevelOuter() const { return FOuter; }
    TBevel BevelInner() const { return FInner; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QColor FColor;
    TBevel FOuter, FInner;
    QString FCaption;
};

// A single-line edit box with a sunken 3-D border that holds Big5 text. Text written through
// SetText() reads back byte for byte; text the user edits is encoded from what the box shows.
class TEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TEdit(QWidget* parent);

    std::string Text() const;
    void SetText(const std::string& big5);
    // Caret after the last character, nothing selected.
    void CaretToEnd();

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    std::string FBytes;
    QString FShown;
};

enum class TBorder { None, Flat, Sunken };

// Lines a list box shows: their Big5 bytes and their decoded text (Shown[i] is
// Big5ToQString(Bytes[i])). Held shared, so that a list can show some of them, in any order,
// without copying them.
struct TListLines {
    std::vector<std::string> Bytes;
    QStringList Shown;
};

// A row of a list box as the item views address it: its text and its place.
class TListItem {
public:
    TListItem() = default;
    explicit TListItem(const QModelIndex& index) : FIndex(index) {}
    QString text() const;
    const QModelIndex& Index() const { return FIndex; }
    explicit operator bool() const { return FIndex.isValid(); }
    const TListItem* operator->() const { return this; }

private:
    QModelIndex FIndex;
};

// The rows of a list box: positions in shared lines. Replacing them is one reset of the view; no
// row is an object of its own.
class TListRows : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    // rows: positions in lines; those past its end are left out.
    void SetRows(std::shared_ptr<const TListLines> lines, std::vector<std::size_t> rows);
    const std::string& Bytes(int row) const;
    int Count() const { return static_cast<int>(FRows.size()); }
    const std::shared_ptr<const TListLines>& Lines() const { return FLines; }
    const std::vector<std::size_t>& Rows() const { return FRows; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::shared_ptr<const TListLines> FLines = std::make_shared<TListLines>();
    std::vector<std::size_t> FRows;
};

// A list box of Big5 lines, each line the same height, single selection, lines kept in the order
// they are put in. Its border is drawn around the lines: none, flat (one black pixel) or sunken
// (two pixels of 3-D edge).
//
// The lines change through SetItems, SetRows, AddItem and InsertItem only: the list shows rows of
// shared lines (TListRows), whose bytes it keeps beside their text.
class TListBox : public QListView {
    Q_OBJECT
public:
    TListBox(QWidget* parent, int itemHeight, TBorder border = TBorder::Sunken);

    // All lines replaced at once, in one reset.
    void SetItems(std::vector<std::string> lines);
    // ... with the lines already decoded, shown[i] being Big5ToQString(lines[i]).
    void SetItems(std::vector<std::string> lines, const QStringList& shown);
    // ... with some of shared lines, in the order of rows (positions in lines; those past its
    // end are left out). Neither the lines nor their text are copied.
    void SetRows(std::shared_ptr<const TListLines> lines, std::vector<std::size_t> rows);
    void AddItem(const std::string& line);
    void InsertItem(int index, const std::string& line);
    std::vector<std::string> Items() const;
    std::string Item(int index) const;
    int Count() const { return FRows->Count(); }
    int ItemHeight() const { return FItemHeight; }
    // The selected line, -1 for none; setting -1 or an index out of range selects nothing.
    int ItemIndex() const;
    void SetItemIndex(int index);
    int BorderWidth() const;

    // A row as the item views address it (an empty item past the last row), and its place in
    // the viewport.
    TListItem item(int row) const;
    QRect visualItemRect(const TListItem& item) const { return visualRect(item.Index()); }

    // A key pressed in the list; returning true stops it there, before the list acts on it.
    std::function<bool(int key)> OnKeyDown;
    // The user changed the selection: a press on a line, or a key that moved the selection.
    std::function<void()> OnClick;
    // A double-click on a line.
    std::function<void()> OnDblClick;

protected:
    bool event(QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    // A tap (press and release without moving) selects the line under it; a drag scrolls the
    // lines with the finger and leaves the selection alone.
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    // Counts only when both presses of the double-click reached this list while its window was
    // active: a press that opened the dialog, or came while it was opening, is no first half. The
    // double-click event may stand for the second press or follow it.
    void mouseDoubleClickEvent(QMouseEvent* e) override;

public:
    // Line height and font scaled by the factor (a form shrunk to fit a small screen).
    void ScaleBy(double factor);

private:
    // Selects the row, scrolled into view when asked; -1 selects nothing.
    void SelectRow(int row, bool scroll);

    int FItemHeight;
    TBorder FBorder;
    TListRows* FRows;        // the list's model
    bool FPressed = false;   // the left button went down on the lines and is still down
    bool FDragging = false;  // ... and has moved far enough to be a drag
    QPoint FPressPos;
    int FPressScroll = 0;
    quint64 FLastPress = 0, FPrevPress = 0;  // time stamps of the last two counted presses
};

// A push button with a caption and a modal result for its form (ui::mrNone: none).
class TButton : public QPushButton {
    Q_OBJECT
public:
    TButton(QWidget* parent, const QString& caption, int modalResult);
    int ModalResult() const { return FModalResult; }

private:
    int FModalResult;
};

}  // namespace ui
