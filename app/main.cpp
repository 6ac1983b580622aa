// pelvar: the window. Finds the game, shows the main window, and runs a pass at once.

#include "app/window/application.h"
#include "app/window/message_boxes.h"
#include "job_channel/job.h"
#include "net/server_link.h"

#include <QApplication>
#include <QIcon>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char usage[] =
    "usage: pelvar [game arguments]\n"
    "       pelvar --launch -- COMMAND [ARGUMENTS]\n"
    "Pelvar Patcher / Mirelgan Uploader: opens its window in the World of Warcraft directory and\n"
    "runs one pass at once: the list of Pelvar distributions, the Mirelgan upload of the data the\n"
    "game's add-on recorded, then the patching of the chosen distribution's interface files.\n"
    "\n"
    "The game directory is the current directory when it holds WoW.exe, else the InstallPath of\n"
    "the game's key in a Wine prefix: $WINEPREFIX, else the installation chosen before, else the\n"
    "only one, else the one played last among ~/.wine and the prefixes of Lutris games, Bottles\n"
    "bottles and Steam's compatdata (pelvar-cli --list-games shows what is found). Every\n"
    "argument is handed, as it is, to the game when it is started (\"Run WoW\", or \"Auto Run\n"
    "WoW\" after a pass), in its Wine prefix, followed by the options chosen under Configure\n"
    "(-windowed, -nosound, -opengl).\n"
    "\n"
    "  --launch -- COMMAND  run the pass for the game that COMMAND starts (Steam's launch option\n"
    "              'pelvar --launch -- %command%', Lutris's command prefix), then, when the\n"
    "              game would start or the window closes, replace this process with COMMAND\n"
    "              and its arguments, unchanged\n"
    "  --rollback  instead of the first pass, undo the last pass in the game directory that\n"
    "              changed something and show its report; the files it undid are held by\n"
    "              .nopatch markers until --release\n"
    "  --release   instead of the first pass, remove the markers that rollbacks made (never\n"
    "              the user's own), so that the next pass patches those files again, and show\n"
    "              its report\n"
    "  --help      print this text and end\n"
    "  --version   print the version and end\n"
    "\n"
    "Environment: MIRELGAN_SERVER (a.b.c.d or a.b.c.d:port) overrides the server, and\n"
    "MIRELGAN_SETTINGS the settings database (default: $XDG_CONFIG_HOME/Mirelgan/settings.db).\n"
    "SIGTERM, SIGINT and SIGHUP close the window as its Exit button does.\n";

} // namespace

int main(int argc, char** argv) {
    // Ours, not the game's (whose options have one dash): answered before anything of the
    // window exists, so that they work without a display.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::vector<std::string> launchCommand;
    if (auto launch = std::find(arguments.begin(), arguments.end(), "--launch");
        launch != arguments.end()) {
        auto command = std::find(launch, arguments.end(), "--");
        if (command != arguments.end())
            launchCommand.assign(command + 1, arguments.end());
        arguments.erase(launch, arguments.end());
        if (launchCommand.empty()) {
            std::fputs("pelvar: --launch takes the command that starts the game after --\n",
                       stderr);
            return 2;
        }
    }
    bool rollback = std::erase(arguments, "--rollback") > 0;
    bool release = std::erase(arguments, "--release") > 0;
    if (rollback && release) {
        std::fputs("pelvar: --rollback and --release exclude each other\n", stderr);
        return 2;
    }
    for (const std::string& argument : arguments) {
        if (argument == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("pelvar %s\n", MIRELGAN_VERSION);
            return 0;
        }
    }

    if (!launchCommand.empty() && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        // No window can open: the launcher's game starts without a pass rather than not at all.
        std::fputs("pelvar: no display to open the window on\n", stderr);
        Application::startLaunchCommand(launchCommand);
    }
    QApplication qt(argc, argv);
    initWindowResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pelvar.svg")));
    QApplication::setDesktopFileName(QStringLiteral("pelvar"));
    Application application(arguments);
    application.rollback = rollback;
    application.launchCommand = launchCommand;
    application.release = release;
    if (!application.settings.storeError().empty())
        std::fprintf(stderr, "pelvar: settings are not remembered: %s\n",
                     application.settings.storeError().c_str());
    if (!configuredServer()) {
        if (!launchCommand.empty()) {
            std::fputs("pelvar: MIRELGAN_SERVER must be a.b.c.d or a.b.c.d:port\n", stderr);
            Application::startLaunchCommand(launchCommand);
        }
        showMessage(nullptr, "MIRELGAN_SERVER must be a.b.c.d or a.b.c.d:port");
        return 2;
    }
    setFatalHook([](const std::string& message) { showMessage(nullptr, message); });
    application.closeOnTerminationSignals();
    // A pass that still runs when the window closes ends with the process inside startup; when
    // none runs, everything is torn down in order.
    return application.startup();
}
