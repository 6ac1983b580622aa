#include "job_channel/worker_job.h"

#include "base/format_string.h"
#include "job_channel/job.h"
#include "net/protocol.h"
#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex fatalHookLock;
std::function<void(const std::string&)> fatalHook;

[[noreturn]] void endPass(const std::string& text) {
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
    job->postStatus(text);
    // Recorded before done, so that the end of the pass knows how it ended.
    job->setFatalMessage(text);
    std::this_thread::sleep_for(job->fatalPause);
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
      port(configuredServer() ? configuredServer()->port : defaultServerPort) {}

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
    }
}

void WorkerJob::askDistribution() const {
    if (Job* job = currentJob.load()) {
        job->needDistribution.signal();
        job->go.wait();
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
    switch (loginExchange(connection, user, password)) {
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
