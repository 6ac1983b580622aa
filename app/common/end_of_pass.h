#pragma once

#include "game/game_location.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class Settings;

// "%d bytes uploaded  -  Done!" with the bytes of the last upload, or "Done!" when none.
std::string closingStatusLine(std::int32_t bytesUploaded);

struct PassClosing {
    std::string statusLine;
    std::string startFailure; // why the game did not start; empty when no start was tried
};

// The end-of-pass step: starts the game when "Auto Run WoW" is on and no configuration dialog is
// open (no return when it starts; `beforeHandOver` gets the closing status line just before);
// otherwise gives the closing status line. After a pass that ended through fatal, that line is
// the fatal message: a failure never reads "Done!".
PassClosing endOfPassStep(const Settings& settings, const GameInstallation& game,
                          const std::vector<std::string>& ownArguments,
                          const std::optional<std::string>& fatalMessage,
                          const std::function<void(const std::string&)>& beforeHandOver = {});
