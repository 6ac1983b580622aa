#pragma once

#include "game/process_start.h"
#include "game/wine_prefixes.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// How Lutris and Bottles start a Windows program: the runner they give it and those of their
// settings that reach the program through its environment and its command line.

// A Lutris game configuration: the prefix and the executable it names, as paths of this system
// ("" for none), and how Lutris starts the game.
struct LutrisGame {
    std::string prefix;
    std::string executable;
    WineRuntime runtime;
};

// Lutris's wine games in one of its homes: the settings they share (the system configuration,
// then the wine runner's), the runners installed and the game directories its database records.
class LutrisSettings {
public:
    LutrisSettings(const std::string& home, const LutrisHome& lutris);
    ~LutrisSettings();
    LutrisSettings(const LutrisSettings&) = delete;
    LutrisSettings& operator=(const LutrisSettings&) = delete;

    // The game that a configuration file describes; nothing when the file cannot be read or is
    // not YAML, no prefix and no exe for a game of another runner. As Lutris: a relative exe is
    // taken from the game's directory (pga.db's "directory"; the prefix when the database has
    // none), its path matched ignoring case, and a game without a prefix runs in the prefix
    // above its exe (`prefix`), else in ~/.wine (its runtime's prefix only).
    std::optional<LutrisGame> game(const std::string& configuration) const;

    struct Options;
    // What pga.db records of a game.
    struct Recorded {
        std::string runner;
        std::string directory;
    };

private:
    std::string home_;
    LutrisHome lutris_;
    std::unique_ptr<Options> shared_;
    std::map<std::string, Recorded> recorded_; // by configpath
};

// The words of a command line as Lutris splits a game's "args" (as a POSIX shell does, without
// expansions): blanks separate, quotes and backslashes keep.
std::vector<std::string> shellWords(const std::string& text);

// True when the kernel offers what Wine's fsync needs (futex_waitv, or the futex2 patches), as
// Lutris asks before it turns fsync on by default.
bool kernelHasFsync();

// How Bottles starts a program in `bottle`, a bottle's directory: with the bottle's runner (its
// wine64 for a 64-bit bottle, when it has one), its environment variables, DLL overrides and
// sync and DXVK parameters. The runner is looked for beside the bottles directory, in `data`
// (the data directory of the Bottles that keeps the bottle; "" when unknown), then in every
// data directory of Bottles. Nothing when the directory holds no readable bottle.yml.
std::optional<WineRuntime> bottleRuntime(const std::string& bottle, const std::string& home,
                                         const std::string& data = {});

// Where a bottle made at a path of its own is: its placeholder.yml's "Path" (absolute, or under
// the home with "~"). Nothing for a bottle kept in place.
std::optional<std::string> bottlePlaceholderPath(const std::string& directory,
                                                 const std::string& home);
