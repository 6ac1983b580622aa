#include "app/job/job.h"

#include "app/job/worker_job.h"
#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>

std::atomic<Job*> currentJob{nullptr};

Job::~Job() {
    if (!worker.joinable())
        return;
    // A pass that still runs ends with the process; only an ended one is waited for.
    if (currentJob.load() == this)
        worker.detach();
    else
        worker.join();
}

std::string Job::copyStatus() {
    std::lock_guard guard(statusLock);
    return statusText;
}

void Job::postStatus(const std::string& text) {
    {
        std::lock_guard guard(statusLock);
        statusText = text;
    }
    statusChanged.signal();
}

void startPass(Job& job, Settings& settings, PassBody body) {
    // The previous worker has signalled done and only unwinds now; waiting for it keeps it from
    // clearing currentJob after this pass has set it.
    if (job.worker.joinable())
        job.worker.join();
    currentJob = &job;
    for (AutoResetEvent* event :
         {&job.go, &job.done, &job.needLogin, &job.needDistribution, &job.statusChanged})
        event->reset();
    job.worker = std::thread(workerMain, &job, &settings, std::move(body));
    job.go.signal();
}

void workerMain(Job* job, Settings* settings, const PassBody& body) {
    currentJob = job;
    job->go.wait();
    try {
        WorkerJob workerJob(*settings);
        body(workerJob);
    } catch (const PassAborted&) {
        // fatal has already signalled done and cleared currentJob.
        return;
    }
    job->done.signal();
    currentJob = nullptr;
}

void pollJob(Job& job, Settings& settings, JobWindow& window) {
    if (job.needLogin.test()) {
        window.showStatus(job.copyStatus());
        window.runLogin();
        job.go.signal();
    }
    if (job.needDistribution.test()) {
        window.showStatus(job.copyStatus());
        settings.configureOpen = 1;
        window.chooseDistribution();
        settings.configureOpen = 0;
        settings.mustChooseDistribution = 0;
        job.go.signal();
    }
    if (job.statusChanged.test())
        window.showStatus(job.copyStatus());
    if (job.done.test()) {
        // The pass may have posted its last line after the status was looked at above: show it
        // now, so that it can never replace the closing status line at a later tick.
        if (job.statusChanged.test())
            window.showStatus(job.copyStatus());
        if (settings.completeCheck) {
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
    window.showProgress(job.progress);
}

void endProcess(int code) {
    std::fflush(nullptr);
    if (passRunning())
        std::_Exit(code);
    std::exit(code);
}
