#pragma once

#include "job_channel/job.h"

#include <functional>
#include <string>
#include <vector>

class Settings;

// The window side of the job channel for tests: records every call in `calls` and answers the
// worker's requests with the functions a test sets.
class TestWindow : public JobWindow {
public:
    void showStatus(const std::string& line) override;
    void runLogin() override;
    void chooseDistribution() override;
    void showReport() override;
    void endOfPass() override;
    void showProgress(int percent) override;

    std::vector<std::string> calls;
    std::vector<std::string> statusLines;
    std::vector<int> progressValues;
    std::function<void(const std::string&)> onStatus;
    std::function<void()> onLogin;
    std::function<void()> onDistribution;
    std::function<void()> onReport;
    int endOfPassCount = 0;
};

// Starts a pass with `body` and serves the job channel every few milliseconds until the pass has
// ended and endOfPass has run (as the window's timer does). A pass that takes longer than
// `limitMs` aborts the test program.
bool runPass(Job& job, Settings& settings, TestWindow& window, PassBody body, int limitMs = 30000);
