#include "game/wine_prefixes.h"

#include "base/fs.h"
#include "game/config_files.h"
#include "game/gsettings.h"
#include "game/launcher_settings.h"
#include "game/steam_library.h"

#include <cstdlib>
#include <pwd.h>
#include <set>
#include <unistd.h>

namespace {

void addLutrisPrefixes(const std::string& home, std::vector<KnownPrefix>& prefixes,
                       std::vector<std::string>& looked) {
    std::set<std::string> searched;
    for (const LutrisHome& lutrisHome : lutrisHomes(home)) {
        const std::string directory = lutrisHome.configuration + "/games";
        if (!searched.insert(realPath(directory)).second)
            continue;
        std::vector<std::string> configurations;
        for (const std::string& name : namesIn(directory))
            if (name.ends_with(".yml") || name.ends_with(".yaml"))
                configurations.push_back(directory + "/" + name);
        if (configurations.empty()) {
            looked.push_back(directory + ": no Lutris game configuration");
            continue;
        }
        const LutrisSettings lutris(home, lutrisHome);
        for (const std::string& path : configurations) {
            std::optional<LutrisGame> game = lutris.game(path);
            if (!game) {
                looked.push_back(path + ": not a readable Lutris configuration, skipped");
                continue;
            }
            if (game->prefix.empty() && game->executable.empty())
                continue; // not a wine game
            prefixes.push_back({game->prefix, GameSource::lutris, "Lutris " + path,
                                game->executable, std::move(game->runtime)});
        }
    }
}

// A bottle's runtime; a directory without a readable bottle.yml is still a prefix Bottles made.
WineRuntime bottleOrPlain(const std::string& bottle, const std::string& name,
                          const std::string& home, const std::string& data) {
    if (std::optional<WineRuntime> runtime = bottleRuntime(bottle, home, data))
        return *runtime;
    WineRuntime plain;
    plain.prefix = realPath(bottle);
    plain.launcher = "Bottles " + name;
    return plain;
}

// A directory that holds bottles, and the data directory of the Bottles that keeps them there.
struct BottlesPlace {
    std::string directory;
    std::string data;
};

// Bottles' own bottles/ in each data directory, then the directory for new bottles that the
// player may have set in Bottles' preferences ("custom-bottles-path" of its settings).
std::vector<BottlesPlace> bottlesPlaces(const std::string& home) {
    const std::vector<std::string> data = bottlesDataDirectories(home);
    std::vector<BottlesPlace> places;
    for (const std::string& each : data)
        places.push_back({each + "/bottles", each});
    const std::string config = xdgDirectory("XDG_CONFIG_HOME", home, "/.config");
    const char* schema = "com/usebottles/bottles";
    const char* key = "custom-bottles-path";
    std::optional<std::string> native =
        keyFileString(config + "/glib-2.0/settings/keyfile", schema, key);
    if (!native)
        native = dconfString(config + "/dconf/user", schema, key);
    std::optional<std::string> flatpak = keyFileString(
        home + "/.var/app/com.usebottles.bottles/config/glib-2.0/settings/keyfile", schema, key);
    for (const auto& [custom, owner] : {std::pair{native, data[0]}, std::pair{flatpak, data[1]}})
        if (custom && !custom->empty() && (*custom)[0] == '/')
            places.push_back({*custom, owner});
    return places;
}

void addBottles(const std::string& home, std::vector<KnownPrefix>& prefixes,
                std::vector<std::string>& looked) {
    std::set<std::string> searched;
    for (const BottlesPlace& place : bottlesPlaces(home)) {
        if (!searched.insert(realPath(place.directory)).second)
            continue;
        bool any = false;
        for (const std::string& name : namesIn(place.directory)) {
            std::string bottle = place.directory + "/" + name;
            if (!isDirectory(bottle))
                continue;
            any = true;
            // A bottle made at a path of its own leaves a placeholder that names it.
            if (std::optional<std::string> path = bottlePlaceholderPath(bottle, home))
                bottle = *path;
            prefixes.push_back({bottle,
                                GameSource::bottles,
                                "Bottles " + name,
                                {},
                                bottleOrPlain(bottle, name, home, place.data)});
        }
        if (!any)
            looked.push_back(place.directory + ": no bottle");
    }
}

void addSteamPrefixes(const std::string& home, std::vector<KnownPrefix>& prefixes,
                      std::vector<std::string>& looked) {
    const SteamSettings steam(home, looked);
    for (const std::string& library : steam.libraries()) {
        std::string compatdata = library + "/steamapps/compatdata";
        bool any = false;
        for (const std::string& app : namesIn(compatdata)) {
            std::string prefix = compatdata + "/" + app + "/pfx";
            if (!isDirectory(prefix))
                continue;
            any = true;
            prefixes.push_back({prefix,
                                GameSource::steam,
                                "Steam app " + app,
                                {},
                                steam.appRuntime(prefix).value_or(WineRuntime{})});
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

std::vector<LutrisHome> lutrisHomes(const std::string& home) {
    const std::string data = xdgDirectory("XDG_DATA_HOME", home, "/.local/share") + "/lutris";
    const std::string flatpak = home + "/.var/app/net.lutris.Lutris";
    return {{data, data},
            {xdgDirectory("XDG_CONFIG_HOME", home, "/.config") + "/lutris", data},
            {flatpak + "/data/lutris", flatpak + "/data/lutris"},
            {flatpak + "/config/lutris", flatpak + "/data/lutris"}};
}

std::vector<std::string> bottlesDataDirectories(const std::string& home) {
    return {xdgDirectory("XDG_DATA_HOME", home, "/.local/share") + "/bottles",
            home + "/.var/app/com.usebottles.bottles/data/bottles"};
}

std::vector<KnownPrefix> knownPrefixes(const std::string& home, const std::string& namedPrefix,
                                       std::vector<std::string>& looked,
                                       const std::string& namedBy) {
    std::vector<KnownPrefix> prefixes;
    if (!namedPrefix.empty())
        prefixes.push_back({namedPrefix, GameSource::winePrefixVariable, namedBy, {}, {}});
    prefixes.push_back({home + "/.wine", GameSource::homeWine, "~/.wine", {}, {}});
    addLutrisPrefixes(home, prefixes, looked);
    addBottles(home, prefixes, looked);
    addSteamPrefixes(home, prefixes, looked);
    // The named prefix or ~/.wine may be one that a launcher owns: it starts the game as always.
    for (KnownPrefix& known : prefixes)
        if (known.source == GameSource::winePrefixVariable || known.source == GameSource::homeWine)
            known.runtime = launcherRuntime(known.prefix, prefixes, home);
    return prefixes;
}

WineRuntime launcherRuntime(const std::string& prefix, const std::vector<KnownPrefix>& known,
                            const std::string& home) {
    const std::string real = realPath(prefix);
    for (const KnownPrefix& each : known)
        if (!each.runtime.launcher.empty() && !each.prefix.empty() && realPath(each.prefix) == real)
            return each.runtime;
    if (std::optional<WineRuntime> runtime = bottleRuntime(real, home))
        return *runtime;
    if (real.find("/steamapps/compatdata/") != std::string::npos) {
        std::vector<std::string> unused;
        if (std::optional<WineRuntime> runtime = SteamSettings(home, unused).appRuntime(real))
            return *runtime;
    }
    WineRuntime plain;
    plain.prefix = real;
    return plain;
}
