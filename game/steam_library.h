#pragma once

#include "game/process_start.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// A value of Steam's key-value files (libraryfolders.vdf, config.vdf, compatibilitytool.vdf) with
// the keys of the blocks that lead to it, outermost first, and its own key last.
struct VdfValue {
    std::vector<std::string> keys;
    std::string value;
};

// Every value of a key-value file, in the file's order. Nothing when the text is not a
// well-formed key-value file.
std::optional<std::vector<VdfValue>> vdfValues(const std::string& vdfText);

// The library directories listed in the text of Steam's libraryfolders.vdf: the "path" of every
// numbered entry ("0" { "path" "/home/..." }) or, in the file's older form, the numbered values
// themselves ("1" "/mnt/games"). Nothing when the text is not a well-formed key-value file.
std::optional<std::vector<std::string>> steamLibraryPaths(const std::string& vdfText);

// The compatibility tool that the CompatToolMapping of Steam's config.vdf names for each app
// ("0" is the one for every app without its own), by app.
std::map<std::string, std::string> compatToolMapping(const std::vector<VdfValue>& config);

// The Steam installations of a home (~/.steam/steam, ~/.local/share/Steam), their libraries and
// what Steam would run a Windows program of theirs with.
class SteamSettings {
public:
    // `looked` gets a line for every place that held nothing or could not be read.
    SteamSettings(const std::string& home, std::vector<std::string>& looked);

    // Every library, each once, resolved; the installations' own first.
    const std::vector<std::string>& libraries() const { return libraries_; }

    // How Steam starts a program in the compatdata prefix `prefix` (".../steamapps/compatdata/
    // <app>/pfx"): with the Proton that config.vdf maps to the app, else with the newest Proton
    // installed, as "proton run" does outside Steam. Nothing when the path is not shaped so.
    std::optional<WineRuntime> appRuntime(const std::string& prefix) const;

private:
    // The directory of the Proton `tool` ("" for the newest installed) as a prefix of `library`
    // sees it. Looked for once: every prefix of a library asks for the same.
    std::optional<std::string> protonDirectory(const std::string& tool,
                                               const std::string& library) const;
    std::optional<std::string> toolDirectory(const std::string& tool,
                                             const std::vector<std::string>& places) const;
    std::vector<std::string> toolPlaces(const std::string& library) const;

    std::vector<std::string> installations_;
    std::vector<std::string> libraries_;
    std::map<std::string, std::string> mapping_;
    mutable std::map<std::pair<std::string, std::string>, std::optional<std::string>> protons_;
};
