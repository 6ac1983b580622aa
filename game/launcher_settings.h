#pragma once

#include "game/process_start.h"

#include <memory>
#include <optional>
#include <string>

// How Lutris and Bottles start a Windows program: the runner they give it and those of their
// settings that reach the program through its environment.

// A Lutris game configuration: the prefix and the executable it names, as paths of this system
// ("" for none), and how Lutris starts the game.
struct LutrisGame {
    std::string prefix;
    std::string executable;
    WineRuntime runtime;
};

// Lutris's wine games under one home: the settings they share (the system configuration, then
// the wine runner's) and the runners installed.
class LutrisSettings {
public:
    explicit LutrisSettings(const std::string& home);
    ~LutrisSettings();
    LutrisSettings(const LutrisSettings&) = delete;
    LutrisSettings& operator=(const LutrisSettings&) = delete;

    // The game that a configuration file describes; nothing when the file cannot be read or is
    // not YAML.
    std::optional<LutrisGame> game(const std::string& configuration) const;

    struct Options;

private:
    std::string home_;
    std::unique_ptr<Options> shared_;
};

// How Bottles starts a program in `bottle`, a bottle's directory: with the bottle's runner, its
// environment variables, DLL overrides and sync and DXVK parameters. Nothing when the directory
// holds no readable bottle.yml.
std::optional<WineRuntime> bottleRuntime(const std::string& bottle, const std::string& home);
