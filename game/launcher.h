#pragma once

#include "game/game_location.h"

#include <functional>
#include <string>
#include <vector>

class Settings;

// The game's arguments: the program's own, each as it was given, then "-windowed", "-nosound"
// and "-opengl" for the options that are set.
std::vector<std::string> gameArguments(const std::vector<std::string>& ownArguments,
                                       const Settings& settings);

// How the game is started, or why it cannot be.
struct GameStart {
    std::string file;               // the program that replaces this process
    std::vector<std::string> argv;  // its argument list, its own name first
    EnvironmentChanges environment; // the launcher's settings and the prefix
    // The game's executable is no Windows program: it is run by itself first, and by `file` (the
    // PATH's wine, "" when there is none) only when this system cannot run it.
    bool executableFirst = false;
    std::string problem; // what keeps the game from starting, worded for the user; "" for none
};

// The start of `game`'s executable with `arguments`, in its prefix, by its launcher's runner (a
// Windows program) with the launcher's settings, or by the PATH's wine. What can be known before
// the hand-over is checked: the runner is installed and executable, and it can run the game's
// executable (a 32-bit program needs a wine with 32-bit support).
GameStart planGameStart(const GameInstallation& game, const std::vector<std::string>& arguments);

// Replaces this process by the game, started as planGameStart says, from the game directory (the
// current directory); or, after `--launch`, by the launcher's command, unchanged, from the
// directory it was given in. `beforeHandOver` runs once the checks have passed, just before.
// Returns only when no start succeeded, with the reason.
std::string startGame(const GameInstallation& game, const std::vector<std::string>& arguments,
                      const std::function<void()>& beforeHandOver = {});

// What would start the game, for the user: "wine <path>", "Proton <path>", ..., or, after
// "cannot start: ", why nothing can.
std::string runnerText(const GameInstallation& game);

// What the user is told when the game could not be started, before the reason.
inline constexpr char gameStartFailed[] = "WoW could not be started";
