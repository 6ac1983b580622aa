#include "app/cli/terminal_window.h"

#include "app/common/configure.h"
#include "app/common/end_of_pass.h"
#include "app/common/login_flow.h"
#include "app/common/report.h"
#include "game/launcher.h"
#include "job_channel/job.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int barWidth = 40;

termios terminalBeforeHiding;
volatile std::sig_atomic_t inputHidden = 0;

// A signal that ends the program while the password is typed gives the terminal its echo back.
void restoreEchoAndEnd(int signal) {
    if (inputHidden)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforeHiding);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Switches the terminal's echo off for its lifetime. The change takes effect at once (TCSANOW):
// what the user has typed ahead stays in the input and is read as the answer.
class HiddenInput {
public:
    explicit HiddenInput(bool wanted) {
        if (!wanted || ::tcgetattr(STDIN_FILENO, &terminalBeforeHiding) != 0)
            return;
        struct sigaction restore {};
        restore.sa_handler = restoreEchoAndEnd;
        sigemptyset(&restore.sa_mask);
        for (std::size_t i = 0; i < std::size(endingSignals); ++i)
            ::sigaction(endingSignals[i], &restore, &before_[i]);
        termios quiet = terminalBeforeHiding;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        inputHidden = 1;
        active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    }
    HiddenInput(const HiddenInput&) = delete;
    HiddenInput& operator=(const HiddenInput&) = delete;
    ~HiddenInput() {
        if (!inputHidden)
            return;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforeHiding);
        inputHidden = 0;
        for (std::size_t i = 0; i < std::size(endingSignals); ++i)
            ::sigaction(endingSignals[i], &before_[i], nullptr);
    }
    bool active() const { return active_; }

private:
    bool active_ = false;
    struct sigaction before_[std::size(endingSignals)]{};
};

} // namespace

TerminalWindow::TerminalWindow(Job& job, Settings& settings, const CliOptions& options,
                               const GameInstallation& game)
    : job_(job), settings_(settings), options_(options), game_(game),
      interactive_(::isatty(STDIN_FILENO) != 0), progressBar_(::isatty(STDOUT_FILENO) != 0) {}

void TerminalWindow::clearProgressBar() {
    if (barShown_)
        std::fputs("\r\033[K", stdout);
    barShown_ = false;
}

void TerminalWindow::drawProgressBar() {
    if (!progressBar_ || progress_ < 0)
        return;
    int filled = std::clamp(progress_, 0, 100) * barWidth / 100;
    std::printf("\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                std::string(barWidth - filled, '.').c_str(), progress_);
    std::fflush(stdout);
    barShown_ = true;
}

void TerminalWindow::printLine(const std::string& line) {
    clearProgressBar();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    lastLine_ = line;
    drawProgressBar();
    std::fflush(stdout);
}

void TerminalWindow::showStatus(const std::string& line) {
    if (!line.empty())
        printLine(visibleText(line, false));
}

void TerminalWindow::showPostedStatus(Job& job) {
    StatusLines posted = job.takeStatusLines();
    if (posted.dropped > 0)
        printLine(std::string("(").append(std::to_string(posted.dropped)) +
                  " status lines not shown)");
    for (const std::string& line : posted.lines)
        showStatus(line);
}

void TerminalWindow::showProgress(int percent) {
    if (percent == progress_)
        return;
    progress_ = percent;
    drawProgressBar();
}

std::optional<std::string> TerminalWindow::ask(const std::string& question, bool echo) {
    clearProgressBar();
    // Echo goes off before the question shows, so that not one typed character is shown.
    HiddenInput hidden(!echo);
    std::printf("%s ", question.c_str());
    std::fflush(stdout);
    std::string answer;
    bool got = static_cast<bool>(std::getline(std::cin, answer));
    if (hidden.active())
        std::printf("\n");
    lastLine_.clear();
    if (!got)
        return std::nullopt;
    return answer;
}

void TerminalWindow::runLogin() {
    if (options_.user) {
        // The account of this run was refused; asking again would only be refused again.
        clearProgressBar();
        std::fprintf(stderr, "pelvar-cli: the server refused the login of %s\n",
                     visibleText(*options_.user, false).c_str());
        settings_.uploadEnabled = 0;
        return;
    }
    runLoginFlow(
        settings_,
        [this](const LoginPrompt& prompt) {
            LoginAnswer answer;
            if (options_.anonymous) {
                // One anonymous answer: when the server refuses that as well, the upload is
                // skipped instead of asked for without end.
                if (std::exchange(accountGiven_, true))
                    return answer;
                answer.accepted = true;
                answer.anonymous = true;
                return answer;
            }
            if (options_.noUpload || !interactive_)
                return answer;
            clearProgressBar();
            std::printf("Mirelgan Login\nIf you don't have a Mirelgan account, this will create "
                        "one\n%s\n",
                        prompt.hint.c_str());
            auto user = ask("Username:", true);
            auto password = user ? ask("Password:", false) : std::nullopt;
            auto anonymous = password ? ask("Upload Anonymously? [y/N]", true) : std::nullopt;
            if (!anonymous)
                return answer; // end of input: Cancel
            answer.accepted = true;
            answer.userName = *user;
            answer.password = *password;
            answer.anonymous =
                !anonymous->empty() && (anonymous->at(0) == 'y' || anonymous->at(0) == 'Y');
            return answer;
        },
        [this](const std::string& line) { showStatus(line); }, job_.loginRefused.exchange(false));
}

void TerminalWindow::chooseDistribution() {
    std::vector<std::string> lines;
    {
        std::lock_guard guard(settings_.distributionLinesLock);
        lines = settings_.distributionLines;
    }
    std::vector<DistributionRow> rows = distributionRows(lines);
    std::optional<std::size_t> selected = defaultRow(rows, settings_.distribution);
    auto rowWithNumber = [&rows](int number) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].number == number)
                return i;
        return std::nullopt;
    };

    if (options_.distribution) {
        selected = rowWithNumber(*options_.distribution);
        if (!selected) {
            clearProgressBar();
            std::fprintf(stderr, "pelvar-cli: distribution %d is not offered; the server offers:\n",
                         *options_.distribution);
            for (const DistributionRow& row : rows)
                std::fprintf(stderr, "  %d  %s\n", row.number,
                             visibleText(row.name, false).c_str());
            if (game_.launchCommand.empty())
                endProcess(2);
            // The launcher's game starts all the same.
            std::string failure = startGame(game_, {});
            std::fprintf(stderr, "pelvar-cli: %s: %s\n", gameStartFailed,
                         visibleText(failure, false).c_str());
            endProcess(errno == ENOENT ? 127 : 126);
        }
    } else if (interactive_) {
        clearProgressBar();
        std::printf("Select Pelvar Distribution\n");
        for (std::size_t i = 0; i < rows.size(); ++i)
            std::printf(" %c %4d  %s\n", selected == i ? '*' : ' ', rows[i].number,
                        visibleText(rows[i].name, false).c_str());
        for (;;) {
            auto answer = ask(selected ? "Distribution number (Enter for the one marked *):"
                                       : "Distribution number:",
                              true);
            if (!answer)
                return; // end of input: Cancel, nothing is stored
            if (answer->empty() && selected)
                break;
            char* end = nullptr;
            long number = std::strtol(answer->c_str(), &end, 10);
            if (!answer->empty() && *end == '\0') {
                if (auto row = rowWithNumber(static_cast<int>(number))) {
                    selected = row;
                    break;
                }
            }
            std::printf("No distribution has the number %s.\n",
                        visibleText(*answer, false).c_str());
        }
    }
    ConfigureChoice choice = ConfigureChoice::fromSettings(settings_);
    if (selected)
        choice.selectedNumber = rows[*selected].number;
    acceptConfiguration(settings_, choice, true);
}

void TerminalWindow::showReport() {
    clearProgressBar();
    std::string text = visibleText(takeReportText(settings_), true);
    std::fwrite(text.data(), 1, text.size(), stdout);
    lastLine_.clear();
    drawProgressBar();
    std::fflush(stdout);
}

void TerminalWindow::printClosingLine(const std::string& statusLine) {
    progress_ = 100;
    drawProgressBar();
    clearProgressBar();
    // After a fatal end the closing line is the message that was just printed, which is not
    // printed twice.
    std::string line = visibleText(statusLine, false);
    if (line != lastLine_)
        printLine(line);
}

int TerminalWindow::printFailures() {
    clearProgressBar();
    std::fflush(stdout); // the bar's line is cleared before standard error writes on it
    int code = 0;
    if (std::optional<std::string> fatal = job_.fatalMessage()) {
        std::fprintf(stderr, "%s\n", visibleText(*fatal, false).c_str());
        code = 1;
    }
    if (int failed = settings_.installErrors; failed > 0) {
        std::fprintf(stderr,
                     options_.rollback ? "pelvar-cli: %d file%s could not be rolled back\n"
                                       : "pelvar-cli: %d listed file%s could not be installed\n",
                     failed, failed == 1 ? "" : "s");
        code = 1;
    }
    return code;
}

void TerminalWindow::endOfPass() {
    // Every line of the pass comes before the closing line, and the closing line comes before
    // the game, which takes this process over with what it prints. How the pass failed is told
    // first: the exit code is then the game's.
    showPostedStatus(job_);
    exitCode_ = printFailures();
    PassClosing closing =
        endOfPassStep(settings_, game_, options_.gameArguments, job_.fatalMessage(),
                      [this](const std::string& statusLine) { printClosingLine(statusLine); });
    if (!closing.startFailure.empty()) {
        int error = errno;
        clearProgressBar();
        std::fprintf(stderr, "pelvar-cli: %s: %s\n", gameStartFailed,
                     visibleText(closing.startFailure, false).c_str());
        // A launcher's command that cannot be started ends as a shell's would.
        exitCode_ = game_.launchCommand.empty() ? 1 : error == ENOENT ? 127 : 126;
    }
    printClosingLine(closing.statusLine);
    passEnded_ = true;
}
