#pragma once

#include "game/game_location.h"
#include "job_channel/job.h"

#include <optional>
#include <string>
#include <vector>

class Settings;

// What the command line of pelvar-cli asks for.
struct CliOptions {
    std::string gameDirectory;
    bool anonymous = false;
    bool noUpload = false;
    std::optional<std::string> user; // the account of this run, with `password`
    std::string password;
    std::optional<int> distribution;
    bool completeCheck = false;
    std::optional<int> keepClean;
    bool runGame = false;
    bool verbose = false;
    bool listGames = false;
    std::optional<std::string> chooseGame; // --game N|DIR
    bool launch = false;                   // --launch: the game arguments are the command
    bool rollback = false;
    bool noHold = false;
    bool release = false;
    std::vector<std::string> gameArguments; // passed on to the game, each as given
};

// The terminal as the window side of the job channel: every status line on standard output, the
// login and the distribution choice as questions on the terminal (or answered by options), the
// report as text, and a progress bar when standard output is a terminal. Text from the server or
// the disk is printed with its control characters made visible.
class TerminalWindow : public JobWindow {
public:
    TerminalWindow(Job& job, Settings& settings, const CliOptions& options,
                   const GameInstallation& game);

    void showStatus(const std::string& line) override;
    void showPostedStatus(Job& job) override;
    void runLogin() override;
    void chooseDistribution() override;
    void showReport() override;
    void endOfPass() override;
    void showProgress(int percent) override;

    bool passEnded() const { return passEnded_; }
    // Once the pass has ended without handing over to the game: 1 after a pass that ended early,
    // when a file could not be installed (or rolled back) or the game could not be started; 0
    // after a normal pass.
    int exitCode() const { return exitCode_; }

private:
    void printLine(const std::string& line);
    // The closing status line, with the progress bar full, once.
    void printClosingLine(const std::string& statusLine);
    // Tells on standard error how the pass failed, if it did; gives the exit code that says so.
    int printFailures();
    void clearProgressBar();
    void drawProgressBar();
    std::optional<std::string> ask(const std::string& question, bool echo);
    void answerWithOptions();

    Job& job_;
    Settings& settings_;
    const CliOptions& options_;
    const GameInstallation& game_;
    bool interactive_;
    bool progressBar_;
    int progress_ = -1;
    bool barShown_ = false;
    std::string lastLine_; // the last line printed, as printed
    bool accountGiven_ = false;
    bool passEnded_ = false;
    int exitCode_ = 0;
};
