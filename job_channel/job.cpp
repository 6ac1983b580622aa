#include "job_channel/job.h"

#include "job_channel/worker_job.h"
#include "settings/settings.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

std::atomic<Job*> currentJob{nullptr};

Job::~Job() {
    if (currentJob.load() == this) {
        // Freeing what a running worker uses would let it write into freed memory, and a
        // waiting worker would hang the process for good.
        std::fputs("a Job was destroyed under its running pass\n", stderr);
        std::abort();
    }
    // An ended pass may still be unwinding its worker; it touches the Job no more.
    if (worker.joinable())
        worker.join();
}

std::string Job::copyStatus() {
    std::lock_guard guard(statusLock);
    return statusText;
}

void Job::postStatus(const std::string& text) {
    showStatusOnly(text, true);
}

void Job::showStatusOnly(const std::string& text, bool recorded) {
    {
        std::lock_guard guard(statusLock);
        statusText = text;
        if (recorded) {
            if (history_.size() == historyLimit) {
                history_.pop_front();
                ++dropped_;
            }
            history_.push_back(text);
        }
    }
    statusChanged.signal();
}

StatusLines Job::takeStatusLines() {
    std::lock_guard guard(statusLock);
    StatusLines taken{{history_.begin(), history_.end()}, dropped_};
    history_.clear();
    dropped_ = 0;
    return taken;
}

std::optional<std::string> Job::fatalMessage() {
    std::lock_guard guard(statusLock);
    return fatalMessage_;
}

void Job::setFatalMessage(std::optional<std::string> message) {
    std::lock_guard guard(statusLock);
    fatalMessage_ = std::move(message);
}

void startPass(Job& job, Settings& settings, PassBody body) {
    // The previous worker has signalled done and only unwinds now; waiting for it keeps it from
    // clearing currentJob after this pass has set it.
    if (job.worker.joinable())
        job.worker.join();
    currentJob = &job;
    job.setFatalMessage(std::nullopt);
    job.stopRequested = false;
    job.waitingForServer = false;
    job.loginRefused = false;
    // A complete check asked for from now on is one this pass may not do whole.
    settings.checkingCompletely = settings.completeCheck.load();
    for (AutoResetEvent* event :
         {&job.go, &job.done, &job.needLogin, &job.needDistribution, &job.statusChanged})
        event->reset();
    job.worker = std::thread(workerMain, &job, &settings, std::move(body));
    job.go.signal();
}

void workerMain(Job* job, Settings* settings, const PassBody& body) {
    // A file-size limit (ulimit -f) then makes a write fail with EFBIG, which the pass reports
    // as it reports a full disk, instead of killing the program. Blocked on the pass's threads
    // (the threads it starts inherit it), so that the game started later keeps the default.
    sigset_t fileSizeSignal;
    sigemptyset(&fileSizeSignal);
    sigaddset(&fileSizeSignal, SIGXFSZ);
    ::pthread_sigmask(SIG_BLOCK, &fileSizeSignal, nullptr);
    currentJob = job;
    job->go.wait();
    try {
        WorkerJob workerJob(*settings);
        body(workerJob);
    } catch (const PassAborted&) {
        // fatal has posted its message; the pass has unwound.
    }
    job->waitingForServer = false;
    // Only now: the pass's temporary files are gone, its connection is closed and the game
    // directory is free, so that whatever the window does at done (start the game, start the
    // next pass) finds it all in order.
    job->done.signal();
    currentJob = nullptr;
}

void pollJob(Job& job, Settings& settings, JobWindow& window) {
    if (job.needLogin.test()) {
        window.showPostedStatus(job);
        window.runLogin();
        job.go.signal();
    }
    if (job.needDistribution.test()) {
        window.showPostedStatus(job);
        // A count, not a flag: the choice may open inside a Configure dialog, which stays open
        // when the choice closes.
        ++settings.configureOpen;
        window.chooseDistribution();
        --settings.configureOpen;
        settings.mustChooseDistribution = 0;
        job.go.signal();
    }
    if (job.statusChanged.test())
        window.showPostedStatus(job);
    if (job.done.test()) {
        // The pass may have posted its last line after the status was looked at above: show it
        // now, so that it can never replace the closing status line at a later tick.
        if (job.statusChanged.test())
            window.showPostedStatus(job);
        // Only a pass that began with the complete check did it; one asked for during a pass is
        // still to do (the window runs it next).
        if (settings.checkingCompletely.exchange(0)) {
            if (!job.fatalMessage())
                settings.reportLines.push_back("File Check Complete.");
            settings.completeCheck = 0;
        }
        if (!settings.reportLines.empty()) {
            window.showStatus("PatchReport");
            window.showReport();
        }
        currentJob = nullptr;
        window.endOfPass();
    }
    window.showBusy(job.waitingForServer);
    window.showProgress(job.progress);
}

void endProcess(int code) {
    std::fflush(nullptr);
    if (passRunning())
        std::_Exit(code);
    std::exit(code);
}
