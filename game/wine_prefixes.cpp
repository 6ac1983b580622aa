#include "game/wine_prefixes.h"

#include "base/fs.h"
#include "game/config_files.h"
#include "game/launcher_settings.h"
#include "game/steam_library.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace {

void addLutrisPrefixes(const std::string& home, std::vector<KnownPrefix>& prefixes,
                       std::vector<std::string>& looked) {
    const LutrisSettings lutris(home);
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
        if (!any)
            looked.push_back(directory + ": no Lutris game configuration");
    }
}

// A bottle's runtime; a directory without a readable bottle.yml is still a prefix Bottles made.
WineRuntime bottleOrPlain(const std::string& bottle, const std::string& home) {
    if (std::optional<WineRuntime> runtime = bottleRuntime(bottle, home))
        return *runtime;
    WineRuntime plain;
    plain.prefix = realPath(bottle);
    plain.launcher = "Bottles " + lastComponent(bottle);
    return plain;
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
            prefixes.push_back(
                {bottle, GameSource::bottles, "Bottles " + name, {}, bottleOrPlain(bottle, home)});
        }
        if (!any)
            looked.push_back(directory + ": no bottle");
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
    // $WINEPREFIX or ~/.wine may be a prefix that a launcher owns: it starts the game as always.
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
