#include "app/window/configure_dialog.h"

#include "app/common/report.h"
#include "app/window/application.h"
#include "app/window/dialog_units.h"
#include "app/window/main_window.h"
#include "app/window/message_boxes.h"
#include "job_channel/job.h"
#include "ui_configure_dialog.h"
#include "ui_distribution_dialog.h"
#include "uninstall/uninstall.h"

#include <QTimer>
#include <thread>

namespace {
constexpr int listWatchPeriod = 200; // ms, as the main window serves the pass
}

ConfigureDialog::ConfigureDialog(Application& application, QWidget* parent)
    : QDialog(parent), application_(application), full_(std::make_unique<Ui::ConfigureDialog>()) {
    waitForDistributionList();
    full_->setupUi(this);
    layoutInDialogUnits(this);
    labelByGroupBox(full_->id1030, full_->distributionGroup);
    labelByGroupBox(full_->installations, full_->installationGroup);
    showInstallations();
    choice_ = ConfigureChoice::fromSettings(application_.settings);
    full_->id1036->setChecked(choice_.runWindowed);
    full_->id1040->setChecked(choice_.noSound);
    full_->id1038->setChecked(choice_.openGL);
    connect(full_->id1036, &QCheckBox::clicked, this, [this] { choice_.runWindowed ^= 1; });
    connect(full_->id1040, &QCheckBox::clicked, this, [this] { choice_.noSound ^= 1; });
    connect(full_->id1038, &QCheckBox::clicked, this, [this] { choice_.openGL ^= 1; });
    connect(full_->id1041, &QPushButton::clicked, this, &ConfigureDialog::completeFileCheck);
    connect(full_->id1019, &QPushButton::clicked, this, &ConfigureDialog::setLogin);
    connect(full_->id1031, &QPushButton::clicked, this, &ConfigureDialog::uninstall);
    connect(full_->id1, &QPushButton::clicked, this, &QDialog::accept);
    connect(full_->id2, &QPushButton::clicked, this, &QDialog::reject);
    open(full_->id1030, full_->id1037);
}

ConfigureDialog::ConfigureDialog(Application& application, QWidget* parent, DistributionTemplate)
    : QDialog(parent), application_(application),
      reduced_(std::make_unique<Ui::DistributionDialog>()) {
    waitForDistributionList();
    reduced_->setupUi(this);
    layoutInDialogUnits(this);
    labelByGroupBox(reduced_->id1030, reduced_->distributionGroup);
    choice_ = ConfigureChoice::fromSettings(application_.settings);
    connect(reduced_->id1, &QPushButton::clicked, this, &QDialog::accept);
    connect(reduced_->id2, &QPushButton::clicked, this, &QDialog::reject);
    open(reduced_->id1030, reduced_->id1037);
}

ConfigureDialog::~ConfigureDialog() = default;

void ConfigureDialog::waitForDistributionList() {
    // While the first pass fetches the list, the window waits for it: until it is there, the
    // pass has ended or the worker has posted its next status line.
    Settings& settings = application_.settings;
    MainWindow* window = application_.mainWindow;
    while (settings.distListPending && passRunning()) {
        if (window && window->job.statusChanged.test())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void ConfigureDialog::open(QComboBox* distributions, QCheckBox* keepClean) {
    distributions_ = distributions;
    keepClean->setChecked(choice_.keepClean);
    connect(keepClean, &QCheckBox::clicked, this, [this] { choice_.toggleKeepClean(); });
    if (!distributionListArriving()) {
        showDistributions();
        return;
    }
    // The wait ended with a status line before the whole list was there: no choice is offered
    // (accepting keeps the stored one) until it has arrived.
    distributions->addItem(QString::fromUtf8(listOnItsWayRow));
    distributions->setEnabled(false);
    auto* listWatch = new QTimer(this);
    connect(listWatch, &QTimer::timeout, this, [this, listWatch] {
        if (distributionListArriving())
            return;
        listWatch->stop();
        distributions_->clear();
        distributions_->setEnabled(true);
        showDistributions();
    });
    listWatch->start(listWatchPeriod);
}

bool ConfigureDialog::distributionListArriving() const {
    return application_.settings.distListPending && passRunning();
}

void ConfigureDialog::showDistributions() {
    {
        std::lock_guard guard(application_.settings.distributionLinesLock);
        rows_ = distributionRows(application_.settings.distributionLines);
    }
    for (const DistributionRow& row : rows_)
        distributions_->addItem(QString::fromStdString(visibleText(row.name, false)), row.number);
    std::optional<std::size_t> selected = defaultRow(rows_, application_.settings.distribution);
    distributions_->setCurrentIndex(selected ? static_cast<int>(*selected) : -1);
}

void ConfigureDialog::showInstallations() {
    installations_ = searchEveryInstallation(application_.search);
    installationRows_ = installationRows(installations_);
    // A row is a path and where it was found: both ends tell the installations apart.
    full_->installations->setElideMode(Qt::ElideMiddle);
    for (const InstallationRow& row : installationRows_) {
        full_->installations->addItem(QString::fromStdString(visibleText(row.label, false)));
        if (row.used)
            full_->installations->setCurrentIndex(full_->installations->count() - 1);
    }
    full_->installations->setEnabled(installationRows_.size() > 1);
}

bool ConfigureDialog::moveToChosenInstallation() {
    int chosen = full_ ? full_->installations->currentIndex() : -1;
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= installationRows_.size() ||
        installationRows_[static_cast<std::size_t>(chosen)].used)
        return true;
    const std::string& directory = installationRows_[static_cast<std::size_t>(chosen)].directory;
    if (std::string failure = chooseInstallation(application_.settings, installations_, directory);
        !failure.empty()) {
        showMessage(this, failure, QMessageBox::Warning);
        return false;
    }
    installations_.usedIndex = static_cast<std::size_t>(chosen);
    installations_.reason = ChoiceReason::chosen;
    installations_.notes.clear();
    if (application_.mainWindow)
        application_.mainWindow->moveToInstallation(std::move(installations_));
    return true;
}

void ConfigureDialog::accept() {
    if (!moveToChosenInstallation())
        return;
    int row = distributions_->currentIndex();
    if (row >= 0 && static_cast<std::size_t>(row) < rows_.size())
        choice_.selectedNumber = rows_[static_cast<std::size_t>(row)].number;
    // A pass for a new installation starts there, not in the one the window leaves.
    bool moving = application_.mainWindow && application_.mainWindow->movePending();
    if (acceptConfiguration(application_.settings, choice_, passRunning() || moving) &&
        application_.mainWindow)
        application_.mainWindow->startPass();
    QDialog::accept();
}

void ConfigureDialog::completeFileCheck() {
    application_.settings.completeCheck = 1;
    choice_.rerunRequested = true;
    accept();
}

void ConfigureDialog::setLogin() {
    if (application_.mainWindow)
        application_.mainWindow->runLogin();
}

void ConfigureDialog::uninstall() {
    MessageBoxDialogs dialogs(this);
    if (UninstallUi(dialogs) == 1)
        choice_.rerunRequested = true;
}
