#include "app/window/report_window.h"

#include "app/common/report.h"
#include "app/window/dialog_units.h"
#include "base/fs.h"
#include "ui_report_window.h"

namespace {
// The template's margins around the text and the OK button, in dialog units.
constexpr int margin = 7;
constexpr int buttonGap = 8;
constexpr QSize buttonSize{50, 14};
// The smallest the window becomes: a few lines of text above its button.
constexpr QSize smallest{150, 80};
} // namespace

ReportWindow::ReportWindow(Settings& settings, QWidget* parent)
    : ReportWindow(settings, currentGameDirectory(), parent) {}

ReportWindow::ReportWindow(Settings& settings, const std::string& gameDirectory, QWidget* parent)
    : QDialog(parent), reportText_(takeReportText(settings, gameDirectory)),
      ui_(std::make_unique<Ui::ReportWindow>()) {
    ui_->setupUi(this);
    layoutInDialogUnits(this);
    ui_->id1028->setPlainText(QString::fromStdString(visibleText(reportText_, true)));
    connect(ui_->id1, &QPushButton::clicked, this, &QDialog::accept);
    // Laid out at the template's size, and then the user's to resize; nothing of it is kept.
    QSize laidOut = size();
    setMinimumSize(dialogUnitsToPixels({{0, 0}, smallest}, layoutBaseUnits(this)).size());
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    setSizeGripEnabled(true);
    resize(laidOut);
}

ReportWindow::~ReportWindow() = default;

void ReportWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    QSizeF base = layoutBaseUnits(this);
    QRect button = dialogUnitsToPixels({{0, 0}, buttonSize}, base);
    QRect edge = dialogUnitsToPixels({0, 0, margin, margin}, base);
    int buttonTop = height() - edge.height() - button.height();
    button.moveTo((width() - button.width()) / 2, buttonTop);
    ui_->id1->setGeometry(button);
    int textBottom = buttonTop - dialogUnitsToPixels({0, 0, 0, buttonGap}, base).height();
    ui_->id1028->setGeometry(edge.width(), edge.height(), width() - 2 * edge.width(),
                             textBottom - edge.height());
}
