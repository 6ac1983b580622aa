#pragma once

#include "app/job/job.h"
#include "settings/settings.h"

#include <string>

class MainWindow;

inline constexpr char applicationTitle[] = "Pelvar Patcher / Mirelgan Uploader";

// Makes the window's compiled-in resources (the icon) available; the window library is static,
// so its resources are brought in by this call.
void initWindowResources();

// The application object: owns the settings for the whole run, knows the main window while it is
// shown and the program's own command-line text.
class Application {
public:
    // The command-line text is the arguments after the program's name, joined by blanks.
    Application(int argc, char** argv, const std::string& storePath = {});

    Settings settings;
    MainWindow* mainWindow = nullptr;
    std::string commandLine;
    // What a pass does; the patch run unless a test gives its own.
    PassBody passBody;

    // Finds the game (or hands over to the copy of the program kept there), then shows the main
    // window until it closes. Gives the exit code.
    int startup();
};
