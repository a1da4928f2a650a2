#pragma once
// The popup menu: a borderless column of large lines, worked by touch. Touching a line (any
// mouse button) or Enter closes it with ui::mrOK; Escape or the pointer leaving it closes it with
// ui::mrCancel. Whether the pointer is on it is judged in the menu's own coordinates, which every
// platform gives (a Wayland client does not know where its windows are on the screen). It does not say which line was
// chosen: its caller gives it one line and acts on that line after OK.
//
// Use: create it with the owner window, ListBox1->SetItems({line}), ListBox1->SetItemIndex(0),
// SetHeight(ListBox1->ItemHeight()), SetLeftTop(x, y), ShowModal(), then delete it.
#include "ui/widgets/Controls.h"

#include <QEvent>
#include <QTimer>

class TfrmDlgMenu : public ui::TForm {
    Q_OBJECT
public:
    static constexpr int FormWidth = 303;
    static constexpr int LineHeight = 64;

    explicit TfrmDlgMenu(QWidget* owner);

    // Sets the form's height; the width stays 303.
    void SetHeight(int height);
    // Whether the pointer leaving the menu dismisses it (the default). A menu opened by a finger
    // held on a touch screen does not follow the pointer, which is not where the finger is: it
    // stays until it is touched, Enter or Escape.
    void SetFollowsPointer(bool follows) { FFollowsPointer = follows; }

    ui::TPanel* Panel1;
    ui::TListBox* ListBox1;

    void FormActivate();
    // True when the key was handled here and goes no further.
    bool FormKeyDown(int key);
    void ListBox1MouseDown();
    void ListBox1MouseMove(int y);
    void MouseLeave();

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    // Drawn inside the board's window: a press outside the menu dismisses it, whatever opened
    // it; so does the pointer outside it, unless a finger opened it.
    void PressOutside() override;
    void PointerOutside() override;
    void hideEvent(QHideEvent* e) override;

private:
    // Watches the pointer while the menu shows. A menu opened by a press that is still held
    // gets no leave event (the pressed window holds the pointer), and one that opens away from
    // the pointer never sees it enter: the pointer's place is looked at instead.
    QTimer FPointerWatch;
    bool FFollowsPointer = true;
    void WatchPointer();
};
