#pragma once

#include "job_channel/job.h"
#include <QDialog>
#include <memory>
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
    void runLogin() override;
    void endOfPass() override;

    // The window side of the job channel.
    void showStatus(const std::string& line) override;
    void chooseDistribution() override;
    void showReport() override;
    void showProgress(int percent) override;

    const std::string& statusLine() const { return statusLine_; }

public slots:
    void done(int result) override;

protected:
    void timerEvent(QTimerEvent* event) override;
    bool event(QEvent* event) override;

private:
    void runWoW();
    void configure();
    void toggleAutoRun();
    // Opens a web page with the desktop's browser, or tells the address when there is none.
    void openPage(const char* address);
    void showMembers();

    Application& application_;
    Settings& settings_;
    std::unique_ptr<Ui::MainWindow> ui_;
    std::string statusLine_;
    int autoRunCheck_ = 0;
    int timer_ = 0;
};
