#pragma once

#include "job_channel/auto_reset_event.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Settings;
class WorkerJob;

// Status lines posted since a front end last took them, in order, and how many older ones were
// dropped before it came because the history was full.
struct StatusLines {
    std::vector<std::string> lines;
    std::size_t dropped = 0;
};

// The record that the window thread and the worker share, one per main window and reused by
// every pass of its lifetime. It must outlive its running pass: destroying it under a worker
// that still runs aborts the program (the front ends end the process first).
struct Job {
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job();

    // Lines the history holds at most; a front end that prints every line takes them far more
    // often than a pass can post this many.
    static constexpr std::size_t historyLimit = 1024;

    std::string statusText; // guarded by statusLock; at most 511 characters
    std::atomic<int> progress{0};
    AutoResetEvent go;
    AutoResetEvent done;
    AutoResetEvent needLogin;
    AutoResetEvent needDistribution;
    AutoResetEvent statusChanged;

    std::mutex statusLock;
    std::thread worker;
    // How long a fatal message stays on the status line before the pass ends.
    std::chrono::milliseconds fatalPause{3000};
    // Set by the window ("Run WoW", closing): the pass ends at its next safe point, between two
    // files of a download, having removed its temporary files; a wait for the server or the
    // pause after a fatal message ends at once. Cleared when a pass starts.
    std::atomic<bool> stopRequested{false};
    // The worker has waited for the server for a while: the window shows a busy progress bar.
    std::atomic<bool> waitingForServer{false};
    // The server refused the stored account at the last login: the login flow that follows says
    // so and does not offer the refused password again.
    std::atomic<bool> loginRefused{false};

    std::string copyStatus();
    // Replaces the status line and adds it to the history.
    void postStatus(const std::string& text);
    // Replaces the status line, and adds it to the history only with `recorded`: a line that is
    // replaced every second (how long a wait has lasted) would flood a front end that prints
    // every line.
    void showStatusOnly(const std::string& text, bool recorded);
    // Every line posted since the last call, oldest first.
    StatusLines takeStatusLines();
    // The message of the last pass when it ended (or is ending) through fatal; nothing after a
    // normal end, and from the start of the next pass.
    std::optional<std::string> fatalMessage();
    void setFatalMessage(std::optional<std::string> message);

private:
    std::deque<std::string> history_;         // guarded by statusLock
    std::size_t dropped_ = 0;                 // guarded by statusLock
    std::optional<std::string> fatalMessage_; // guarded by statusLock
};

// The Job of the running pass, or none.
extern std::atomic<Job*> currentJob;
inline bool passRunning() {
    return currentJob.load() != nullptr;
}

// What a pass does on its worker: the patch run for the program; tests give their own.
using PassBody = std::function<void(WorkerJob&)>;

// Starts one pass on a new worker thread. Callers call it only when no pass is running.
void startPass(Job& job, Settings& settings, PassBody body);
// The worker thread's body.
void workerMain(Job* job, Settings* settings, const PassBody& body);

// The window side of the job channel, which pollJob serves.
class JobWindow {
public:
    virtual ~JobWindow() = default;
    // Sets the window's status line and shows it.
    virtual void showStatus(const std::string& line) = 0;
    // Shows what the worker has posted: a window shows the newest line; a front end that
    // prints every line takes them from the job's history instead.
    virtual void showPostedStatus(Job& job) { showStatus(job.copyStatus()); }
    // The login flow; returns when the answer is stored.
    virtual void runLogin() = 0;
    // The distribution choice, shown modally; returns when it has closed.
    virtual void chooseDistribution() = 0;
    // The patch report, shown modally; it consumes the report lines.
    virtual void showReport() = 0;
    virtual void endOfPass() = 0;
    virtual void showProgress(int percent) = 0;
    // While the worker waits for the server, a window shows that it is busy.
    virtual void showBusy(bool) {}
};

// Serves the job's events in their fixed order, then refreshes the progress bar (busy while the
// worker waits for the server). Runs on the window thread, every 200 ms.
void pollJob(Job& job, Settings& settings, JobWindow& window);

// How fatal shows its message when no pass is running (standard error until a window installs
// its message box). The process then ends with exit code 0.
void setFatalHook(std::function<void(const std::string&)> hook);

// Ends the program with `code`. A pass that still runs ends with the process: its worker is not
// waited for and nothing it uses is torn down under it.
[[noreturn]] void endProcess(int code);
