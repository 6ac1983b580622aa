#include "tests/support/test_window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

void TestWindow::showStatus(const std::string& line) {
    calls.push_back("status:" + line);
    statusLines.push_back(line);
    if (onStatus)
        onStatus(line);
}

void TestWindow::runLogin() {
    calls.push_back("login");
    if (onLogin)
        onLogin();
}

void TestWindow::chooseDistribution() {
    calls.push_back("distribution");
    if (onDistribution)
        onDistribution();
}

void TestWindow::showReport() {
    calls.push_back("report");
    if (onReport)
        onReport();
}

void TestWindow::endOfPass() {
    calls.push_back("endOfPass");
    ++endOfPassCount;
}

void TestWindow::showProgress(int percent) {
    if (progressValues.empty() || progressValues.back() != percent)
        progressValues.push_back(percent);
}

bool runPass(Job& job, Settings& settings, TestWindow& window, PassBody body, int limitMs) {
    int before = window.endOfPassCount;
    startPass(job, settings, std::move(body));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (window.endOfPassCount == before) {
        if (std::chrono::steady_clock::now() > deadline) {
            // The worker still uses this test's records: going on would only hide the failure
            // behind a use after free.
            std::fprintf(stderr, "runPass: the pass did not end within %d ms\n", limitMs);
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pollJob(job, settings, window);
    }
    if (job.worker.joinable())
        job.worker.join();
    return true;
}
