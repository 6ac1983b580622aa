#pragma once

#include "app/job/job.h"

#include <optional>
#include <string>

class Settings;

// What the command line of pelvar-cli asks for.
struct CliOptions {
    std::string gameDirectory;
    bool anonymous = false;
    bool noUpload = false;
    std::optional<int> distribution;
    bool completeCheck = false;
    std::optional<int> keepClean;
    bool runGame = false;
    bool verbose = false;
    std::string commandLine; // the text passed on to the game
};

// The terminal as the window side of the job channel: status lines on standard output, the login
// and the distribution choice as questions on the terminal (or answered by options), the report
// as text, and a progress bar when standard output is a terminal.
class TerminalWindow : public JobWindow {
public:
    TerminalWindow(Settings& settings, const CliOptions& options);

    void showStatus(const std::string& line) override;
    void runLogin() override;
    void chooseDistribution() override;
    void showReport() override;
    void endOfPass() override;
    void showProgress(int percent) override;

    bool passEnded() const { return passEnded_; }

private:
    void clearProgressBar();
    void drawProgressBar();
    std::optional<std::string> ask(const std::string& question, bool echo);

    Settings& settings_;
    const CliOptions& options_;
    bool interactive_;
    bool progressBar_;
    int progress_ = -1;
    bool barShown_ = false;
    std::string lastStatus_;
    bool passEnded_ = false;
};
