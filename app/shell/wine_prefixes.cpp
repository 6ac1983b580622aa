#include "app/shell/wine_prefixes.h"

#include "app/shell/steam_library.h"
#include "patcher/fs/fs.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <set>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

namespace {

// Launcher configurations are a few kilobytes; anything far larger is not one.
constexpr std::size_t largestConfiguration = 1 << 20;

// The whole file, or nothing when it cannot be read or is larger than `largest`.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t largest) {
    UniqueFile file = openForReading(path);
    if (!file)
        return std::nullopt;
    std::string text;
    char block[8192];
    std::size_t read;
    while ((read = std::fread(block, 1, sizeof block, file.get())) > 0) {
        text.append(block, read);
        if (text.size() > largest)
            return std::nullopt;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    return text;
}

// The scalars that a configuration file holds at section/key, "" for one it lacks. Nothing when
// the file cannot be read or is not YAML.
std::optional<std::vector<std::string>>
yamlScalars(const std::string& path,
            const std::vector<std::pair<const char*, const char*>>& sectionKeys) {
    std::optional<std::string> text = readSmallFile(path, largestConfiguration);
    if (!text)
        return std::nullopt;
    // yaml-cpp reports malformed input only by throwing; a missing key gives a node that
    // throws unless asked IsDefined first.
    try {
        const YAML::Node root = YAML::Load(*text);
        std::vector<std::string> values;
        for (const auto& [section, key] : sectionKeys) {
            std::string value;
            if (root.IsMap()) {
                const YAML::Node outer = section ? root[section] : root;
                if (outer.IsDefined() && outer.IsMap()) {
                    const YAML::Node node = outer[key];
                    if (node.IsDefined() && node.IsScalar())
                        value = node.Scalar();
                }
            }
            values.push_back(value);
        }
        return values;
    } catch (const YAML::Exception&) {
        return std::nullopt;
    }
}

// The names in a directory, sorted; empty when it cannot be listed.
std::vector<std::string> namesIn(const std::string& directory) {
    std::optional<std::vector<std::string>> names = listDirectory(directory);
    if (!names)
        return {};
    names->erase(std::remove(names->begin(), names->end(), ".."), names->end());
    std::sort(names->begin(), names->end());
    return *names;
}

std::string expandHome(const std::string& path, const std::string& home) {
    if (path == "~" || path.rfind("~/", 0) == 0)
        return home + path.substr(1);
    return path;
}

// A runner directory name taken from a configuration: one plain path component.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// `runners`/`version`/bin/wine when that is an installed runner, else "" (the PATH's wine).
std::string runnerWine(const std::string& runners, const std::string& version) {
    if (!isPlainName(version))
        return {};
    std::string wine = runners + "/" + version + "/bin/wine";
    return !isDirectory(wine) && ::access(wine.c_str(), X_OK) == 0 ? wine : std::string();
}

void addLutrisPrefixes(const std::string& home, std::vector<KnownPrefix>& prefixes,
                       std::vector<std::string>& looked) {
    const std::string runners = home + "/.local/share/lutris/runners/wine";
    // The runner version a game names, else the one set for every wine game.
    std::string defaultVersion;
    if (auto values = yamlScalars(home + "/.config/lutris/runners/wine.yml", {{"wine", "version"}}))
        defaultVersion = (*values)[0];
    for (const char* games : {"/.config/lutris/games", "/.local/share/lutris/games"}) {
        std::string directory = home + games;
        bool any = false;
        for (const std::string& name : namesIn(directory)) {
            std::size_t dot = name.rfind('.');
            std::string extension = dot == std::string::npos ? "" : name.substr(dot);
            if (extension != ".yml" && extension != ".yaml")
                continue;
            any = true;
            std::string path = directory + "/" + name;
            auto values =
                yamlScalars(path, {{"game", "prefix"}, {"game", "exe"}, {"wine", "version"}});
            if (!values) {
                looked.push_back(path + ": not a readable Lutris configuration, skipped");
                continue;
            }
            KnownPrefix known;
            known.source = GameSource::lutris;
            known.origin = "Lutris " + path;
            known.prefix = expandHome((*values)[0], home);
            if (!known.prefix.empty() && known.prefix[0] != '/')
                known.prefix.clear(); // relative to nothing we know
            // Lutris takes a relative exe from the game's directory, which for a wine game is
            // its prefix.
            known.executable = expandHome((*values)[1], home);
            if (!known.executable.empty() && known.executable[0] != '/')
                known.executable =
                    known.prefix.empty() ? std::string() : known.prefix + "/" + known.executable;
            const std::string& version = (*values)[2].empty() ? defaultVersion : (*values)[2];
            known.wine = runnerWine(runners, version);
            if (known.prefix.empty() && known.executable.empty())
                continue; // not a wine game
            prefixes.push_back(std::move(known));
        }
        if (!any)
            looked.push_back(directory + ": no Lutris game configuration");
    }
}

void addBottles(const std::string& home, std::vector<KnownPrefix>& prefixes,
                std::vector<std::string>& looked) {
    for (const char* data :
         {"/.local/share/bottles", "/.var/app/com.usebottles.bottles/data/bottles"}) {
        std::string directory = home + data + "/bottles";
        bool any = false;
        for (const std::string& name : namesIn(directory)) {
            std::string bottle = directory + "/" + name;
            if (!isDirectory(bottle))
                continue;
            any = true;
            KnownPrefix known;
            known.prefix = bottle;
            known.source = GameSource::bottles;
            known.origin = "Bottles " + name;
            // The bottle names its runner; "sys-wine-..." is the system's, which is no directory.
            if (auto values = yamlScalars(bottle + "/bottle.yml", {{nullptr, "Runner"}}))
                known.wine = runnerWine(home + data + "/runners", (*values)[0]);
            prefixes.push_back(std::move(known));
        }
        if (!any)
            looked.push_back(directory + ": no bottle");
    }
}

void addSteamPrefixes(const std::string& home, std::vector<KnownPrefix>& prefixes,
                      std::vector<std::string>& looked) {
    std::vector<std::string> libraries;
    for (const char* root : {"/.steam/steam", "/.local/share/Steam"}) {
        std::string steam = home + root;
        if (!isDirectory(steam)) {
            looked.push_back(steam + ": no Steam");
            continue;
        }
        libraries.push_back(steam);
        std::string vdf = steam + "/steamapps/libraryfolders.vdf";
        std::optional<std::string> text = readSmallFile(vdf, largestConfiguration);
        if (!text) {
            vdf = steam + "/config/libraryfolders.vdf";
            text = readSmallFile(vdf, largestConfiguration);
        }
        std::optional<std::vector<std::string>> paths;
        if (text)
            paths = steamLibraryPaths(*text);
        if (!paths) {
            looked.push_back(vdf + ": no readable library list, skipped");
            continue;
        }
        libraries.insert(libraries.end(), paths->begin(), paths->end());
    }
    // ~/.steam/steam is usually a link to ~/.local/share/Steam, and both list the same libraries.
    std::set<std::string> seen;
    for (const std::string& listed : libraries) {
        char* real = ::realpath(listed.c_str(), nullptr);
        std::string library = real ? real : listed;
        std::free(real);
        if (!seen.insert(library).second)
            continue;
        std::string compatdata = library + "/steamapps/compatdata";
        bool any = false;
        for (const std::string& app : namesIn(compatdata)) {
            std::string prefix = compatdata + "/" + app + "/pfx";
            if (!isDirectory(prefix))
                continue;
            any = true;
            prefixes.push_back({prefix, GameSource::steam, "Steam app " + app, {}, {}});
        }
        if (!any)
            looked.push_back(compatdata + ": no Wine prefix");
    }
}

} // namespace

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return {};
}

std::vector<KnownPrefix> knownPrefixes(const std::string& home,
                                       const std::string& winePrefixVariable,
                                       std::vector<std::string>& looked) {
    std::vector<KnownPrefix> prefixes;
    if (!winePrefixVariable.empty())
        prefixes.push_back(
            {winePrefixVariable, GameSource::winePrefixVariable, "$WINEPREFIX", {}, {}});
    prefixes.push_back({home + "/.wine", GameSource::homeWine, "~/.wine", {}, {}});
    addLutrisPrefixes(home, prefixes, looked);
    addBottles(home, prefixes, looked);
    addSteamPrefixes(home, prefixes, looked);
    return prefixes;
}
