#pragma once

#include "app/shell/game_location.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Settings;

// The game's arguments: the program's own, each as it was given, then "-windowed", "-nosound"
// and "-opengl" for the options that are set.
std::vector<std::string> gameArguments(const std::vector<std::string>& ownArguments,
                                       const Settings& settings);

// Replaces this process by the game's executable in the game directory (the current directory)
// with `arguments`, run in the game's Wine prefix by its wine when it cannot be executed directly.
// Returns only when no start succeeded, with the reason.
std::string startGame(const GameInstallation& game, const std::vector<std::string>& arguments);

// What the user is told when the game could not be started, before the reason.
inline constexpr char gameStartFailed[] = "WoW could not be started";

// "%d bytes uploaded  -  Done!" with the bytes of the last upload, or "Done!" when none.
std::string closingStatusLine(std::int32_t bytesUploaded);

struct PassClosing {
    std::string statusLine;
    std::string startFailure; // why the game did not start; empty when no start was tried
};

// The end-of-pass step: starts the game when "Auto Run WoW" is on and no configuration dialog is
// open (no return when it starts); otherwise gives the closing status line. After a pass that
// ended through fatal, that line is the fatal message: a failure never reads "Done!".
PassClosing endOfPassStep(const Settings& settings, const GameInstallation& game,
                          const std::vector<std::string>& ownArguments,
                          const std::optional<std::string>& fatalMessage);
