#include "app/window/report_window.h"

#include "app/common/report.h"
#include "app/window/dialog_units.h"
#include "ui_report_window.h"

ReportWindow::ReportWindow(Settings& settings, QWidget* parent)
    : QDialog(parent), reportText_(takeReportText(settings)),
      ui_(std::make_unique<Ui::ReportWindow>()) {
    ui_->setupUi(this);
    layoutInDialogUnits(this);
    ui_->id1028->setPlainText(QString::fromStdString(visibleText(reportText_, true)));
    connect(ui_->id1, &QPushButton::clicked, this, &QDialog::accept);
}

ReportWindow::~ReportWindow() = default;
