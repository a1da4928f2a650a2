#pragma once
// The exit confirmation: "結束程式?" with "是" (ui::mrOK; focused and the default button, so Enter
// answers it at first) and "否" (ui::mrCancel; Escape answers it). Closing it any other way
// answers ui::mrCancel. It centres itself on the screen when shown.
//
// Use: create it with the owner window, ShowModal(), then delete it.
#include "ui/widgets/Controls.h"

class TfrmDlgYesNo : public ui::TForm {
    Q_OBJECT
public:
    static constexpr int ClientWidth = 697;
    static constexpr int ClientHeight = 265;

    explicit TfrmDlgYesNo(QWidget* owner);

    ui::TPanel* Panel1;
    ui::TPanel* Panel2;
    ui::TButton* Button1;
    ui::TButton* Button2;

protected:
    void showEvent(QShowEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
};
