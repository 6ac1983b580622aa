#include "game/steam_library.h"

#include "base/fs.h"
#include "game/config_files.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <initializer_list>

namespace {

// The file is a tree of quoted keys, each followed by a quoted value or a braced block of
// further pairs; "//" starts a comment. Steam writes no unquoted tokens there, but its reader
// accepts them, so this one does too.
class VdfTokens {
public:
    enum class Kind { text, open, close, end, bad };

    explicit VdfTokens(const std::string& text) : text_(text) {}

    Kind next(std::string& token) {
        skipBlanksAndComments();
        if (at_ >= text_.size())
            return Kind::end;
        char c = text_[at_];
        if (c == '{' || c == '}') {
            ++at_;
            return c == '{' ? Kind::open : Kind::close;
        }
        token.clear();
        if (c != '"') {
            while (at_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[at_])) &&
                   text_[at_] != '{' && text_[at_] != '}' && text_[at_] != '"')
                token += text_[at_++];
            return Kind::text;
        }
        for (++at_; at_ < text_.size(); ++at_) {
            c = text_[at_];
            if (c == '"') {
                ++at_;
                return Kind::text;
            }
            if (c == '\\' && at_ + 1 < text_.size()) {
                c = text_[++at_];
                token += c == 'n' ? '\n' : c == 't' ? '\t' : c;
            } else {
                token += c;
            }
        }
        return Kind::bad; // the closing quote is missing
    }

private:
    void skipBlanksAndComments() {
        for (;;) {
            while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
                ++at_;
            if (text_.compare(at_, 2, "//") != 0)
                return;
            at_ = text_.find('\n', at_);
            if (at_ == std::string::npos)
                at_ = text_.size();
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

bool isNumber(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// True when a value's last keys are `last`, compared ignoring case; "" stands for any key.
bool keysEnd(const VdfValue& value, std::initializer_list<const char*> last) {
    if (value.keys.size() < last.size())
        return false;
    std::size_t at = value.keys.size() - last.size();
    for (const char* key : last) {
        if (*key && !equalIgnoringCase(value.keys[at], key))
            return false;
        ++at;
    }
    return true;
}

// The directories that Steam installs an official Proton tool into: "proton_8" is "Proton 8.0",
// "proton_513" "Proton 5.13", "proton_experimental" "Proton - Experimental".
std::vector<std::string> officialToolDirectories(const std::string& tool) {
    if (equalIgnoringCase(tool, "proton_experimental"))
        return {"Proton - Experimental"};
    if (equalIgnoringCase(tool, "proton_hotfix"))
        return {"Proton Hotfix"};
    constexpr std::size_t digitsAt = sizeof "proton_" - 1;
    if (tool.size() <= digitsAt || !equalIgnoringCase(tool.substr(0, digitsAt), "proton_") ||
        !isNumber(tool.substr(digitsAt)))
        return {};
    std::string digits = tool.substr(digitsAt);
    // There was never a Proton 1: a leading 1 is the first digit of 10 and above.
    std::size_t majorLength = digits[0] == '1' && digits.size() > 1 ? 2 : 1;
    std::string minor = digits.substr(majorLength);
    std::string name =
        "Proton " + digits.substr(0, majorLength) + "." + (minor.empty() ? "0" : minor);
    return {name, name + " (Beta)"};
}

bool isProton(const std::string& directory) {
    return isExecutableFile(directory + "/proton");
}

} // namespace

std::optional<std::vector<VdfValue>> vdfValues(const std::string& vdfText) {
    using Kind = VdfTokens::Kind;
    // Steam's files nest a few blocks deep; the limit keeps the key stack small.
    constexpr std::size_t deepest = 16;
    VdfTokens tokens(vdfText);
    std::vector<std::string> keys; // the keys of the open blocks, outermost first
    std::vector<VdfValue> values;
    std::string key, value;
    for (;;) {
        Kind kind = tokens.next(key);
        if (kind == Kind::end)
            break;
        if (kind == Kind::close) {
            if (keys.empty())
                return std::nullopt;
            keys.pop_back();
            continue;
        }
        if (kind != Kind::text)
            return std::nullopt;
        kind = tokens.next(value);
        if (kind == Kind::open) {
            if (keys.size() == deepest)
                return std::nullopt;
            keys.push_back(key);
        } else if (kind == Kind::text) {
            VdfValue found{keys, value};
            found.keys.push_back(key);
            values.push_back(std::move(found));
        } else {
            return std::nullopt;
        }
    }
    if (!keys.empty())
        return std::nullopt;
    return values;
}

std::optional<std::vector<std::string>> steamLibraryPaths(const std::string& vdfText) {
    std::optional<std::vector<VdfValue>> values = vdfValues(vdfText);
    if (!values)
        return std::nullopt;
    std::vector<std::string> paths;
    for (const VdfValue& value : *values) {
        const std::vector<std::string>& keys = value.keys;
        bool newForm = keys.size() == 3 && isNumber(keys[1]) && equalIgnoringCase(keys[2], "path");
        bool oldForm = keys.size() == 2 && isNumber(keys[1]);
        if ((newForm || oldForm) && !value.value.empty())
            paths.push_back(value.value);
    }
    return paths;
}

std::map<std::string, std::string> compatToolMapping(const std::vector<VdfValue>& config) {
    std::map<std::string, std::string> mapping;
    for (const VdfValue& value : config)
        if (keysEnd(value, {"CompatToolMapping", "", "name"}) && !value.value.empty())
            mapping.emplace(value.keys[value.keys.size() - 2], value.value);
    return mapping;
}

namespace {

// The directories of a colon-separated list.
std::vector<std::string> directoryList(const std::string& list) {
    std::vector<std::string> directories;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t colon = std::min(list.find(':', start), list.size());
        if (colon > start)
            directories.push_back(list.substr(start, colon - start));
        start = colon + 1;
    }
    return directories;
}

// A Steam installation's directory, and for the Flatpak's, the directory that its sandbox sees as
// the home.
struct SteamRoot {
    std::string path;
    std::string sandboxHome;
};

// A library path as Steam wrote it, as a path of this system: the Flatpak's sandbox keeps its own
// home, so that a path under the home is under the sandbox's home when that holds it.
std::string outsideSandbox(const std::string& path, const SteamRoot& root,
                           const std::string& home) {
    if (root.sandboxHome.empty() || home.empty() || (path != home && !path.starts_with(home + "/")))
        return path;
    std::string inside = root.sandboxHome + path.substr(home.size());
    return isDirectory(inside) ? inside : path;
}

} // namespace

std::vector<std::string> SteamSettings::systemToolPlaces() {
    std::vector<std::string> places;
    if (const char* extra = std::getenv("STEAM_EXTRA_COMPAT_TOOLS_PATHS"))
        places = directoryList(extra);
    const char* system = std::getenv("MIRELGAN_STEAM_SYSTEM_TOOLS");
    for (const std::string& place :
         directoryList(system ? system
                              : "/usr/share/steam/compatibilitytools.d:"
                                "/usr/local/share/steam/compatibilitytools.d"))
        places.push_back(place);
    return places;
}

SteamSettings::SteamSettings(const std::string& home, std::vector<std::string>& looked)
    : systemTools_(systemToolPlaces()) {
    const std::string flatpak = home + "/.var/app/com.valvesoftware.Steam";
    std::vector<SteamRoot> roots = {
        {home + "/.steam/steam", ""},
        {xdgDirectory("XDG_DATA_HOME", home, "/.local/share") + "/Steam", ""},
        {home + "/.local/share/Steam", ""},
        {flatpak + "/.local/share/Steam", flatpak}};
    std::vector<std::string> listed;
    std::vector<std::size_t> listedBy;
    std::vector<std::string> tried;
    for (const SteamRoot& root : roots) {
        if (std::find(tried.begin(), tried.end(), root.path) != tried.end())
            continue;
        tried.push_back(root.path);
        if (!isDirectory(root.path)) {
            looked.push_back(root.path + ": no Steam");
            continue;
        }
        // ~/.steam/steam is usually a link to ~/.local/share/Steam: one installation.
        std::string real = realPath(root.path);
        if (std::any_of(installations_.begin(), installations_.end(),
                        [&](const Installation& each) { return each.root == real; }))
            continue;
        const std::size_t index = installations_.size();
        installations_.push_back({real, {}});
        listed.push_back(real);
        listedBy.push_back(index);
        std::string vdf = root.path + "/steamapps/libraryfolders.vdf";
        std::optional<std::string> text = readConfigurationFile(vdf);
        if (!text) {
            vdf = root.path + "/config/libraryfolders.vdf";
            text = readConfigurationFile(vdf);
        }
        std::optional<std::vector<std::string>> paths;
        if (text)
            paths = steamLibraryPaths(*text);
        if (!paths)
            looked.push_back(vdf + ": no readable library list, skipped");
        else
            for (const std::string& path : *paths) {
                listed.push_back(outsideSandbox(path, root, home));
                listedBy.push_back(index);
            }
        std::string config = root.path + "/config/config.vdf";
        if (std::optional<std::string> configText = readConfigurationFile(config)) {
            if (std::optional<std::vector<VdfValue>> values = vdfValues(*configText))
                installations_[index].mapping = compatToolMapping(*values);
            else
                looked.push_back(config + ": not a readable Steam configuration, skipped");
        }
    }
    for (std::size_t i = 0; i < listed.size(); ++i)
        if (std::string real = realPath(listed[i]);
            std::find(libraries_.begin(), libraries_.end(), real) == libraries_.end()) {
            libraries_.push_back(real);
            owners_.push_back(listedBy[i]);
        }
}

const SteamSettings::Installation& SteamSettings::ownerOf(const std::string& library) const {
    static const Installation none;
    auto listed = std::find(libraries_.begin(), libraries_.end(), library);
    if (listed != libraries_.end())
        return installations_[owners_[static_cast<std::size_t>(listed - libraries_.begin())]];
    return installations_.empty() ? none : installations_.front();
}

std::vector<std::string> SteamSettings::toolPlaces(const std::string& library,
                                                   std::size_t& tools) const {
    const std::string& owner = ownerOf(library).root;
    std::vector<std::string> places;
    if (!owner.empty())
        places.push_back(owner + "/compatibilitytools.d");
    for (const Installation& installation : installations_)
        if (installation.root != owner)
            places.push_back(installation.root + "/compatibilitytools.d");
    places.insert(places.end(), systemTools_.begin(), systemTools_.end());
    tools = places.size();
    std::vector<std::string> libraries = libraries_;
    if (std::find(libraries.begin(), libraries.end(), library) == libraries.end())
        libraries.push_back(library);
    for (const std::string& each : libraries)
        places.push_back(each + "/steamapps/common");
    return places;
}

std::optional<std::string>
SteamSettings::toolDirectory(const std::string& tool,
                             const std::vector<std::string>& places) const {
    const std::vector<std::string> official = officialToolDirectories(tool);
    for (const std::string& place : places) {
        for (const std::string& name : namesIn(place)) {
            const std::string directory = place + "/" + name;
            // A tool of its own says its name, and where it is, in compatibilitytool.vdf.
            std::optional<std::string> text =
                readConfigurationFile(directory + "/compatibilitytool.vdf");
            std::optional<std::vector<VdfValue>> values;
            if (text)
                values = vdfValues(*text);
            for (const VdfValue& value : values ? *values : std::vector<VdfValue>{}) {
                if (!keysEnd(value, {"compat_tools", "", "install_path"}) ||
                    !equalIgnoringCase(value.keys[value.keys.size() - 2], tool))
                    continue;
                std::string installed =
                    value.value.starts_with("/") ? value.value : directory + "/" + value.value;
                if (isProton(installed))
                    return realPath(installed);
            }
            bool named =
                equalIgnoringCase(name, tool) ||
                std::any_of(official.begin(), official.end(),
                            [&](const std::string& each) { return equalIgnoringCase(name, each); });
            if (named && isProton(directory))
                return directory;
        }
    }
    return std::nullopt;
}

std::optional<std::string> SteamSettings::protonDirectory(const std::string& tool,
                                                          const std::string& library) const {
    auto [known, added] = protons_.try_emplace({tool, library});
    if (!added)
        return known->second;
    std::size_t tools = 0;
    const std::vector<std::string> places = toolPlaces(library, tools);
    if (!tool.empty()) {
        known->second = toolDirectory(tool, places);
        return known->second;
    }
    std::string newest;
    for (std::size_t i = 0; i < places.size(); ++i)
        for (const std::string& name : namesIn(places[i]))
            if ((i < tools || name.starts_with("Proton")) && isProton(places[i] + "/" + name) &&
                (newest.empty() || newerVersion(name, lastComponent(newest))))
                newest = places[i] + "/" + name;
    if (!newest.empty())
        known->second = newest;
    return known->second;
}

std::optional<WineRuntime> SteamSettings::appRuntime(const std::string& prefix) const {
    const std::string real = realPath(prefix);
    const std::string compatdata = parentDirectory(real);
    const std::string steamapps = parentDirectory(parentDirectory(compatdata));
    if (lastComponent(real) != "pfx" ||
        lastComponent(parentDirectory(compatdata)) != "compatdata" ||
        lastComponent(steamapps) != "steamapps")
        return std::nullopt;
    const std::string app = lastComponent(compatdata);
    const std::string library = parentDirectory(steamapps);
    const Installation& owner = ownerOf(library);
    WineRuntime runtime;
    runtime.prefix = real;
    runtime.proton = true;
    runtime.launcher = "Steam app " + app;
    // Proton finds the prefix above it and Steam's own libraries in the client's directory; the
    // app's number tells Proton and the game which app runs.
    runtime.environment = {
        {"STEAM_COMPAT_DATA_PATH", compatdata},
        {"STEAM_COMPAT_CLIENT_INSTALL_PATH", owner.root.empty() ? library : owner.root},
        {"SteamAppId", app},
        {"SteamGameId", app},
        {"STEAM_COMPAT_APP_ID", app}};
    // The app's own mapping, else the one for every app, else ("") the newest Proton installed.
    auto mapped = owner.mapping.find(app);
    if (mapped == owner.mapping.end())
        mapped = owner.mapping.find("0");
    const std::string tool = mapped == owner.mapping.end() ? "" : mapped->second;
    if (std::optional<std::string> directory = protonDirectory(tool, library)) {
        runtime.wine = *directory + "/proton";
        return runtime;
    }
    std::size_t tools = 0;
    std::string placesText;
    for (const std::string& place : toolPlaces(library, tools))
        placesText += (placesText.empty() ? "" : ", ") + place;
    if (tool.empty())
        runtime.missing = "no Proton is installed (looked in " + placesText + ")";
    else
        runtime.missing = "Proton " + tool + ", which Steam's config.vdf maps to " +
                          (mapped->first == "0" ? "every app" : "app " + app) +
                          ", is not installed (looked in " + placesText + ")";
    return runtime;
}
