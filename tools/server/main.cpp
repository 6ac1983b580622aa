// pelvar-server: serves distributions, accounts and uploads over the service's protocol. See
// `pelvar-server --help` and the README for its options and the layout of its root directory.

#include "tools/server/reference_server.h"
#include "tools/server/server_config.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void logLine(const std::string& line) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}

void reload(ReferenceServer& server, const ServerSettings& settings, const std::string& root) {
    ServerOptions wanted;
    std::string error;
    if (!resolveOptions(settings, root, wanted, error)) {
        logLine("SIGHUP: " + error + "; options unchanged");
        return;
    }
    std::vector<std::string> ignored;
    applyChangeable(wanted, *server.options().operator->(), ignored);
    std::string note;
    for (const std::string& name : ignored)
        note += (note.empty() ? "; " : ", ") + name;
    logLine("SIGHUP: options read again" +
            (note.empty() ? "" : note + " change only on a restart"));
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(serverUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("pelvar-server %s\n", PELVAR_VERSION);
            return 0;
        }
    }
    ServerSettings settings;
    std::string root, error;
    ServerOptions options;
    if (!parseCommandLine(argc, argv, settings, root, error) ||
        !resolveOptions(settings, root, options, error)) {
        std::fprintf(stderr, "pelvar-server: %s\n%s", error.c_str(), serverUsage);
        return 2;
    }
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "pelvar-server: %s is not a directory\n", root.c_str());
        return 2;
    }

    // The signals wait for this thread's sigwait: blocked here, before any thread starts, they
    // stay blocked in every thread.
    sigset_t signals;
    ::sigemptyset(&signals);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaddset(&signals, number);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ReferenceServer server(options, logLine);
    if (!server.start(error)) {
        std::fprintf(stderr, "pelvar-server: %s\n", error.c_str());
        return 1;
    }
    logLine("pelvar-server " PELVAR_VERSION ": serving " + root + " on " + options.address + ":" +
            std::to_string(server.port()));
    if (!settings.configFile.empty() && ::access(settings.configFile.c_str(), F_OK) != 0)
        logLine("no " + settings.configFile + " (yet): the options of the command line only");
    for (;;) {
        int number = 0;
        if (::sigwait(&signals, &number) != 0)
            continue;
        if (number != SIGHUP)
            break;
        reload(server, settings, root);
    }
    logLine("pelvar-server: stopping");
    server.stop();
    return 0;
}
