#pragma once

#include "app/job/auto_reset_event.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class Settings;
class WorkerJob;

// The record that the window thread and the worker share, one per main window and reused by
// every pass of its lifetime.
struct Job {
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    ~Job();

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

    std::string copyStatus();
    void postStatus(const std::string& text);
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
    // The login flow; returns when the answer is stored.
    virtual void runLogin() = 0;
    // The distribution choice, shown modally; returns when it has closed.
    virtual void chooseDistribution() = 0;
    // The patch report, shown modally; it consumes the report lines.
    virtual void showReport() = 0;
    virtual void endOfPass() = 0;
    virtual void showProgress(int percent) = 0;
};

// Serves the job's events in their fixed order, then refreshes the progress bar. Runs on the
// window thread, every 200 ms.
void pollJob(Job& job, Settings& settings, JobWindow& window);

// How fatal shows its message when no pass is running (standard error until a window installs
// its message box). The process then ends with exit code 0.
void setFatalHook(std::function<void(const std::string&)> hook);

// Ends the program with `code`. A pass that still runs ends with the process: its worker is not
// waited for and nothing it uses is torn down under it.
[[noreturn]] void endProcess(int code);
