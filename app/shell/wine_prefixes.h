#pragma once

#include <string>
#include <vector>

// Where a game installation was found, in the order of the search.
enum class GameSource {
    currentDirectory,
    winePrefixVariable, // $WINEPREFIX
    homeWine,           // ~/.wine
    lutris,
    bottles,
    steam,
};

// A Wine prefix of this machine and what made it.
struct KnownPrefix {
    std::string prefix;
    GameSource source = GameSource::homeWine;
    std::string origin;     // what the user knows it by: "~/.wine", "Lutris <configuration>", ...
    std::string wine;       // the launcher's own wine for it, "" for the PATH's
    std::string executable; // a Lutris game's "exe" as a path of this system, "" when none
};

// The home directory: $HOME, else the one of the password database.
std::string homeDirectory();

// Every Wine prefix under `home`, in the order of the search: `winePrefixVariable` (the value of
// $WINEPREFIX, "" when unset), ~/.wine, the prefixes named by Lutris's game configurations, the
// bottles of Bottles (also its Flatpak home), and the compatdata prefixes of every Steam library.
// Prefixes are not checked here; a configuration that cannot be read or parsed is skipped, and
// `looked` gets a line for it and for every place that held nothing.
std::vector<KnownPrefix> knownPrefixes(const std::string& home,
                                       const std::string& winePrefixVariable,
                                       std::vector<std::string>& looked);
