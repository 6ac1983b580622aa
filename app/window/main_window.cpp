#include "app/window/main_window.h"

#include "app/common/end_of_pass.h"
#include "app/common/login_flow.h"
#include "app/common/report.h"
#include "app/window/application.h"
#include "app/window/configure_dialog.h"
#include "app/window/dialog_units.h"
#include "app/window/hyperlink.h"
#include "app/window/login_dialog.h"
#include "app/window/message_boxes.h"
#include "app/window/report_window.h"
#include "game/launcher.h"
#include "pass/rollback.h"
#include "ui_main_window.h"

#include <QDesktopServices>
#include <QIcon>
#include <QTimerEvent>
#include <QUrl>

#ifndef MIRELGAN_SERVICE_HOME_PAGE
#define MIRELGAN_SERVICE_HOME_PAGE "https://mirelgan.example.org/"
#define MIRELGAN_PELVAR_HOME_PAGE "https://pelvar.example.org/"
#endif

namespace {
constexpr int pollPeriodMs = 200;
constexpr std::chrono::milliseconds closingWait{100};
} // namespace

MainWindow::MainWindow(Application& application, QWidget* parent)
    : QDialog(parent), application_(application), settings_(application.settings),
      ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    layoutInDialogUnits(this);
    setWindowIcon(QIcon(QStringLiteral(":/pelvar.svg")));
    makeHyperlink(this, 1033);
    makeHyperlink(this, 1035);
    timer_ = startTimer(pollPeriodMs);
    statusLine_.clear();
    ui_->id1000->setRange(0, 100);
    autoRunCheck_ = settings_.autoRunWoW;
    showMembers();

    connect(ui_->id2, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui_->id1013, &QPushButton::clicked, this, &MainWindow::runWoW);
    connect(ui_->id1016, &QPushButton::clicked, this, &MainWindow::configure);
    connect(ui_->id1032, &QCheckBox::clicked, this, &MainWindow::toggleAutoRun);

    if (!passRunning())
        startPass();
}

MainWindow::~MainWindow() {
    if (timer_)
        killTimer(timer_);
}

void MainWindow::startPass() {
    ::startPass(job, settings_,
                std::exchange(application_.rollback, false) ? runRollbackPass
                                                            : application_.passBody);
}

void MainWindow::showMembers() {
    ui_->id1001->setText(QString::fromStdString(visibleText(statusLine_, false)));
    ui_->id1032->setChecked(autoRunCheck_ != 0);
}

void MainWindow::showStatus(const std::string& line) {
    statusLine_ = line;
    showMembers();
}

void MainWindow::showProgress(int percent) {
    ui_->id1000->setValue(percent);
}

void MainWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timer_)
        pollJob(job, settings_, *this);
    else
        QDialog::timerEvent(event);
}

void MainWindow::runLogin() {
    runLoginFlow(
        settings_,
        [this](const LoginPrompt& prompt) {
            LoginDialog dialog(prompt, this);
            bool accepted = dialog.exec() == QDialog::Accepted;
            return LoginAnswer{accepted, dialog.userName(), dialog.password(),
                               dialog.anonymous() != 0};
        },
        [this](const std::string& line) { showStatus(line); });
}

void MainWindow::chooseDistribution() {
    DistributionDialog dialog(application_, this);
    dialog.exec();
}

void MainWindow::showReport() {
    ReportWindow report(settings_, this);
    report.exec();
}

void MainWindow::endOfPass() {
    // A complete check asked for during the pass that has just ended was not done by it: it runs
    // now, and the game (with "Auto Run WoW") starts after it.
    if (settings_.completeCheck && !passRunning()) {
        startPass();
        return;
    }
    PassClosing closing =
        endOfPassStep(settings_, application_.game, application_.arguments, job.fatalMessage());
    if (!closing.startFailure.empty())
        showMessage(this, std::string(gameStartFailed) + ":\n" + closing.startFailure);
    statusLine_ = closing.statusLine;
    ui_->id1000->setValue(100);
    job.progress = 100;
    showMembers();
}

void MainWindow::runWoW() {
    // Only in memory: the check box and the stored "autoRunWoW" keep their state.
    settings_.autoRunWoW = 1;
    endOfPass();
}

void MainWindow::configure() {
    // A count: a distribution choice may open and close inside this dialog.
    ++settings_.configureOpen;
    {
        ConfigureDialog dialog(application_, this);
        dialog.exec();
    }
    --settings_.configureOpen;
    if (settings_.autoRunWoW && !passRunning())
        endOfPass();
}

void MainWindow::toggleAutoRun() {
    settings_.autoRunWoW = settings_.autoRunWoW ? 0 : 1;
    autoRunCheck_ = settings_.autoRunWoW;
    settings_.writeFlag("autoRunWoW", autoRunCheck_);
    if (!passRunning())
        endOfPass();
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == CommandEvent::commandType()) {
        int id = static_cast<CommandEvent*>(event)->controlId();
        if (id == 1033)
            openPage(MIRELGAN_SERVICE_HOME_PAGE);
        else if (id == 1035)
            openPage(MIRELGAN_PELVAR_HOME_PAGE);
        return true;
    }
    return QDialog::event(event);
}

void MainWindow::openPage(const char* address) {
    if (!QDesktopServices::openUrl(QUrl(QString::fromUtf8(address))))
        showMessage(this,
                    std::string("No web browser could be opened. The address is:\n") + address);
}

void MainWindow::done(int result) {
    if (timer_)
        killTimer(timer_);
    timer_ = 0;
    // A pass that still runs is given a moment, then ends with the process.
    job.done.wait(closingWait);
    QDialog::done(result);
}
