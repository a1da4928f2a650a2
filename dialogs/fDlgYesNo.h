#pragma once
// The exit confirmation: "結束程式?" with "是" (ui::mrOK; focused and the default button, so Enter
// answers it at first) and "否" (ui::mrCancel; Escape answers it). Closing it any other way
// answers ui::mrCancel. It centres itself on the screen when shown.
//
// Use: create it with the owner window, ShowModal(), then delete it.
#include "dialogs/Controls.h"

class TfrmDlgYesNo : public dialogs::TForm {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 697;
    static constexpr int ClientHeight = 265;

    explicit TfrmDlgYesNo(QWidget* owner);

    dialogs::TPanel* Panel1;
    dialogs::TPanel* Panel2;
    dialogs::TButton* Button1;
    dialogs::TButton* Button2;

protected:
    void showEvent(QShowEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
};
