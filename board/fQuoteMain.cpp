#include "board/fQuoteMain.h"

#include "ui/widgets/Fonts.h"

#include <QVBoxLayout>

namespace {

void MakeBlack(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, Qt::black);
    w->setPalette(p);
    w->setAutoFillBackground(true);
    w->setCursor(Qt::PointingHandCursor);
}

}  // namespace

TfrmWatchMain::TfrmWatchMain(QWidget* parent) : QWidget(parent) {
    // The window: no border or caption, black, a hand over all of it.
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    MakeBlack(this);

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    MakeBlack(Panel1);
    auto* windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->setSpacing(0);
    windowLayout->addWidget(Panel1);

    G_ = new grid::TRichStringGrid(Panel1);
    G_->setObjectName(QStringLiteral("G_"));
    G_->setCursor(Qt::PointingHandCursor);
    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->setSpacing(0);
    panelLayout->addWidget(G_);

    // The grid: black, 1-pixel lines of RGB(15,15,15), whole rows selected on navy with the
    // cells' own text colours, no highlight of the current cell, silver text by default.
    G_->SetColor(Qt::black);
    G_->SetGridLineWidth(1);
    G_->SetGridLineColor(QColor(15, 15, 15));
    G_->SetRowSelect(true);
    G_->SetSelectionColor(QColor(0, 0, 128));
    G_->SetSelectionTextColor(QColor());
    G_->SetActiveCellShow(false);
    G_->SetFitText(true);  // a long name is condensed, not cut off
    grid::TGridFont font = G_->Font();
    font.Name = QString::fromUtf8(ui::ArialFaceName);
    font.Color = QColor(192, 192, 192);
    G_->SetFont(font);

    G_->OnGetCellColor = [this](QObject* s, int r, int c, grid::TGridDrawState st, QBrush& b, grid::TGridFont& f) {
        G_GetCellColor(s, r, c, st, b, f);
    };
    G_->OnGetAlignment = [this](QObject* s, int r, int c, grid::THAlign& h, grid::TVAlign& v) {
        G_GetAlignment(s, r, c, h, v);
    };
    G_->OnRowChanging = [this](QObject* s, int o, int n, bool& allow) { G_RowChanging(s, o, n, allow); };

    // The board's grid: layout 0, 6 columns, one header row and a row per stock, row 1
    // selected. The sizes follow the first resize.
    LayoutIndex = 0;
    G_->SetColCount(ColumnCount);
    G_->SetRowCount(MaxStocks + 1);
    G_->SetRow(1);
    InitialGrid();
    G_->OnResize = [this](QObject* s) { G_Resize(s); };
}

TfrmWatchMain::~TfrmWatchMain() {
    // The grid's handlers reach this object; none may run while its members go.
    G_->OnGetCellColor = nullptr;
    G_->OnGetAlignment = nullptr;
    G_->OnRowChanging = nullptr;
    G_->OnResize = nullptr;
    if (StockList) StockList->OnUpdate = nullptr;
    FormDestroy();
}
