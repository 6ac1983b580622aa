#pragma once

#include "game/process_start.h"

#include <string>
#include <vector>

// Where a game installation was found, in the order of the search.
enum class GameSource {
    currentDirectory,
    launchCommand,      // the game's executable among a launch command's arguments
    chosenDirectory,    // a game directory chosen before that no other place leads to
    winePrefixVariable, // the prefix the environment names: $WINEPREFIX, a launch's Steam data
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

// Where Lutris keeps its files: the directory of its configuration (games/*.yml, system.yml,
// runners/wine.yml) and the one of its data (pga.db, runners/wine/<version>/). Lutris 0.5.13
// and later keep both in $XDG_DATA_HOME/lutris; earlier ones kept the configuration in
// $XDG_CONFIG_HOME/lutris; its Flatpak keeps them under ~/.var/app/net.lutris.Lutris.
struct LutrisHome {
    std::string configuration;
    std::string data;
};
std::vector<LutrisHome> lutrisHomes(const std::string& home);

// The data directories of Bottles (the native one, honouring $XDG_DATA_HOME, and the Flatpak's):
// each holds bottles/ and runners/.
std::vector<std::string> bottlesDataDirectories(const std::string& home);

// Every Wine prefix under `home`, in the order of the search: `namedPrefix` (the prefix the
// environment names, "" for none; `namedBy` says by what), ~/.wine, the prefixes named by
// Lutris's game configurations, the bottles of Bottles (also those kept at a path of their own,
// and in its custom bottles directory), and the compatdata prefixes of every Steam library.
// Prefixes are not checked here; a configuration that cannot be read or parsed is skipped, and
// `looked` gets a line for it and for every place that held nothing. Every prefix comes with its
// launcher's runtime, however it was reached (see launcherRuntime).
std::vector<KnownPrefix> knownPrefixes(const std::string& home, const std::string& namedPrefix,
                                       std::vector<std::string>& looked,
                                       const std::string& namedBy = "$WINEPREFIX");

// How the launcher that owns `prefix` starts a program there, told by the prefix itself: the
// Lutris game among `known` whose prefix it is, the bottle it is (it holds bottle.yml), the Steam
// app whose compatibility data holds it. A plain runtime in that prefix for any other.
WineRuntime launcherRuntime(const std::string& prefix, const std::vector<KnownPrefix>& known,
                            const std::string& home);
