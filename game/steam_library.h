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

// The Steam installations of a home (~/.steam/steam, $XDG_DATA_HOME/Steam, ~/.local/share/Steam
// and the Flatpak's), their libraries and what Steam would run a Windows program of theirs with.
class SteamSettings {
public:
    // `looked` gets a line for every place that held nothing or could not be read.
    SteamSettings(const std::string& home, std::vector<std::string>& looked);

    // Every library, each once, resolved; the installations' own first.
    const std::vector<std::string>& libraries() const { return libraries_; }

    // How Steam starts a program in the compatdata prefix `prefix` (".../steamapps/compatdata/
    // <app>/pfx"): with the Proton that config.vdf maps to the app, else with the newest Proton
    // installed, as "proton waitforexitandrun" with the app's variables. Nothing when the path is
    // not shaped so.
    std::optional<WineRuntime> appRuntime(const std::string& prefix) const;

    // The compatibility tools installed for every user: $STEAM_EXTRA_COMPAT_TOOLS_PATHS, then
    // /usr/share/steam/compatibilitytools.d and /usr/local/share/steam/compatibilitytools.d, or
    // instead of these two the directories $MIRELGAN_STEAM_SYSTEM_TOOLS lists (for tests).
    static std::vector<std::string> systemToolPlaces();

private:
    struct Installation {
        std::string root; // resolved
        std::map<std::string, std::string> mapping;
    };

    // The installation whose library list names `library`; the first when none does.
    const Installation& ownerOf(const std::string& library) const;
    // The directory of the Proton `tool` ("" for the newest installed) as a prefix of `library`
    // sees it. Looked for once: every prefix of a library asks for the same.
    std::optional<std::string> protonDirectory(const std::string& tool,
                                               const std::string& library) const;
    std::optional<std::string> toolDirectory(const std::string& tool,
                                             const std::vector<std::string>& places) const;
    // Where tools are looked for, in order: the compatibility tools' directories (the owner's
    // first), then every library's steamapps/common. `tools` of them are the former.
    std::vector<std::string> toolPlaces(const std::string& library, std::size_t& tools) const;

    std::vector<Installation> installations_;
    std::vector<std::string> libraries_;
    std::vector<std::size_t> owners_; // the installation of each library
    std::vector<std::string> systemTools_;
    mutable std::map<std::pair<std::string, std::string>, std::optional<std::string>> protons_;
};
