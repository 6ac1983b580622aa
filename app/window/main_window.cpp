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
#include "base/fs.h"
#include "game/launcher.h"
#include "job_channel/worker_job.h"
#include "pass/patch_run.h"
#include "pass/rollback.h"
#include "settings/settings.h"
#include "ui_main_window.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDesktopServices>
#include <QIcon>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>
#include <unistd.h>

#ifndef MIRELGAN_SERVICE_HOME_PAGE
#define MIRELGAN_SERVICE_HOME_PAGE "https://mirelgan.example.org/"
#define MIRELGAN_PELVAR_HOME_PAGE "https://pelvar.example.org/"
#endif

namespace {
constexpr int pollPeriodMs = 200;
// How long start-up's note on the installation used stays before the first pass begins.
constexpr std::chrono::milliseconds startupNoteShown{2500};
// How long "Run WoW" and closing wait for a pass to stop at its next safe point; one that has
// not stopped by then ends with the process (the game's start replaces it).
constexpr std::chrono::milliseconds stopWait{1000};

constexpr char nothingToRollBack[] = "Nothing to roll back.";
constexpr char nothingToRelease[] = "Nothing to release.";
constexpr char noDistributionChosen[] =
    "No distribution was chosen, so no Interface files were patched; the choice comes again at "
    "the next start.";

// `pelvar --release`: the markers that rollbacks made go, under the game directory's lock, and
// the report says which.
void runReleasePass(WorkerJob& job) {
    Settings& settings = job.settings;
    DirectoryLock gameDirectory = lockGameDirectory(job);
    job.status("Releasing the files held by rollbacks");
    std::vector<std::string> lines = releaseHeld(settings.key);
    // Without the record of the markers nothing was released.
    if (lines.size() == 1 && lines[0].starts_with("Error: couldn't read")) {
        std::string why =
            settings.key.isOpen() ? settings.key.takeFailure() : settings.storeError();
        job.fatal("Can't read the markers that rollbacks made%s%s%s: close any other program that "
                  "uses the settings and try again",
                  why.empty() ? "" : " (", why.c_str(), why.empty() ? "" : ")");
    }
    if (lines.empty())
        lines.push_back(nothingToRelease);
    job.status("Release Complete");
    settings.reportLines.insert(settings.reportLines.end(), lines.begin(), lines.end());
    settings.rollbackReport = true;
}

// Assistive tools take the main window for what it is, the program's window, not a dialog.
QAccessibleInterface* mainWindowAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("MainWindow") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

MainWindow::MainWindow(Application& application, QWidget* parent)
    : QDialog(parent), application_(application), settings_(application.settings),
      ui_(std::make_unique<Ui::MainWindow>()) {
    static const bool accessibleAsAWindow =
        (QAccessible::installFactory(mainWindowAccessible), true);
    (void)accessibleAsAWindow;
    ui_->setupUi(this);
    showGameDirectory();
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

    if (passRunning())
        return;
    if (application_.startupNotes.empty()) {
        startPass();
        return;
    }
    // Which of several installations start-up took, and how to choose another, is read before
    // the pass's own lines take the status line.
    std::string notes;
    for (const std::string& note : application_.startupNotes)
        notes += (notes.empty() ? "" : " ") + note;
    showStatus(notes);
    QTimer::singleShot(startupNoteShown, this, [this] {
        if (!passRunning())
            startPass();
    });
}

MainWindow::~MainWindow() {
    if (timer_)
        killTimer(timer_);
}

void MainWindow::startPass() {
    PassBody body = application_.passBody;
    passKind_ = PassKind::patch;
    if (std::exchange(application_.rollback, false)) {
        body = runRollbackPass;
        passKind_ = PassKind::rollback;
    } else if (std::exchange(application_.release, false)) {
        body = runReleasePass;
        passKind_ = PassKind::release;
    }
    ::startPass(job, settings_, std::move(body));
}

void MainWindow::showGameDirectory() {
    gameDirectory_ = currentGameDirectory();
    // The installation the window works on, shortened in the middle when it is long.
    QString directory = QString::fromStdString(visibleText(gameDirectory_, false));
    ui_->gameDirectory->setText(directory);
    ui_->gameDirectory->setAccessibleName(QStringLiteral("Game directory: ") + directory);
}

void MainWindow::moveToInstallation(GameSearchResult search) {
    pendingMove_ = std::move(search);
}

bool MainWindow::movePendingInstallation() {
    if (!pendingMove_ || passRunning())
        return false;
    GameSearchResult search = std::move(*pendingMove_);
    pendingMove_.reset();
    const GameInstallation* chosen = search.used();
    if (!chosen || ::chdir(chosen->directory.c_str()) != 0) {
        showMessage(this,
                    "The game directory " + (chosen ? chosen->directory : std::string()) +
                        " cannot be entered: the window stays with " + gameDirectory_,
                    QMessageBox::Warning);
        return false;
    }
    GameInstallation game = *chosen;
    game.launchCommand = application_.game.launchCommand;
    game.launchDirectory = application_.game.launchDirectory;
    application_.game = std::move(game);
    application_.search = std::move(search);
    showGameDirectory();
    startPass();
    return true;
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

void MainWindow::showBusy(bool busy) {
    // A range of nothing is Qt's busy bar.
    if (int maximum = busy ? 0 : 100; ui_->id1000->maximum() != maximum)
        ui_->id1000->setRange(0, maximum);
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
        [this](const std::string& line) { showStatus(line); }, job.loginRefused.exchange(false));
}

void MainWindow::chooseDistribution() {
    DistributionDialog dialog(application_, this);
    if (dialog.exec() == QDialog::Accepted)
        return;
    // Cancel chooses nothing: no Interface files this pass, and, as nothing was stored, the
    // choice comes again at the next start.
    settings_.distribution = 0;
    settings_.reportLines.push_back(noDistributionChosen);
}

void MainWindow::showReport() {
    // A rollback or a release that found nothing to do says so in a box, not in a report window
    // of one line.
    if (settings_.rollbackReport && settings_.reportLines.size() == 1 &&
        (settings_.reportLines[0] == nothingToRollBack ||
         settings_.reportLines[0] == nothingToRelease)) {
        bool rollback = settings_.reportLines[0] == nothingToRollBack;
        settings_.reportLines.clear();
        settings_.rollbackReport = false;
        showMessage(this,
                    std::string(rollback ? nothingToRollBack : nothingToRelease) + "\n\n" +
                        (rollback ? "No pass that changed files in this game directory is left "
                                    "to roll back:\n"
                                  : "No file in this game directory is held by a rollback:\n") +
                        gameDirectory_,
                    QMessageBox::Information);
        return;
    }
    ReportWindow report(settings_, this);
    report.exec();
}

void MainWindow::tellFailedUndo() {
    if (passRunning() || std::exchange(passKind_, PassKind::patch) == PassKind::patch)
        return;
    if (std::optional<std::string> failure = job.fatalMessage())
        showMessage(this, *failure + "\n\nGame directory: " + gameDirectory_, QMessageBox::Warning);
}

void MainWindow::endOfPass() {
    // Another installation chosen during the pass: its pass comes first.
    if (movePendingInstallation())
        return;
    // A complete check asked for during the pass that has just ended was not done by it: it runs
    // now, and the game (with "Auto Run WoW") starts after it.
    if (settings_.completeCheck && !passRunning()) {
        startPass();
        return;
    }
    tellFailedUndo();
    PassClosing closing =
        endOfPassStep(settings_, application_.game, application_.arguments, job.fatalMessage());
    if (!closing.startFailure.empty())
        showMessage(this, std::string(gameStartFailed) + ":\n" + closing.startFailure);
    statusLine_ = closing.statusLine;
    showBusy(false);
    ui_->id1000->setValue(100);
    job.progress = 100;
    showMembers();
}

bool MainWindow::stopPass() {
    job.stopRequested = true;
    // A worker that waits for the window's answer is released to end.
    job.go.signal();
    if (!job.done.wait(stopWait))
        return false;
    // It only unwinds now, and touches the Job no more.
    if (job.worker.joinable())
        job.worker.join();
    currentJob = nullptr;
    settings_.reportLines.clear();
    settings_.rollbackReport = false;
    settings_.checkingCompletely = 0;
    passKind_ = PassKind::patch;
    return true;
}

void MainWindow::runWoW() {
    // Only in memory: the check box and the stored "autoRunWoW" keep their state.
    settings_.autoRunWoW = 1;
    if (passRunning()) {
        // The pass stops between two files rather than inside an install, and removes its
        // temporary files, before the game starts.
        std::string before = statusLine_;
        showStatus("Stopping the pass...");
        ui_->id1001->repaint();
        if (stopPass())
            settings_.completeCheck = 0; // the game, not a check, comes next
        else
            showStatus(before);
    }
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
    if (movePendingInstallation())
        return;
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
    // A pass that still runs is asked to stop at its next safe point; one that does not stop
    // within a moment ends with the process.
    if (passRunning())
        stopPass();
    QDialog::done(result);
}
