#pragma once

#include "game/game_location.h"
#include "job_channel/job.h"
#include "settings/settings.h"

#include <string>
#include <vector>

class MainWindow;

inline constexpr char applicationTitle[] = "Pelvar Patcher / Mirelgan Uploader";

// Makes the window's compiled-in resources (the icon) available; the window library is static,
// so its resources are brought in by this call.
void initWindowResources();

// The application object: owns the settings for the whole run, knows the main window while it is
// shown and the program's own arguments.
class Application {
public:
    // `arguments` are those after the program's name, as they were given.
    explicit Application(std::vector<std::string> arguments, const std::string& storePath = {});

    Settings settings;
    MainWindow* mainWindow = nullptr;
    std::vector<std::string> arguments;
    // The game start-up found: its directory is the current directory.
    GameInstallation game;
    // What a pass does; the patch run unless a test gives its own.
    PassBody passBody;
    // The first pass is a rollback (`pelvar --rollback`), or the release of what rollbacks held
    // (`pelvar --release`); the passes after it patch.
    bool rollback = false;
    bool release = false;
    // `pelvar --launch -- COMMAND...`: the launcher's command, which starts the game (after the
    // pass, or when the window closes) instead of the game's own start.
    std::vector<std::string> launchCommand;
    // What start-up found: every installation for the Configure dialog's choice (see
    // game/game_choice.h), and its notes for the status line (which of several is used and how
    // to choose another, a stored choice dropped).
    GameSearchResult search;
    std::vector<std::string> startupNotes;

    // Replaces the process with a launcher's command, from `directory` ("" for the current one);
    // when it cannot, says why on standard error and ends as a shell would.
    [[noreturn]] static void startLaunchCommand(const std::vector<std::string>& command,
                                                const std::string& directory = {});

    // Finds the game (or hands over to the copy of the program kept there), then shows the main
    // window until it closes. Gives the exit code; a pass that still runs when the window has
    // closed ends with the process, before anything it uses is destroyed.
    int startup();

    // From now on SIGTERM, SIGINT and SIGHUP (the session ends, Ctrl+C) close the window as its
    // Exit button does.
    void closeOnTerminationSignals();
    // Closes the window as Exit does. Dialogs open over it are not answered: when one is, the
    // process ends at once.
    void requestEnd();

private:
    bool ending_ = false; // a signal asked the program to end
};
