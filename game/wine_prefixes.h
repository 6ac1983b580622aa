#pragma once

#include "game/process_start.h"

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
    std::string executable; // a Lutris game's "exe" as a path of this system, "" when none
    WineRuntime runtime;    // how a program in it is started: by its launcher, if any
};

// The home directory: $HOME, else the one of the password database.
std::string homeDirectory();

// Every Wine prefix under `home`, in the order of the search: `winePrefixVariable` (the value of
// $WINEPREFIX, "" when unset), ~/.wine, the prefixes named by Lutris's game configurations, the
// bottles of Bottles (also its Flatpak home), and the compatdata prefixes of every Steam library.
// Prefixes are not checked here; a configuration that cannot be read or parsed is skipped, and
// `looked` gets a line for it and for every place that held nothing. Every prefix comes with its
// launcher's runtime, however it was reached (see launcherRuntime).
std::vector<KnownPrefix> knownPrefixes(const std::string& home,
                                       const std::string& winePrefixVariable,
                                       std::vector<std::string>& looked);

// How the launcher that owns `prefix` starts a program there, told by the prefix itself: the
// Lutris game among `known` whose prefix it is, the bottle it is (it holds bottle.yml), the Steam
// app whose compatibility data holds it. A plain runtime in that prefix for any other.
WineRuntime launcherRuntime(const std::string& prefix, const std::vector<KnownPrefix>& known,
                            const std::string& home);
