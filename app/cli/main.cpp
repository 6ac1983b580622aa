// pelvar-cli: one pass of the patcher and uploader with the terminal as its window.

#include "app/cli/terminal_window.h"
#include "app/job/diagnostic.h"
#include "app/job/job.h"
#include "app/job/worker_job.h"
#include "app/shell/game_location.h"
#include "net/server_link.h"
#include "patcher/patch_run.h"
#include "settings/format_string.h"
#include "settings/settings.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: pelvar-cli [options] [-- game arguments]\n"
    "Runs one pass: distribution list, Mirelgan upload, Pelvar patching, report.\n"
    "  -C DIR              the game directory (default: the current directory, else the game's\n"
    "                      InstallPath in the Wine prefix)\n"
    "  --anonymous         answer a login request by uploading anonymously\n"
    "  --no-upload         answer a login request by skipping the upload\n"
    "  --distribution N    use distribution N (0: do not download Interface files)\n"
    "  --complete-check    hash every file again and report the check\n"
    "  --keep-clean on|off set aside Interface files that the distribution does not list\n"
    "  --run-game          start the game after the pass, with the arguments after --\n"
    "                      and the stored game options\n"
    "  --verbose           write the pass's trace lines to standard error\n";

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "pelvar-cli: %s\n%s", message.c_str(), usage);
    std::exit(2);
}

CliOptions parse(int argc, char** argv) {
    CliOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == "-h" || option == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (option == "-C" && hasValue) {
            options.gameDirectory = argv[++i];
        } else if (option == "--anonymous") {
            options.anonymous = true;
        } else if (option == "--no-upload") {
            options.noUpload = true;
        } else if (option == "--distribution" && hasValue) {
            char* end = nullptr;
            long number = std::strtol(argv[++i], &end, 10);
            if (!*argv[i] || *end || number < 0 || number > 2147483647)
                usageError("--distribution takes a number, not '" + std::string(argv[i]) + "'");
            options.distribution = static_cast<int>(number);
        } else if (option == "--complete-check") {
            options.completeCheck = true;
        } else if (option == "--keep-clean" && hasValue) {
            std::string value = argv[++i];
            if (value != "on" && value != "off")
                usageError("--keep-clean takes on or off, not '" + value + "'");
            options.keepClean = value == "on";
        } else if (option == "--verbose") {
            options.verbose = true;
        } else if (option == "--run-game") {
            options.runGame = true;
        } else if (option == "--") {
            for (++i; i < argc; ++i)
                options.commandLine +=
                    (options.commandLine.empty() ? "" : " ") + std::string(argv[i]);
        } else {
            usageError("unknown option " + option);
        }
    }
    if (options.anonymous && options.noUpload)
        usageError("--anonymous and --no-upload exclude each other");
    return options;
}

} // namespace

int main(int argc, char** argv) {
    CliOptions options = parse(argc, argv);
    if (!options.gameDirectory.empty() && ::chdir(options.gameDirectory.c_str()) != 0)
        usageError("cannot enter the game directory " + options.gameDirectory);
    if (findGame(winePrefix()) == GameSearch::notFound) {
        std::fprintf(stderr, "Can't find WoW, aborting\n");
        return 2;
    }
    if (!configuredServer())
        usageError("MIRELGAN_SERVER must be a.b.c.d or a.b.c.d:port, not '" +
                   std::string(std::getenv("MIRELGAN_SERVER")) + "'");

    // Standard output carries the status lines; the trace lines only go out when asked for.
    setDiagnosticStream(options.verbose ? stderr : std::fopen("/dev/null", "w"));

    Settings settings;
    if (!settings.storeError().empty())
        std::fprintf(stderr, "pelvar-cli: settings are not remembered: %s\n",
                     settings.storeError().c_str());
    // Only --run-game starts the game, as the "Run WoW" button does: in memory, not stored.
    settings.autoRunWoW = options.runGame ? 1 : 0;
    if (options.keepClean && *options.keepClean != settings.keepClean) {
        settings.keepClean = *options.keepClean;
        std::string text;
        formatString(text, "%d", static_cast<int>(settings.keepClean));
        settings.writeString("KeepClean", text);
    }
    if (options.completeCheck)
        settings.completeCheck = 1;
    if (options.distribution)
        settings.mustChooseDistribution = 1; // the pass then asks, and the option answers

    Job job;
    TerminalWindow window(settings, options);
    bool fatalEnd = false;
    startPass(job, settings, [&fatalEnd](WorkerJob& worker) {
        try {
            runPatchPass(worker);
        } catch (const PassAborted&) {
            fatalEnd = true;
            throw;
        }
    });
    while (!window.passEnded()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pollJob(job, settings, window);
    }
    job.worker.join();
    if (fatalEnd)
        std::fprintf(stderr, "%s\n", job.copyStatus().c_str());
    endProcess(fatalEnd ? 1 : 0);
}
