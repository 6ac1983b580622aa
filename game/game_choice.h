#pragma once

#include "game/game_location.h"

#include <string>
#include <vector>

class Settings;

// The installation of the game that the player chose (pelvar-cli --game, the Configure dialog),
// kept in the settings by its game directory. A directory that fits a value is stored as
// "GameDirectory" itself; a longer one in pieces ("GameDirectory1", ...) with "GameDirectory"
// written last, holding their count and the whole path's MD5 digest, so that a choice written in
// part is never taken for another.

struct StoredChoice {
    bool present = false;  // a choice is stored
    bool readable = false; // and it could be read whole
    std::string directory;
};

StoredChoice storedGameChoice(const Settings& settings);
void dropGameChoice(Settings& settings);

// One row of a choice among the installations found, as the Configure dialog's drop-down shows
// it.
struct InstallationRow {
    std::string directory; // the game directory: what chooseInstallation takes
    std::string label;     // how it is shown: the directory, then where it was found
    bool used = false;     // the one this run uses
    std::string why;       // for the one used, why ("chosen", "played last", ...); else ""
};

// Every installation, for a choice among them: what start-up found when it searched for every
// one, else a new search from where start-up began, which marks the same one used.
GameSearchResult searchEveryInstallation(const GameSearchResult& startup);

std::vector<InstallationRow> installationRows(const GameSearchResult& search);

// Stores the installation whose game directory is `directory` (one of `search`'s, compared
// resolved) as the player's choice: the next start-up uses it unless another is named. "" when
// it is stored, else why not, worded for the user.
std::string chooseInstallation(Settings& settings, const GameSearchResult& search,
                               const std::string& directory);
