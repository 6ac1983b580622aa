#pragma once

#include "game/process_start.h"
#include "game/wine_prefixes.h"

#include <optional>
#include <string>
#include <vector>

// The game's installation directory, found as start-up does: the current directory when it
// holds "WoW.exe", else the InstallPath of the game's registry key. Under Wine that key lives in
// the prefix's system.reg, and Windows paths map through the prefix's dosdevices.

inline constexpr char gameExecutable[] = "WoW.exe";
inline constexpr char gameKey[] = "Software\\Blizzard Entertainment\\World of Warcraft";
inline constexpr char gameKey64[] =
    "Software\\Wow6432Node\\Blizzard Entertainment\\World of Warcraft";

// The "InstallPath" values of the game's key in the text of a Wine registry file, with Wine's
// escapes undone: the native key's, then the Wow6432Node key's of a 64-bit prefix (each value
// once); empty when neither is there.
std::vector<std::string> installPathsFromRegistry(const std::string& registryText);
// The same, read from the prefix's system.reg.
std::vector<std::string> readInstallPaths(const std::string& prefix);

// The text before the last backslash ("C:\Games\WoW\" gives "C:\Games\WoW"); the whole text
// when it holds none.
std::string cutAtLastBackslash(const std::string& windowsPath);

// A Windows path such as "D:\WoW" as a path of this system: the drive through the prefix's
// dosdevices link, each further component matched ignoring case, as Wine does. Nothing when a
// part cannot be found.
std::optional<std::string> unixPathOf(const std::string& prefix, const std::string& windowsPath);

// The name under which `directory` holds the game's executable, matched ignoring case as Wine
// does ("WoW.exe", "Wow.exe"); nothing when it holds none.
std::optional<std::string> gameExecutableIn(const std::string& directory);

// One installation of the game.
struct GameInstallation {
    std::string directory;  // the game directory, an absolute path
    std::string executable; // the game's executable there, as spelled on disk
    GameSource source = GameSource::currentDirectory;
    std::string origin;  // where it was found, for the user
    WineRuntime runtime; // its prefix ("" for none), and its launcher's runner and settings
};

// What a search found, and where it looked.
struct GameSearchResult {
    std::vector<GameInstallation> installations; // in the order of the search
    std::size_t usedIndex = 0;                   // the one start-up takes
    std::vector<std::string> looked;             // every place that held no game, with why

    const GameInstallation* used() const {
        return usedIndex < installations.size() ? &installations[usedIndex] : nullptr;
    }
};

// Looks for the game: the current directory, then the game's key in every Wine prefix of the
// machine (see knownPrefixes), or, for a Lutris game, the executable its configuration names.
// Stops at the first installation unless `everyInstallation` is set. A game in the current
// directory keeps the prefix around it, if any, with the wine its launcher gives that prefix.
GameSearchResult searchGames(bool everyInstallation);

// Start-up's search: the first installation found becomes the current directory (when entering it
// fails, the next is tried). `used()` of the result is null when no game was entered.
GameSearchResult enterGame();

// enterGame, then, when the game was found outside the current directory and a copy of the
// program, "Pelvar.exe", is kept in the game directory, the hand-over to that copy with the
// program's own arguments (no return when it starts).
GameSearchResult enterGameOrHandOver(const std::vector<std::string>& ownArguments);

// The lines `pelvar-cli --list-games` prints, one per installation: "* " for the one start-up
// would use ("  " for the others), then, separated by tabs, the game directory, the prefix ("-"
// for none), where it was found (with the launcher that owns the prefix) and what would start it
// (see runnerText).
std::vector<std::string> gameListLines(const GameSearchResult& search);

// Where the search looked, one place a line, for "Can't find WoW, aborting" to explain.
std::string lookedText(const GameSearchResult& search);
