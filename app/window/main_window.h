#pragma once

#include "game/game_location.h"
#include "job_channel/job.h"
#include <QDialog>
#include <memory>
#include <optional>
#include <string>

class Application;
class Settings;
namespace Ui {
class MainWindow;
}

// The program's only top-level window: status line, progress bar, the game's start and the
// configuration. Opening it starts the first pass; its 200 ms timer serves the job channel.
class MainWindow : public QDialog, public JobWindow {
    Q_OBJECT

public:
    explicit MainWindow(Application& application, QWidget* parent = nullptr);
    ~MainWindow() override;

    Job job;

    void startPass();
    // The player chose another installation (its search marks it used): the window moves to its
    // game directory and runs a pass there, once no pass runs in the one it leaves.
    void moveToInstallation(GameSearchResult search);
    bool movePending() const { return pendingMove_.has_value(); }
    void runLogin() override;
    void endOfPass() override;

    // The window side of the job channel.
    void showStatus(const std::string& line) override;
    void chooseDistribution() override;
    void showReport() override;
    void showProgress(int percent) override;
    void showBusy(bool busy) override;

    const std::string& statusLine() const { return statusLine_; }

public slots:
    void done(int result) override;

protected:
    void timerEvent(QTimerEvent* event) override;
    bool event(QEvent* event) override;

private:
    enum class PassKind { patch, rollback, release };

    // Asks the running pass to stop and waits a moment for it: true when it has ended (between
    // two files of a download, its temporary files removed). What it would have reported is not
    // shown: the game or the program's end comes next.
    bool stopPass();
    // After a rollback or a release that ended before it changed anything: a box says why.
    void tellFailedUndo();
    void runWoW();
    void configure();
    void toggleAutoRun();
    // Opens a web page with the desktop's browser, or tells the address when there is none.
    void openPage(const char* address);
    void showMembers();
    void showGameDirectory();
    // Moves to the installation chosen, when no pass runs: true when a pass was started there.
    bool movePendingInstallation();

    Application& application_;
    Settings& settings_;
    std::unique_ptr<Ui::MainWindow> ui_;
    std::string statusLine_;
    int autoRunCheck_ = 0;
    int timer_ = 0;
    // What the last pass started was, until its end has been handled.
    PassKind passKind_ = PassKind::patch;
    std::string gameDirectory_;
    std::optional<GameSearchResult> pendingMove_;
};
