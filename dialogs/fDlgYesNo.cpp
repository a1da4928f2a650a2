#include "dialogs/fDlgYesNo.h"

#include "ui/core/Application.h"
#include "ui/core/Consts.h"
#include "ui/widgets/Fonts.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

using namespace ui;

TfrmDlgYesNo::TfrmDlgYesNo(QWidget* owner) : TForm(owner) {
    // A one-pixel black frame around the client area.
    setFixedSize(ClientWidth + 2, ClientHeight + 2);
    setCursor(Qt::PointingHandCursor);

    Panel1 = new TPanel(this, clNavy, TBevel::Raised);
    Panel1->setGeometry(1, 1, ClientWidth, ClientHeight);

    Panel2 = new TPanel(Panel1, clNavy, TBevel::None);
    Panel2->setGeometry(1, 1, 695, 168);
    Panel2->setFont(FaceFont(ui::KaiFaceName, 64));
    SetColors(Panel2, clNavy, clWhite);
    Panel2->SetCaption(QString::fromUtf8("結束程式?"));

    Button1 = new TButton(Panel1, QString::fromUtf8("是"), ui::mrOK);
    Button1->setGeometry(80, 176, 240, 70);
    Button2 = new TButton(Panel1, QString::fromUtf8("否"), ui::mrCancel);
    Button2->setGeometry(376, 176, 240, 70);
    for (TButton* b : {Button1, Button2}) {
        b->setFont(FaceFont(ui::KaiFaceName, 64));
        b->setCursor(Qt::PointingHandCursor);
    }
    Button1->setDefault(true);
    Button1->setFocus();
}

void TfrmDlgYesNo::showEvent(QShowEvent* e) {
    // Centred on the work area of the board's screen (on the board's window when drawn inside
    // it), scaled for it first.
    ui::Guarded([this] {
        QRect area;
        if (!isWindow())
            area = ScreenArea();
        else if (QScreen* s = OwnerScreen())
            area = s->availableGeometry();
        if (area.isEmpty()) return;
        ScaleToScreen();
        FitInto(area);
        move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
    });
    TForm::showEvent(e);
}

void TfrmDlgYesNo::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), clBlack);
}
