#include "game/launcher_settings.h"

#include "game/config_files.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

namespace {

// The DLLs that DXVK and VKD3D-Proton replace; a launcher that turns them on makes Wine load
// them before its own.
constexpr const char* dxvkDlls[] = {"d3d9", "d3d10core", "d3d11", "dxgi"};
constexpr const char* vkd3dDlls[] = {"d3d12", "d3d12core"};
constexpr char nativeThenBuiltin[] = "n,b";

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
std::string runnerWineIn(const std::string& runner) {
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

} // namespace

// The settings of one Lutris configuration file, or of several merged, the later file's winning.
struct LutrisSettings::Options {
    std::optional<std::string> version;
    std::optional<std::string> customWine;
    std::optional<bool> esync, fsync, dxvk, vkd3d;
    EnvironmentChanges overrides;
    EnvironmentChanges environment;

    // Takes the wine runner's options and the system's environment that `root` sets.
    void mergeFrom(const YAML::Node& root) {
        YAML::Node wine = child(root, "wine");
        for (auto [key, value] :
             {std::pair{"version", &version}, std::pair{"custom_wine_path", &customWine}})
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

LutrisSettings::LutrisSettings(const std::string& home)
    : home_(home), shared_(std::make_unique<Options>()) {
    for (const char* file : {"/.config/lutris/system.yml", "/.config/lutris/runners/wine.yml"}) {
        std::optional<YAML::Node> root = loadYaml(home + file);
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
    try {
        options.mergeFrom(*root);
        YAML::Node section = child(*root, "game");
        game.prefix = expandHome(scalar(section, "prefix").value_or(""), home_);
        game.executable = expandHome(scalar(section, "exe").value_or(""), home_);
    } catch (const YAML::Exception&) {
        return std::nullopt;
    }
    if (!game.prefix.empty() && game.prefix[0] != '/')
        game.prefix.clear(); // relative to nothing we know
    // Lutris takes a relative exe from the game's directory, which for a wine game is its prefix.
    if (!game.executable.empty() && game.executable[0] != '/')
        game.executable = game.prefix.empty() ? std::string() : game.prefix + "/" + game.executable;

    WineRuntime& runtime = game.runtime;
    runtime.prefix = game.prefix.empty() ? "" : realPath(game.prefix);
    runtime.launcher = "Lutris " + configuration;
    const std::string runners = home_ + "/.local/share/lutris/runners/wine";
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

    // Lutris turns these on unless the configuration turns them off.
    if (options.esync.value_or(true))
        runtime.environment.emplace_back("WINEESYNC", "1");
    if (options.fsync.value_or(true))
        runtime.environment.emplace_back("WINEFSYNC", "1");
    DllOverrides dlls;
    if (options.dxvk.value_or(true))
        dlls.setAll(dxvkDlls, nativeThenBuiltin);
    if (options.vkd3d.value_or(true))
        dlls.setAll(vkd3dDlls, nativeThenBuiltin);
    for (const auto& [dll, mode] : options.overrides)
        dlls.set(dll, mode);
    dlls.addTo(runtime.environment);
    addVariables(runtime.environment, options.environment);
    return game;
}

std::optional<WineRuntime> bottleRuntime(const std::string& bottle, const std::string& home) {
    std::optional<YAML::Node> root = loadYaml(bottle + "/bottle.yml");
    if (!root || !root->IsMap())
        return std::nullopt;
    WineRuntime runtime;
    runtime.prefix = realPath(bottle);
    runtime.launcher = "Bottles " + lastComponent(bottle);
    try {
        // "sys-wine-9.0" is the system's wine; any other runner is one Bottles installed, next to
        // the bottles of its data directory.
        const std::string runner = scalar(*root, "Runner").value_or("");
        if (!runner.empty() && !runner.starts_with("sys-")) {
            std::vector<std::string> places;
            if (std::string bottles = parentDirectory(bottle); lastComponent(bottles) == "bottles")
                places.push_back(parentDirectory(bottles) + "/runners");
            for (const char* data :
                 {"/.local/share/bottles", "/.var/app/com.usebottles.bottles/data/bottles"})
                if (std::string place = home + data + "/runners";
                    std::find(places.begin(), places.end(), place) == places.end())
                    places.push_back(place);
            std::string looked;
            for (const std::string& place : places) {
                if (isPlainName(runner) && runtime.wine.empty())
                    runtime.wine = runnerWineIn(place + "/" + runner);
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
