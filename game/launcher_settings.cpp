#include "game/launcher_settings.h"

#include "base/fs.h"
#include "game/config_files.h"
#include "game/wine_names.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

namespace {

// The DLLs that DXVK and VKD3D-Proton replace; a launcher that turns them on makes Wine load
// them before its own.
constexpr const char* dxvkDlls[] = {"d3d9", "d3d10core", "d3d11", "dxgi"};
constexpr const char* vkd3dDlls[] = {"d3d12", "d3d12core"};
constexpr char nativeThenBuiltin[] = "n,b";
// Both launchers keep Wine from putting the game's shortcuts and file types on the desktop.
constexpr char menuBuilder[] = "winemenubuilder.exe";

// A launcher's DLL mode in Wine's letters: "native" is "n", "builtin" "b", "disabled" nothing,
// so "native, builtin" is "n,b"; blanks and quotes are dropped.
std::string wineLetters(const std::string& mode) {
    std::string letters;
    std::string word;
    for (std::size_t at = 0; at <= mode.size(); ++at) {
        char c = at < mode.size()
                     ? static_cast<char>(std::tolower(static_cast<unsigned char>(mode[at])))
                     : ',';
        if (c != ',') {
            if (c != ' ' && c != '"' && c != '\'')
                word += c;
            continue;
        }
        std::string letter = word == "native"     ? "n"
                             : word == "builtin"  ? "b"
                             : word == "disabled" ? ""
                                                  : word;
        if (!letter.empty())
            letters += (letters.empty() ? "" : ",") + letter;
        word.clear();
    }
    return letters;
}

// The value of WINEDLLOVERRIDES: one "dll=mode" entry per DLL, in the order they were first set.
class DllOverrides {
public:
    // Entries that Wine could not parse are left out; a DLL set again takes the later mode.
    void set(const std::string& dll, const std::string& mode) {
        std::string letters = wineLetters(mode);
        auto parsable = [](const std::string& text) {
            return text.find_first_of(std::string(";=\0", 3)) == std::string::npos;
        };
        if (dll.empty() || !parsable(dll) || !parsable(letters))
            return;
        for (auto& entry : entries_)
            if (entry.first == dll) {
                entry.second = letters;
                return;
            }
        entries_.emplace_back(dll, letters);
    }

    void setAll(const auto& dlls, const char* mode) {
        for (const char* dll : dlls)
            set(dll, mode);
    }

    // Adds WINEDLLOVERRIDES to `environment` when any DLL is overridden.
    void addTo(EnvironmentChanges& environment) const {
        if (entries_.empty())
            return;
        std::string text;
        for (const auto& [dll, mode] : entries_)
            text += (text.empty() ? "" : ";") + dll + "=" + mode;
        environment.emplace_back("WINEDLLOVERRIDES", text);
    }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

bool isVariableName(const std::string& name) {
    return !name.empty() && name.find_first_of(std::string("=\0", 2)) == std::string::npos;
}

// The scalar pairs of a YAML map (a map of environment variables or DLL overrides), in order.
EnvironmentChanges scalarPairs(const YAML::Node& map) {
    EnvironmentChanges pairs;
    if (!map.IsDefined() || !map.IsMap())
        return pairs;
    for (const auto& entry : map)
        if (entry.first.IsScalar() && (entry.second.IsScalar() || entry.second.IsNull()))
            pairs.emplace_back(entry.first.Scalar(),
                               entry.second.IsNull() ? std::string() : entry.second.Scalar());
    return pairs;
}

// Adds the environment variables of a launcher's map, those that can be variables.
void addVariables(EnvironmentChanges& environment, const EnvironmentChanges& variables) {
    for (const auto& [name, value] : variables)
        if (isVariableName(name) && value.find('\0') == std::string::npos)
            environment.emplace_back(name, value);
}

YAML::Node child(const YAML::Node& node, const char* key) {
    if (!node.IsDefined() || !node.IsMap())
        return YAML::Node(YAML::NodeType::Undefined);
    return node[key];
}

std::optional<std::string> scalar(const YAML::Node& node, const char* key) {
    YAML::Node value = child(node, key);
    if (value.IsDefined() && value.IsScalar())
        return value.Scalar();
    return std::nullopt;
}

std::optional<bool> flag(const YAML::Node& node, const char* key) {
    YAML::Node value = child(node, key);
    bool set = false;
    if (value.IsDefined() && value.IsScalar() && YAML::convert<bool>::decode(value, set))
        return set;
    return std::nullopt;
}

// The YAML of a configuration file; nothing when it cannot be read or parsed.
std::optional<YAML::Node> loadYaml(const std::string& path) {
    std::optional<std::string> text = readConfigurationFile(path);
    if (!text)
        return std::nullopt;
    // yaml-cpp reports malformed input only by throwing.
    try {
        return YAML::Load(*text);
    } catch (const YAML::Exception&) {
        return std::nullopt;
    }
}

// The wine a runner directory holds: bin/wine, a 64-bit-only runner's bin/wine64, or the
// files/bin/wine of a runner built like Proton. "" when it holds none. Whether it can be
// executed is the start's to say.
std::string runnerWineIn(const std::string& runner, bool wine64First = false) {
    if (wine64First && isPlainFile(runner + "/bin/wine64"))
        return runner + "/bin/wine64";
    for (const char* wine : {"/bin/wine", "/bin/wine64", "/files/bin/wine"})
        if (struct stat info{};
            ::stat((runner + wine).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            return runner + wine;
    return {};
}

// A runner's name taken from a configuration: one plain path component.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string expandHome(const std::string& path, const std::string& home) {
    if (path == "~" || path.rfind("~/", 0) == 0)
        return home + path.substr(1);
    return path;
}

// The runner and the game directory of every game in Lutris's database, by its configuration's
// name (pga.db's "runner" and "directory" by "configpath"). Empty when there is no database.
std::map<std::string, LutrisSettings::Recorded> lutrisGames(const std::string& database) {
    std::map<std::string, LutrisSettings::Recorded> games;
    sqlite3* opened = nullptr;
    int status = sqlite3_open_v2(database.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(opened, sqlite3_close);
    sqlite3_stmt* prepared = nullptr;
    if (status != SQLITE_OK ||
        sqlite3_prepare_v2(db.get(), "SELECT configpath, runner, directory FROM games", -1,
                           &prepared, nullptr) != SQLITE_OK)
        return games;
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(prepared, sqlite3_finalize);
    sqlite3_busy_timeout(db.get(), 500); // Lutris may be writing it
    constexpr std::size_t mostGames = 100000;
    auto text = [&statement](int column) {
        const unsigned char* value = sqlite3_column_text(statement.get(), column);
        return value ? std::string(reinterpret_cast<const char*>(value)) : std::string();
    };
    while (games.size() < mostGames && sqlite3_step(statement.get()) == SQLITE_ROW)
        games.emplace(text(0), LutrisSettings::Recorded{text(1), text(2)});
    return games;
}

// A configuration's name as pga.db records it: its file name without ".yml".
std::string configurationName(const std::string& path) {
    std::string name = lastComponent(path);
    return name.substr(0, name.rfind('.'));
}

} // namespace

std::vector<std::string> shellWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        bool last = at + 1 == text.size();
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                word += c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && !last && (text[at + 1] == '"' || text[at + 1] == '\\'))
                word += text[++at];
            else
                word += c;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord)
                words.push_back(std::exchange(word, {}));
            inWord = false;
        } else {
            inWord = true;
            if (c == '\'' || c == '"')
                quote = c;
            else if (c == '\\' && !last)
                word += text[++at];
            else
                word += c;
        }
    }
    // A quote left open ends with the text.
    if (inWord)
        words.push_back(word);
    return words;
}

bool kernelHasFsync() {
#ifdef SYS_futex_waitv
    // With no futex to wait for, a kernel that has the call refuses the arguments.
    if (::syscall(SYS_futex_waitv, nullptr, 0, 0, nullptr, 0) == 0 || errno != ENOSYS)
        return true;
#endif
    return isDirectory("/sys/kernel/futex2");
}

// The settings of one Lutris configuration file, or of several merged, the later file's winning.
struct LutrisSettings::Options {
    std::optional<std::string> version;
    std::optional<std::string> customWine;
    std::optional<std::string> showDebug;
    std::optional<bool> esync, fsync, dxvk, vkd3d;
    EnvironmentChanges overrides;
    EnvironmentChanges environment;

    // Takes the wine runner's options and the system's environment that `root` sets.
    void mergeFrom(const YAML::Node& root) {
        YAML::Node wine = child(root, "wine");
        for (auto [key, value] :
             {std::pair{"version", &version}, std::pair{"custom_wine_path", &customWine},
              std::pair{"show_debug", &showDebug}})
            if (std::optional<std::string> set = scalar(wine, key))
                *value = set;
        for (auto [key, value] : {std::pair{"esync", &esync}, std::pair{"fsync", &fsync},
                                  std::pair{"dxvk", &dxvk}, std::pair{"vkd3d", &vkd3d}})
            if (std::optional<bool> set = flag(wine, key))
                *value = set;
        for (const auto& entry : scalarPairs(child(wine, "overrides")))
            overrides.push_back(entry);
        for (const auto& entry : scalarPairs(child(child(root, "system"), "env")))
            environment.push_back(entry);
    }
};

LutrisSettings::LutrisSettings(const std::string& home, const LutrisHome& lutris)
    : home_(home), lutris_(lutris), shared_(std::make_unique<Options>()),
      recorded_(lutrisGames(lutris.data + "/pga.db")) {
    for (const char* file : {"/system.yml", "/runners/wine.yml"}) {
        std::optional<YAML::Node> root = loadYaml(lutris.configuration + file);
        try {
            if (root)
                shared_->mergeFrom(*root);
        } catch (const YAML::Exception&) {
            // A file shaped otherwise gives nothing, as one that cannot be read.
        }
    }
}

LutrisSettings::~LutrisSettings() = default;

std::optional<LutrisGame> LutrisSettings::game(const std::string& configuration) const {
    std::optional<YAML::Node> root = loadYaml(configuration);
    if (!root)
        return std::nullopt;
    Options options = *shared_;
    LutrisGame game;
    std::string arguments;
    try {
        options.mergeFrom(*root);
        YAML::Node section = child(*root, "game");
        game.prefix = expandHome(scalar(section, "prefix").value_or(""), home_);
        game.executable = expandHome(scalar(section, "exe").value_or(""), home_);
        arguments = scalar(section, "args").value_or("");
    } catch (const YAML::Exception&) {
        return std::nullopt;
    }
    if (!game.prefix.empty() && game.prefix[0] != '/')
        game.prefix.clear(); // relative to nothing we know
    // Only a game of Lutris's wine runner runs in a prefix: the database says which runner, else
    // the configuration's wine section, prefix or Windows program.
    const auto recorded = recorded_.find(configurationName(configuration));
    const std::string program = lastComponent(game.executable);
    const bool windowsProgram =
        program.size() > 4 && sameWineName(program.substr(program.size() - 4), ".exe");
    const bool wine = recorded != recorded_.end() ? recorded->second.runner == "wine"
                                                  : child(*root, "wine").IsDefined() ||
                                                        !game.prefix.empty() || windowsProgram;
    if (!wine)
        return LutrisGame{};
    // Lutris takes a relative exe from the game's directory, and matches its path ignoring case.
    if (!game.executable.empty() && game.executable[0] != '/') {
        std::string directory = recorded == recorded_.end()
                                    ? std::string()
                                    : expandHome(recorded->second.directory, home_);
        if (directory.empty() || directory[0] != '/')
            directory = game.prefix;
        game.executable = directory.empty() ? std::string() : directory + "/" + game.executable;
    }
    if (std::optional<std::string> onDisk = winePath(game.executable))
        game.executable = *onDisk;
    // Without a prefix, Lutris runs the game in the prefix above its exe (which is then the
    // game's), else in ~/.wine (which the game does not make its own).
    WineRuntime& runtime = game.runtime;
    if (game.prefix.empty() && !game.executable.empty())
        game.prefix = enclosingPrefix(parentDirectory(game.executable)).value_or("");
    runtime.prefix = !game.prefix.empty()      ? realPath(game.prefix)
                     : game.executable.empty() ? ""
                                               : realPath(home_ + "/.wine");
    runtime.launcher = "Lutris " + configuration;
    runtime.arguments = shellWords(arguments);
    const std::string runners = lutris_.data + "/runners/wine";
    const std::string version = options.version.value_or("");
    if (version.empty()) {
        // No version anywhere: Lutris takes the newest runner installed, else the system's wine.
        std::string newest;
        for (const std::string& name : namesIn(runners))
            if (!runnerWineIn(runners + "/" + name).empty() &&
                (newest.empty() || newerVersion(name, newest)))
                newest = name;
        if (!newest.empty())
            runtime.wine = runnerWineIn(runners + "/" + newest);
    } else if (version == "custom") {
        const std::string custom = expandHome(options.customWine.value_or(""), home_);
        if (isExecutableFile(custom))
            runtime.wine = custom;
        else
            runtime.missing = "the custom wine of Lutris, \"" + custom + "\", is not there";
    } else if (version != "system") {
        if (isPlainName(version))
            runtime.wine = runnerWineIn(runners + "/" + version);
        if (runtime.wine.empty())
            runtime.missing = "Lutris's wine runner " + version + " is not installed (looked for " +
                              runners + "/" + version + "/bin/wine)";
    }

    // Lutris's defaults: no debugging output, esync on, fsync on where the kernel has it, DXVK
    // and VKD3D on, no desktop entries; each unless the configuration says otherwise. They come
    // after the configuration's own variables, as Lutris sets them, except a sync turned on there.
    addVariables(runtime.environment, options.environment);
    const std::string debug = options.showDebug.value_or("-all");
    if (debug != "inherit")
        runtime.environment.emplace_back("WINEDEBUG", debug);
    for (const auto& sync : {std::pair{"WINEESYNC", options.esync.value_or(true)},
                             std::pair{"WINEFSYNC", options.fsync.value_or(kernelHasFsync())}})
        if (std::none_of(
                options.environment.begin(), options.environment.end(),
                [&sync](const auto& set) { return set.first == sync.first && set.second == "1"; }))
            runtime.environment.emplace_back(sync.first, sync.second ? "1" : "0");
    DllOverrides dlls;
    dlls.set(menuBuilder, "disabled");
    if (options.dxvk.value_or(true))
        dlls.setAll(dxvkDlls, nativeThenBuiltin);
    if (options.vkd3d.value_or(true))
        dlls.setAll(vkd3dDlls, nativeThenBuiltin);
    for (const auto& [dll, mode] : options.overrides)
        dlls.set(dll, mode);
    dlls.addTo(runtime.environment);
    return game;
}

std::optional<std::string> bottlePlaceholderPath(const std::string& directory,
                                                 const std::string& home) {
    std::optional<YAML::Node> root = loadYaml(directory + "/placeholder.yml");
    if (!root)
        return std::nullopt;
    std::string path;
    try {
        path = expandHome(scalar(*root, "Path").value_or(""), home);
    } catch (const YAML::Exception&) {
        return std::nullopt;
    }
    if (path.empty() || path[0] != '/')
        return std::nullopt;
    return path;
}

std::optional<WineRuntime> bottleRuntime(const std::string& bottle, const std::string& home,
                                         const std::string& data) {
    std::optional<YAML::Node> root = loadYaml(bottle + "/bottle.yml");
    if (!root || !root->IsMap())
        return std::nullopt;
    WineRuntime runtime;
    runtime.prefix = realPath(bottle);
    runtime.launcher = "Bottles " + lastComponent(bottle);
    try {
        // A 64-bit bottle runs with its runner's wine64, when there is one.
        const bool win64 = scalar(*root, "Arch").value_or("") == "win64";
        // "sys-wine-9.0" is the system's wine; any other runner is one Bottles installed, next to
        // the bottles of its data directory.
        const std::string runner = scalar(*root, "Runner").value_or("");
        if (runner.starts_with("sys-") && win64) {
            runtime.wine = programOnPath("wine64");
        } else if (!runner.empty() && !runner.starts_with("sys-")) {
            std::vector<std::string> places;
            if (std::string bottles = parentDirectory(bottle); lastComponent(bottles) == "bottles")
                places.push_back(parentDirectory(bottles) + "/runners");
            std::vector<std::string> dataDirectories = bottlesDataDirectories(home);
            if (!data.empty())
                dataDirectories.insert(dataDirectories.begin(), data);
            for (const std::string& each : dataDirectories)
                if (std::string place = each + "/runners";
                    std::find(places.begin(), places.end(), place) == places.end())
                    places.push_back(place);
            std::string looked;
            for (const std::string& place : places) {
                if (isPlainName(runner) && runtime.wine.empty())
                    runtime.wine = runnerWineIn(place + "/" + runner, win64);
                looked += (looked.empty() ? "" : ", ") + place;
            }
            if (runtime.wine.empty())
                runtime.missing =
                    "Bottles' runner " + runner + " is not installed (looked in " + looked + ")";
        }

        YAML::Node parameters = child(*root, "Parameters");
        const std::string sync = scalar(parameters, "sync").value_or("");
        if (sync == "esync")
            runtime.environment.emplace_back("WINEESYNC", "1");
        if (sync == "fsync" || sync == "futex2")
            runtime.environment.emplace_back("WINEFSYNC", "1");
        if (sync == "futex2")
            runtime.environment.emplace_back("WINEFSYNC_FUTEX2", "1");
        DllOverrides dlls;
        dlls.set(menuBuilder, "disabled");
        if (flag(parameters, "dxvk").value_or(false))
            dlls.setAll(dxvkDlls, nativeThenBuiltin);
        if (flag(parameters, "vkd3d").value_or(false))
            dlls.setAll(vkd3dDlls, nativeThenBuiltin);
        for (const auto& [dll, mode] : scalarPairs(child(*root, "DLL_Overrides")))
            dlls.set(dll, mode);
        dlls.addTo(runtime.environment);
        addVariables(runtime.environment, scalarPairs(child(*root, "Environment_Variables")));
    } catch (const YAML::Exception&) {
        return std::nullopt;
    }
    return runtime;
}
