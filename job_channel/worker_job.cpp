#include "job_channel/worker_job.h"

#include "base/format_string.h"
#include "job_channel/job.h"
#include "net/protocol.h"
#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex fatalHookLock;
std::function<void(const std::string&)> fatalHook;

// A wait's length is recorded for the front ends that print every line this often.
constexpr long waitRecordedEvery = 10; // seconds
constexpr auto fatalPauseSlice = std::chrono::milliseconds(20);

[[noreturn]] void endPass(std::string text) {
    Job* job = currentJob.load();
    if (!job) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard guard(fatalHookLock);
            hook = fatalHook;
        }
        if (hook)
            hook(text);
        else
            std::fprintf(stderr, "%s\n", text.c_str());
        std::exit(0);
    }
    // Whatever failed once the window asked the pass to stop failed because of the stop.
    if (job->stopRequested)
        text = passStoppedMessage;
    job->waitingForServer = false;
    job->postStatus(text);
    // Recorded before done, so that the end of the pass knows how it ended.
    job->setFatalMessage(text);
    // The message stays a while, unless the window wants the pass ended now.
    auto pauseEnd = std::chrono::steady_clock::now() + job->fatalPause;
    while (!job->stopRequested && std::chrono::steady_clock::now() < pauseEnd)
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(fatalPauseSlice, job->fatalPause));
    // workerMain signals done once the pass has unwound and released what it held.
    throw PassAborted{};
}

} // namespace

void setFatalHook(std::function<void(const std::string&)> hook) {
    std::lock_guard guard(fatalHookLock);
    fatalHook = std::move(hook);
}

WorkerJob::WorkerJob(Settings& settingsRecord)
    : settings(settingsRecord),
      port(configuredServer() ? configuredServer()->port : defaultServerPort) {
    connection.onWait = [this](const LinkWait& wait) { return watchWait(wait); };
}

bool WorkerJob::watchWait(const LinkWait& wait) {
    Job* job = currentJob.load();
    if (!job)
        return true;
    if (job->stopRequested)
        return false;
    if (wait.over) {
        // The line that the wait replaced comes back, unless the pass has posted another.
        if (waitShownSeconds_ > 0 && job->copyStatus().starts_with(waitText_ + " ("))
            job->showStatusOnly(lineBeforeWait_, false);
        waitShownSeconds_ = 0;
        job->waitingForServer = false;
        return true;
    }
    long seconds = static_cast<long>(wait.lasted.count() / 1000);
    if (seconds < 1 || seconds == waitShownSeconds_)
        return true;
    if (waitShownSeconds_ == 0) {
        lineBeforeWait_ = job->copyStatus();
        waitText_ =
            wait.awaited == LinkWait::Awaited::reply ? "Waiting for Response" : lineBeforeWait_;
        job->waitingForServer = true;
    }
    waitShownSeconds_ = seconds;
    std::string text;
    formatString(text, "%s (%ld s)", waitText_.c_str(), seconds);
    job->showStatusOnly(text, seconds % waitRecordedEvery == 0);
    return true;
}

bool WorkerJob::stopRequested() const {
    Job* job = currentJob.load();
    return job && job->stopRequested;
}

void WorkerJob::stopped() const {
    endPass(passStoppedMessage);
}

void WorkerJob::status(const char* format, ...) const {
    Job* job = currentJob.load();
    if (!job)
        return;
    std::string text;
    va_list arguments;
    va_start(arguments, format);
    formatStringV(text, format, arguments);
    va_end(arguments);
    job->postStatus(text);
}

void WorkerJob::fatal(const char* format, ...) const {
    std::string text;
    va_list arguments;
    va_start(arguments, format);
    formatStringV(text, format, arguments);
    va_end(arguments);
    endPass(text);
}

void WorkerJob::setProgress(int percent) const {
    if (Job* job = currentJob.load())
        job->progress = percent;
}

void WorkerJob::askLogin() const {
    if (Job* job = currentJob.load()) {
        job->needLogin.signal();
        job->go.wait();
        // The window released the worker to end the pass, not with an answer.
        if (job->stopRequested)
            stopped();
    }
}

void WorkerJob::askDistribution() const {
    if (Job* job = currentJob.load()) {
        job->needDistribution.signal();
        job->go.wait();
        if (job->stopRequested)
            stopped();
    }
}

void WorkerJob::connect() {
    std::optional<ServerEndpoint> server = configuredServer();
    if (!server)
        fatal("Can't connect!");
    server->port = port;
    ServerLink::ConnectResult result = connection.connect(*server);
    switch (result.failure) {
    case ServerLink::Failure::none:
        break;
    case ServerLink::Failure::createSocket:
        fatal("Windows Sockets error %d: Couldn't create socket.", result.errorCode);
    case ServerLink::Failure::bind:
        fatal("Windows Sockets error %d: Couldn't bind socket.", result.errorCode);
    case ServerLink::Failure::connect:
        if (result.errorCode == ETIMEDOUT)
            fatal("Can't connect: the server did not answer within %ld s",
                  static_cast<long>(connection.connectTimeout.count() / 1000));
        fatal("Can't connect!");
    }
    status("Connected");
}

int WorkerJob::login() {
    std::string user, password;
    {
        std::lock_guard guard(settings.credentialsLock);
        user = settings.Username;
        password = settings.Password;
    }
    LoginOutcome outcome = loginExchange(connection, user, password);
    if (Job* job = currentJob.load())
        job->loginRefused = outcome == LoginOutcome::refused;
    switch (outcome) {
    case LoginOutcome::accepted:
        return 1;
    case LoginOutcome::noReply:
        fatal("Login failed: not connected?");
    case LoginOutcome::refused:
    case LoginOutcome::notSent:
        break;
    }
    return 0;
}
