#pragma once

#include "app/common/configure.h"
#include "game/game_choice.h"

#include <QDialog>
#include <memory>
#include <vector>

// What the drop-down says while the list of distributions is still arriving.
inline constexpr char listOnItsWayRow[] = "The list of distributions is on its way\u2026";

class Application;
class QCheckBox;
class QComboBox;
namespace Ui {
class ConfigureDialog;
class DistributionDialog;
} // namespace Ui

// The configuration: the installation of the game, the distribution, the cleaning option, a
// complete file check, the game's start options, the Mirelgan login and the removal of the
// interface. Accepting stores what
// changed and starts a new pass when the change calls for one and none is running.
class ConfigureDialog : public QDialog {
    Q_OBJECT

public:
    ConfigureDialog(Application& application, QWidget* parent = nullptr);
    ~ConfigureDialog() override;

    const ConfigureChoice& choice() const { return choice_; }
    const std::vector<DistributionRow>& rows() const { return rows_; }

public slots:
    void accept() override;

protected:
    struct DistributionTemplate {};
    // The reduced form: the distribution and the cleaning option only.
    ConfigureDialog(Application& application, QWidget* parent, DistributionTemplate);

private:
    void showInstallations();
    // The installation chosen in the drop-down, when it is not the one in use: stored as the
    // player's choice, and the window moves to it. False when it could not be stored.
    bool moveToChosenInstallation();
    void waitForDistributionList();
    void open(QComboBox* distributions, QCheckBox* keepClean);
    bool distributionListArriving() const;
    void showDistributions();
    void completeFileCheck();
    void setLogin();
    void uninstall();

    Application& application_;
    ConfigureChoice choice_;
    std::vector<DistributionRow> rows_;
    GameSearchResult installations_;
    std::vector<InstallationRow> installationRows_;
    QComboBox* distributions_ = nullptr;
    std::unique_ptr<Ui::ConfigureDialog> full_;
    std::unique_ptr<Ui::DistributionDialog> reduced_;
};

// The distribution choice that a running pass asks for.
class DistributionDialog : public ConfigureDialog {
    Q_OBJECT

public:
    explicit DistributionDialog(Application& application, QWidget* parent = nullptr)
        : ConfigureDialog(application, parent, DistributionTemplate{}) {}
};
