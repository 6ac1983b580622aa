#include "app/cli/terminal_window.h"

#include "app/job/job.h"
#include "app/shell/configure.h"
#include "app/shell/launcher.h"
#include "app/shell/login_flow.h"
#include "app/shell/report.h"
#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int barWidth = 40;
}

TerminalWindow::TerminalWindow(Settings& settings, const CliOptions& options)
    : settings_(settings), options_(options), interactive_(::isatty(STDIN_FILENO) != 0),
      progressBar_(::isatty(STDOUT_FILENO) != 0) {}

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

void TerminalWindow::showStatus(const std::string& line) {
    if (line.empty() || line == lastStatus_)
        return;
    lastStatus_ = line;
    clearProgressBar();
    std::printf("%s\n", line.c_str());
    drawProgressBar();
    std::fflush(stdout);
}

void TerminalWindow::showProgress(int percent) {
    if (percent == progress_)
        return;
    progress_ = percent;
    drawProgressBar();
}

std::optional<std::string> TerminalWindow::ask(const std::string& question, bool echo) {
    clearProgressBar();
    std::printf("%s ", question.c_str());
    std::fflush(stdout);
    termios saved{};
    bool hidden = !echo && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hidden) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string answer;
    bool got = static_cast<bool>(std::getline(std::cin, answer));
    if (hidden) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::printf("\n");
    }
    if (!got)
        return std::nullopt;
    return answer;
}

void TerminalWindow::runLogin() {
    runLoginFlow(
        settings_,
        [this](const LoginPrompt& prompt) {
            LoginAnswer answer;
            if (options_.anonymous) {
                answer.accepted = true;
                answer.anonymous = true;
                return answer;
            }
            if (options_.noUpload || !interactive_)
                return answer;
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
        [this](const std::string& line) { showStatus(line); });
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
                std::fprintf(stderr, "  %d  %s\n", row.number, row.name.c_str());
            endProcess(2);
        }
    } else if (interactive_) {
        clearProgressBar();
        std::printf("Select Pelvar Distribution\n");
        for (std::size_t i = 0; i < rows.size(); ++i)
            std::printf(" %c %4d  %s\n", selected == i ? '*' : ' ', rows[i].number,
                        rows[i].name.c_str());
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
            std::printf("No distribution has the number %s.\n", answer->c_str());
        }
    }
    ConfigureChoice choice = ConfigureChoice::fromSettings(settings_);
    if (selected)
        choice.selectedNumber = rows[*selected].number;
    acceptConfiguration(settings_, choice, true);
}

void TerminalWindow::showReport() {
    clearProgressBar();
    std::string text = takeReportText(settings_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void TerminalWindow::endOfPass() {
    std::string closing = endOfPassStep(settings_, options_.commandLine);
    progress_ = 100;
    drawProgressBar();
    clearProgressBar();
    lastStatus_.clear();
    showStatus(closing);
    passEnded_ = true;
}
