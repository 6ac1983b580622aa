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
    // With `--launch`: the launcher's own command, which starts the game in place of the
    // launcher's start that `runtime` describes, unchanged and from the directory it was given in.
    std::vector<std::string> launchCommand = {};
    std::string launchDirectory;
};

// Why start-up uses the installation it uses, in the order it asks.
enum class ChoiceReason {
    named,      // the player named it: -C or the current directory, $WINEPREFIX, a launch's command
    chosen,     // chosen before (pelvar-cli --game, Configure), as the settings remember
    onlyOne,    // the only one found
    playedLast, // of several, the one whose game ran last
    foundFirst, // of several that never ran, the first found
};

class Settings;

// What start-up is asked to find, and where the player's choice is remembered.
struct GameQuery {
    // Search on after the one used (to list them, or to offer a choice among them).
    bool everyInstallation = false;
    // Where the search starts: "" for the current directory.
    std::string startDirectory = {};
    // The start directory was named on the command line (pelvar-cli -C).
    bool directoryNamed = false;
    // `--launch -- COMMAND...`: the command's arguments (a path of the game's executable) and its
    // environment ($STEAM_COMPAT_DATA_PATH's pfx, else $WINEPREFIX) name the installation.
    bool launch = false;
    std::vector<std::string> launchCommand = {};
    // The choice stored before, and where a choice whose game is gone is dropped; none when null.
    Settings* settings = nullptr;
};

// What a search found, where it looked, and which installation it uses and why.
struct GameSearchResult {
    std::vector<GameInstallation> installations; // in the order of the search
    std::size_t usedIndex = static_cast<std::size_t>(-1);
    ChoiceReason reason = ChoiceReason::named;
    std::string namedBy;             // with `named`: "-C", "$WINEPREFIX", ...
    std::vector<std::string> looked; // every place that held no game, with why
    // Start-up notes for the status line: which of several is used and how to choose another, a
    // stored choice dropped. Worded for the user, in order.
    std::vector<std::string> notes;
    GameQuery query;       // what was searched for
    bool complete = false; // every installation was searched for

    const GameInstallation* used() const {
        return usedIndex < installations.size() ? &installations[usedIndex] : nullptr;
    }
    // Why the one used is used, for the user: "named by $WINEPREFIX", "chosen", "the only one",
    // "played last", "found first".
    std::string whyUsed() const;
};

// Looks for the game: the current directory, then the game's key in every Wine prefix of the
// machine (see knownPrefixes), or, for a Lutris game, the executable its configuration names.
// A game in the current directory keeps the prefix around it, if any, with the wine its launcher
// gives that prefix. The installation used is the one the player named; else the one chosen
// before; else the only one; else the one played last. The search stops at a named one unless
// `everyInstallation` is set.
GameSearchResult searchGames(const GameQuery& query = {});

// Start-up's search: the installation used becomes the current directory. `used()` of the result
// is null when no game was entered.
GameSearchResult enterGame(const GameQuery& query = {});

// enterGame, then, when the game was found outside the current directory and a copy of the
// program, "Pelvar.exe", is kept in the game directory, the hand-over to that copy with the
// program's own arguments (no return when it starts).
GameSearchResult enterGameOrHandOver(const std::vector<std::string>& ownArguments,
                                     const GameQuery& query = {});

// The lines `pelvar-cli --list-games` prints, one per installation: "* " for the one used ("  "
// for the others) and its number, then, separated by tabs, the game directory, the prefix ("-"
// for none), where it was found (with the launcher that owns the prefix) and what would start it
// (see runnerText); the one used ends with a tab and "used: " and why.
std::vector<std::string> gameListLines(const GameSearchResult& search);

// Where the search looked, one place a line, for "Can't find WoW, aborting" to explain.
std::string lookedText(const GameSearchResult& search);
