// pelvar-cli: one pass of the patcher and uploader with the terminal as its window.

#include "app/cli/terminal_window.h"
#include "app/common/report.h"
#include "base/diagnostic.h"
#include "base/format_string.h"
#include "base/fs.h"
#include "game/game_choice.h"
#include "game/game_location.h"
#include "game/launcher.h"
#include "job_channel/job.h"
#include "job_channel/worker_job.h"
#include "net/server_link.h"
#include "pass/patch_run.h"
#include "pass/rollback.h"
#include "settings/settings.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

const char usage[] =
    "usage: pelvar-cli [options] [-- game arguments]\n"
    "       pelvar-cli [options] --launch -- COMMAND [ARGUMENTS]\n"
    "Runs one pass: distribution list, Mirelgan upload, Pelvar patching, report.\n"
    "  -C DIR              the game directory (default: the current directory, else the game\n"
    "                      found in a Wine prefix: the one chosen with --game, else the only\n"
    "                      one, else the one played last)\n"
    "  --anonymous         answer a login request by uploading anonymously (once: when that is\n"
    "                      refused too, the upload is skipped)\n"
    "  --no-upload         answer a login request by skipping the upload\n"
    "  --user NAME         log in as NAME for this run (not stored); the password is the first\n"
    "                      line of --password-file FILE, else $MIRELGAN_PASSWORD, never an\n"
    "                      argument; a refused login skips the upload\n"
    "  --password-file FILE  the password of --user\n"
    "  --distribution N    use distribution N (0: do not download Interface files)\n"
    "  --complete-check    hash every file again and report the check\n"
    "  --keep-clean on|off set aside Interface files that the distribution does not list\n"
    "  --run-game          start the game after the pass, with the arguments after --\n"
    "                      and the stored game options; the game then takes this process\n"
    "                      over, and its exit code is the game's\n"
    "  --verbose           write the pass's trace lines to standard error\n"
    "  --list-games        print every installation of the game found, numbered, with the wine\n"
    "                      that would start it (the one used marked *, with why), and end\n"
    "  --game N|DIR        choose installation N of --list-games (or the one in DIR) for this\n"
    "                      and every later start, print the list, and end\n"
    "  --launch -- COMMAND run one pass for the game that COMMAND starts (its environment's\n"
    "                      STEAM_COMPAT_DATA_PATH or WINEPREFIX, or a WoW.exe among its\n"
    "                      arguments), then replace this process with COMMAND and its arguments,\n"
    "                      unchanged, whatever the pass did: Steam's launch option\n"
    "                      'pelvar-cli --launch -- %command%', Lutris's command prefix\n"
    "                      'pelvar-cli --launch --'\n"
    "  --rollback          instead of a pass, undo the last pass in the game directory that\n"
    "                      changed something, and hold the files it undid with .nopatch markers\n"
    "  --no-hold           with --rollback: write no markers; the next pass patches again\n"
    "  --release           remove the markers that rollbacks made (never the user's own), so\n"
    "                      that the next pass patches those files again, and end\n"
    "  --help, --version   print this text or the version and end\n"
    "Every status line goes to standard output, the closing status line last (before what a\n"
    "game started by --run-game prints): \"Done!\", \"N bytes uploaded  -  Done!\", or the\n"
    "message that ended the pass early.\n"
    "Exit codes: 0 after a normal pass; 1 after a pass that ended early, when a listed file could\n"
    "not be installed (or rolled back) or the game could not be started; 2 for a usage error or\n"
    "no game; the game's own once --run-game has started it, COMMAND's after --launch.\n";

// With --launch, the launcher's command, and the directory it was given in: it starts the game
// whatever happens here.
GameInstallation launch;

// Replaces this process with the launcher's command; ends with the shell's codes when it cannot.
[[noreturn]] void startLaunchCommand() {
    std::string failure = startGame(launch, {});
    int code = errno == ENOENT ? 127 : 126;
    std::fprintf(stderr, "pelvar-cli: %s: %s\n", gameStartFailed,
                 visibleText(failure, false).c_str());
    std::exit(code);
}

// The exit code once everything printed has been written out: output that could not be written
// (a full disk, a closed pipe) is no success.
int outputChecked(int code) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return code;
    int error = errno;
    std::fprintf(stderr, "pelvar-cli: the output could not be written: %s\n",
                 std::strerror(error ? error : EIO));
    return code == 0 ? 1 : code;
}

[[noreturn]] void usageError(const std::string& message) {
    if (!launch.launchCommand.empty()) {
        // A launcher waits for its game: a mistake here never keeps it from starting.
        std::fprintf(stderr, "pelvar-cli: %s\n", visibleText(message, false).c_str());
        startLaunchCommand();
    }
    std::fprintf(stderr, "pelvar-cli: %s\n%s", message.c_str(), usage);
    std::exit(2);
}

// The first line of a file, without its line break.
std::optional<std::string> firstLine(const std::string& path) {
    UniqueFile file = openForReading(path);
    if (!file)
        return std::nullopt;
    std::string line;
    if (!readPiece(file.get(), line, 4096) && std::ferror(file.get()))
        return std::nullopt;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

CliOptions parse(int argc, char** argv) {
    CliOptions options;
    std::optional<std::string> passwordFile;
    std::string passOption; // the first option that only a pass takes
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (passOption.empty() &&
            (option == "--anonymous" || option == "--no-upload" || option == "--user" ||
             option == "--password-file" || option == "--distribution" ||
             option == "--complete-check" || option == "--keep-clean"))
            passOption = option;
        if (option == "-h" || option == "--help") {
            std::fputs(usage, stdout);
            std::exit(outputChecked(0));
        } else if (option == "--version") {
            std::printf("pelvar-cli %s\n", MIRELGAN_VERSION);
            std::exit(outputChecked(0));
        } else if (option == "-C" && hasValue) {
            options.gameDirectory = argv[++i];
        } else if (option == "--anonymous") {
            options.anonymous = true;
        } else if (option == "--no-upload") {
            options.noUpload = true;
        } else if (option == "--user" && hasValue) {
            options.user = argv[++i];
            if (options.user->empty())
                usageError("--user takes an account name");
        } else if (option == "--password-file" && hasValue) {
            passwordFile = argv[++i];
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
        } else if (option == "--list-games") {
            options.listGames = true;
        } else if (option == "--game" && hasValue) {
            options.chooseGame = argv[++i];
        } else if (option == "--launch") {
            options.launch = true;
        } else if (option == "--verbose") {
            options.verbose = true;
        } else if (option == "--run-game") {
            options.runGame = true;
        } else if (option == "--rollback") {
            options.rollback = true;
        } else if (option == "--no-hold") {
            options.noHold = true;
        } else if (option == "--release") {
            options.release = true;
        } else if (option == "--") {
            options.gameArguments.assign(argv + i + 1, argv + argc);
            break;
        } else {
            usageError("unknown option " + option);
        }
    }
    if (options.rollback && options.release)
        usageError("--rollback and --release exclude each other");
    if (options.noHold && !options.rollback)
        usageError("--no-hold goes with --rollback");
    if ((options.rollback || options.release) && !passOption.empty())
        usageError((options.rollback ? "--rollback" : "--release") +
                   std::string(" runs no pass: ") + passOption + " does not go with it");
    if (options.release && options.runGame)
        usageError("--release starts no game");
    if (options.launch && options.gameArguments.empty())
        usageError("--launch takes the command that starts the game after --");
    if (options.launch && (options.runGame || options.listGames || options.chooseGame ||
                           options.rollback || options.release))
        usageError("--launch runs a pass and then the command: it goes with no --run-game, "
                   "--list-games, --game, --rollback or --release");
    if (int answers = options.anonymous + options.noUpload + options.user.has_value(); answers > 1)
        usageError("--anonymous, --no-upload and --user exclude each other");
    if (passwordFile && !options.user)
        usageError("--password-file goes with --user");
    if (options.user) {
        if (passwordFile) {
            std::optional<std::string> password = firstLine(*passwordFile);
            if (!password)
                usageError("cannot read the password file " + *passwordFile);
            options.password = *password;
        } else if (const char* password = std::getenv("MIRELGAN_PASSWORD")) {
            options.password = password;
        } else {
            usageError("--user needs --password-file FILE or MIRELGAN_PASSWORD");
        }
    }
    return options;
}

// --release: the markers that rollbacks made go, under the game directory's lock.
int release(Settings& settings) {
    DirectoryLock gameDirectory;
    if (!gameDirectory.tryLock(".")) {
        std::fputs("Another pass is running in this game directory, aborting: try again when it "
                   "has ended\n",
                   stderr);
        return 1;
    }
    std::vector<std::string> lines = releaseHeld(settings.key);
    int code = 0;
    for (const std::string& line : lines) {
        std::printf("%s\n", visibleText(line, false).c_str());
        if (line.starts_with("Error: "))
            code = 1;
    }
    std::puts(lines.empty() ? "Nothing to release." : "Done!");
    return code;
}

// The installation that --game names: its number in the list, or its directory.
std::optional<std::size_t> installationNamed(const std::string& name,
                                             const GameSearchResult& search) {
    char* end = nullptr;
    long number = std::strtol(name.c_str(), &end, 10);
    if (!name.empty() && *end == '\0')
        return number >= 1 && static_cast<std::size_t>(number) <= search.installations.size()
                   ? std::optional<std::size_t>(static_cast<std::size_t>(number) - 1)
                   : std::nullopt;
    char* real = ::realpath(name.c_str(), nullptr);
    std::string directory = real ? real : name;
    std::free(real);
    for (std::size_t i = 0; i < search.installations.size(); ++i)
        if (search.installations[i].directory == directory)
            return i;
    return std::nullopt;
}

// --list-games and --game: the installations, numbered, the one used marked with why.
int listGames(const CliOptions& options, GameQuery query, Settings& settings) {
    query.everyInstallation = true;
    GameSearchResult all = searchGames(query);
    if (options.chooseGame) {
        std::optional<std::size_t> chosen = installationNamed(*options.chooseGame, all);
        if (!chosen) {
            std::fprintf(stderr,
                         "pelvar-cli: --game %s: no such installation of WoW (see "
                         "--list-games)\n",
                         visibleText(*options.chooseGame, false).c_str());
            return 2;
        }
        std::string failure =
            chooseInstallation(settings, all, all.installations[*chosen].directory);
        if (!failure.empty()) {
            std::fprintf(stderr, "pelvar-cli: %s\n", visibleText(failure, false).c_str());
            return 1;
        }
        // What the player names at a start still goes first.
        if (all.reason != ChoiceReason::named) {
            all.usedIndex = *chosen;
            all.reason = ChoiceReason::chosen;
            all.notes.clear();
        }
    }
    for (const std::string& note : all.notes)
        std::fprintf(stderr, "%s\n", visibleText(note, false).c_str());
    // Paths from the disk are shown safely; the tabs between the fields stay.
    for (const std::string& line : gameListLines(all)) {
        std::string shown;
        for (std::size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
            tab = line.find('\t', start);
            shown += visibleText(std::string_view(line).substr(start, tab - start), false) +
                     (tab == std::string::npos ? "\n" : "\t");
        }
        std::fputs(shown.c_str(), stdout);
    }
    if (all.installations.empty())
        std::fprintf(stderr, "Can't find WoW, aborting\nLooked in:\n%s",
                     visibleText(lookedText(all), true).c_str());
    return all.installations.empty() ? 2 : 0;
}

} // namespace

int main(int argc, char** argv) {
    // Known before anything can go wrong: with --launch, the command then still starts.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--launch") == 0)
            for (int j = i + 1; j < argc; ++j)
                if (std::strcmp(argv[j], "--") == 0) {
                    launch.launchCommand.assign(argv + j + 1, argv + argc);
                    char here[4096];
                    launch.launchDirectory = ::getcwd(here, sizeof here) ? here : "";
                    break;
                }
    CliOptions options = parse(argc, argv);
    if (!options.gameDirectory.empty() && ::chdir(options.gameDirectory.c_str()) != 0)
        usageError("cannot enter the game directory " + options.gameDirectory);

    Settings settings;
    if (!settings.storeError().empty())
        std::fprintf(stderr, "pelvar-cli: settings are not remembered: %s\n",
                     settings.storeError().c_str());
    GameQuery query;
    query.directoryNamed = !options.gameDirectory.empty();
    query.launch = options.launch;
    query.launchCommand = launch.launchCommand;
    query.settings = &settings;
    if (options.listGames || options.chooseGame)
        return outputChecked(listGames(options, query, settings));
    GameSearchResult search = enterGame(query);
    // Start-up's notes come first, as the window's status line shows them.
    for (const std::string& note : search.notes)
        std::printf("%s\n", visibleText(note, false).c_str());
    if (!search.used()) {
        std::fprintf(stderr, "Can't find WoW, aborting\nLooked in:\n%s",
                     visibleText(lookedText(search), true).c_str());
        if (options.launch) {
            std::puts("Can't find WoW, aborting");
            startLaunchCommand();
        }
        return 2;
    }
    GameInstallation game = *search.used();
    game.launchCommand = launch.launchCommand;
    game.launchDirectory = launch.launchDirectory;
    if (!configuredServer())
        usageError("MIRELGAN_SERVER must be a.b.c.d or a.b.c.d:port, not '" +
                   std::string(std::getenv("MIRELGAN_SERVER")) + "'");

    // Standard output carries the status lines; the trace lines only go out when asked for.
    setDiagnosticStream(options.verbose ? stderr : std::fopen("/dev/null", "we"));

    if (options.release)
        return outputChecked(release(settings));
    // Only --run-game (or the launcher's command) starts the game, as the "Run WoW" button does:
    // in memory, not stored.
    settings.autoRunWoW = options.runGame || options.launch ? 1 : 0;
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
    if (options.user) {
        std::lock_guard guard(settings.credentialsLock);
        settings.Username = *options.user;
        settings.Password = options.password;
    }

    // Neither is ever destroyed: the process ends in endProcess.
    Job job;
    // A launcher's game waits for no message to be read: a failure's line is printed, and on.
    if (options.launch)
        job.fatalPause = std::chrono::milliseconds(0);
    TerminalWindow window(job, settings, options, game);
    if (options.rollback)
        startPass(job, settings,
                  [hold = !options.noHold](WorkerJob& worker) { runRollback(worker, hold); });
    else
        startPass(job, settings, runPatchPass);
    while (!window.passEnded()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pollJob(job, settings, window);
    }
    job.worker.join();
    endProcess(outputChecked(window.exitCode()));
}
