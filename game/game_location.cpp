#include "game/game_location.h"

#include "base/fs.h"
#include "base/text.h"
#include "game/config_files.h"
#include "game/game_choice.h"
#include "game/launcher.h"
#include "game/process_start.h"
#include "game/wine_names.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        c = lowerAscii(c);
    return text;
}

// The UTF-16 unit of a "\x" escape whose hex digits (at most four) start at `at`.
unsigned long escapedUnit(std::string_view line, std::size_t& at) {
    unsigned long unit = 0;
    for (int digits = 0;
         digits < 4 && at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at]));
         ++digits) {
        char digit = static_cast<char>(line[at++] | 0x20);
        unit =
            unit * 16 + static_cast<unsigned long>(digit <= '9' ? digit - '0' : digit - 'a' + 10);
    }
    return unit;
}

bool isHighSurrogate(unsigned long unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(unsigned long unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The text of a quoted registry string starting at `at` (just after the opening quote), with
// Wine's escapes undone; nothing when the closing quote is missing.
std::optional<std::string> unquote(std::string_view line, std::size_t at) {
    std::string text;
    while (at < line.size()) {
        char c = line[at++];
        if (c == '"')
            return text;
        if (c != '\\' || at == line.size()) {
            text += c;
            continue;
        }
        char escaped = line[at++];
        switch (escaped) {
        case 'x': {
            // Wine writes UTF-16 units: a character beyond the first 65536 comes as a pair.
            unsigned long codePoint = escapedUnit(line, at);
            if (isHighSurrogate(codePoint)) {
                std::size_t low = at + 2;
                unsigned long next = line.compare(at, 2, "\\x") == 0 ? escapedUnit(line, low) : 0;
                if (isLowSurrogate(next)) {
                    codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (next - 0xDC00);
                    at = low;
                } else {
                    codePoint = 0xFFFD;
                }
            } else if (isLowSurrogate(codePoint)) {
                codePoint = 0xFFFD;
            }
            appendUtf8(text, static_cast<char32_t>(codePoint));
            break;
        }
        case 'n':
            text += '\n';
            break;
        case 'r':
            text += '\r';
            break;
        case 't':
            text += '\t';
            break;
        case '0':
            text += '\0';
            break;
        default:
            text += escaped; // \\ and \" and anything else stand for themselves
        }
    }
    return std::nullopt;
}

// Which of the game's keys a "[...] timestamp" line names, compared ignoring case with its
// doubled backslashes undone: 0 for the native one, 1 for the Wow6432Node one, -1 for neither.
// Compared in place: a registry holds tens of thousands of sections.
int gameKeyIndex(std::string_view line) {
    std::size_t close = line.rfind(']');
    std::string_view escaped = line.substr(1, close == std::string_view::npos ? close : close - 1);
    int index = 0;
    for (std::string_view key : {std::string_view(gameKey), std::string_view(gameKey64)}) {
        std::size_t at = 0;
        bool same = true;
        for (std::size_t i = 0; same && i < escaped.size(); ++i) {
            if (escaped[i] == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '\\')
                ++i;
            same = at < key.size() && lowerAscii(escaped[i]) == lowerAscii(key[at++]);
        }
        if (same && at == key.size())
            return index;
        ++index;
    }
    return -1;
}

// Finds the game's InstallPath values in a registry file given line by line.
class RegistryScan {
public:
    void line(std::string_view line) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && line[0] == '[') {
            key_ = gameKeyIndex(line);
            return;
        }
        constexpr char value[] = "\"installpath\"=";
        if (key_ < 0 || found_[key_] ||
            lowerAscii(std::string(line.substr(0, sizeof value - 1))) != value)
            return;
        std::size_t quote = sizeof value - 1;
        if (line.compare(quote, 7, "str(2):") == 0)
            quote += 7;
        if (quote < line.size() && line[quote] == '"')
            found_[key_] = unquote(line, quote + 1);
    }

    // True when both keys' values are known: the rest of the file can be left unread.
    bool complete() const { return found_[0] && found_[1]; }

    std::vector<std::string> values() const {
        std::vector<std::string> values;
        for (const std::optional<std::string>& found : found_)
            if (found && std::find(values.begin(), values.end(), *found) == values.end())
                values.push_back(*found);
        return values;
    }

private:
    int key_ = -1;
    std::optional<std::string> found_[2];
};

} // namespace

std::vector<std::string> installPathsFromRegistry(const std::string& registryText) {
    RegistryScan scan;
    std::string_view text = registryText;
    while (!text.empty() && !scan.complete()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        scan.line(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return scan.values();
}

std::vector<std::string> readInstallPaths(const std::string& prefix) {
    UniqueFile file = openForReading(prefix + "/system.reg");
    if (!file)
        return {};
    // Read a block at a time: a prefix's registry runs to megabytes, and the search reads many.
    // A line is looked at up to a length far beyond any path's value; what runs on past it is
    // never held, so that a file without line breaks cannot fill the memory.
    static constexpr std::size_t longestLine = 1 << 20;
    RegistryScan scan;
    std::string partial; // a line that runs on into the next block
    auto keep = [&partial](std::string_view piece) {
        partial.append(piece.substr(0, longestLine - std::min(longestLine, partial.size())));
    };
    char block[65536];
    std::size_t read;
    while (!scan.complete() && (read = std::fread(block, 1, sizeof block, file.get())) > 0) {
        std::string_view data(block, read);
        for (std::size_t end; (end = data.find('\n')) != std::string_view::npos;
             data.remove_prefix(end + 1)) {
            if (partial.empty()) {
                scan.line(data.substr(0, std::min(end, longestLine)));
            } else {
                keep(data.substr(0, end));
                scan.line(partial);
                partial.clear();
            }
        }
        keep(data);
    }
    if (!scan.complete())
        scan.line(partial);
    return scan.values();
}

std::string cutAtLastBackslash(const std::string& windowsPath) {
    std::size_t slash = windowsPath.rfind('\\');
    return slash == std::string::npos ? windowsPath : windowsPath.substr(0, slash);
}

std::optional<std::string> unixPathOf(const std::string& prefix, const std::string& windowsPath) {
    if (windowsPath.size() < 2 || windowsPath[1] != ':' ||
        !std::isalpha(static_cast<unsigned char>(windowsPath[0])))
        return std::nullopt;
    std::string path = prefix + "/dosdevices/" +
                       static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath[0]))) +
                       ":";
    if (!isDirectory(path))
        return std::nullopt;
    std::size_t at = 2;
    while (at <= windowsPath.size()) {
        std::size_t next = windowsPath.find_first_of("\\/", at);
        std::string component =
            windowsPath.substr(at, next == std::string::npos ? std::string::npos : next - at);
        at = next == std::string::npos ? windowsPath.size() + 1 : next + 1;
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            path += "/..";
            continue;
        }
        std::optional<std::string> match = wineNameIn(path, component);
        if (!match)
            return std::nullopt;
        path += "/" + *match;
    }
    return path;
}

std::optional<std::string> gameExecutableIn(const std::string& directory) {
    std::optional<std::string> name = wineNameIn(directory, gameExecutable);
    if (name && isPlainFile(directory + "/" + *name))
        return name;
    return std::nullopt;
}

namespace {

std::string currentDirectory() {
    char here[4096];
    return ::getcwd(here, sizeof here) ? here : ".";
}

// Collects the installations of one search, each game directory and prefix once.
class Finds {
public:
    explicit Finds(GameSearchResult& result) : result_(result) {}

    void add(GameInstallation installation) {
        if (seen_.insert({realPath(installation.directory), realPath(installation.runtime.prefix)})
                .second)
            result_.installations.push_back(std::move(installation));
    }

private:
    GameSearchResult& result_;
    std::set<std::pair<std::string, std::string>> seen_;
};

// The directories an InstallPath value may name, in the order they are tried: the value cut at
// its last backslash, as start-up always took it, then the whole value, for one written without
// its trailing backslash ("C:\\Games\\World of Warcraft" plainly names the game's directory).
std::vector<std::string> directoriesNamedBy(const std::string& installPath) {
    std::vector<std::string> directories = {cutAtLastBackslash(installPath)};
    if (!installPath.empty() && installPath.back() != '\\' && installPath != directories[0])
        directories.push_back(installPath);
    return directories;
}

// The installation that the game's key in `known`'s prefix leads to, or why there is none. Each
// value is tried (a 64-bit key's value that leads nowhere does not hide a right Wow6432Node one),
// and the reason names every directory that was searched.
std::optional<GameInstallation> throughRegistry(const KnownPrefix& known, std::string& why) {
    std::vector<std::string> installPaths = readInstallPaths(known.prefix);
    if (installPaths.empty()) {
        why = isPlainFile(known.prefix + "/system.reg") ? "no InstallPath of the game"
                                                        : "no system.reg";
        return std::nullopt;
    }
    why.clear();
    for (const std::string& installPath : installPaths) {
        std::string searched;
        for (const std::string& windowsDirectory : directoriesNamedBy(installPath)) {
            std::optional<std::string> directory = unixPathOf(known.prefix, windowsDirectory);
            std::optional<std::string> executable;
            if (directory)
                executable = gameExecutableIn(*directory);
            if (executable)
                return GameInstallation{realPath(*directory),
                                        *executable,
                                        known.source,
                                        known.origin,
                                        known.runtime,
                                        {},
                                        {}};
            searched += (searched.empty() ? "" : ", nor ") + windowsDirectory +
                        (directory ? " (" + *directory + ")" : std::string(" (not there)"));
        }
        why += (why.empty() ? "" : "; ") + ("InstallPath " + installPath) + ": no " +
               gameExecutable + " in " + searched;
    }
    return std::nullopt;
}

// The installation whose executable is `executable` (a path of this system), or why there is
// none.
std::optional<GameInstallation> throughExecutable(const std::string& executable,
                                                  const KnownPrefix& known, std::string& why) {
    std::string name = lastComponent(executable);
    std::string directory = parentDirectory(executable);
    if (!sameWineName(name, gameExecutable)) {
        why = "its exe " + executable + " is another program";
        return std::nullopt;
    }
    std::optional<std::string> found = gameExecutableIn(directory);
    if (!found) {
        why = "its exe " + executable + " is not there";
        return std::nullopt;
    }
    return GameInstallation{
        realPath(directory), *found, known.source, known.origin, known.runtime, {}, {}};
}

// The path of the game's executable among a launch command's arguments, if one names it.
std::optional<std::string> executableArgument(const std::vector<std::string>& command,
                                              const std::string& start) {
    for (const std::string& argument : command) {
        if (!sameWineName(lastComponent(argument), gameExecutable))
            continue;
        std::string path = argument.starts_with("/") ? argument : start + "/" + argument;
        if (isPlainFile(path))
            return path;
    }
    return std::nullopt;
}

// The prefix that the player's environment names, and by what: with a launch, Steam's
// compatibility data first.
std::pair<std::string, std::string> namedPrefix(bool launch) {
    if (const char* steam = std::getenv("STEAM_COMPAT_DATA_PATH"); launch && steam && *steam)
        return {std::string(steam) + "/pfx", "$STEAM_COMPAT_DATA_PATH"};
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix)
        return {prefix, "$WINEPREFIX"};
    return {};
}

// The last time the game in `directory` ran: it rewrites WTF/Config.wtf and its caches each time.
std::int64_t lastPlayed(const std::string& directory) {
    std::int64_t newest = 0;
    auto take = [&newest](const std::string& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            newest = std::max<std::int64_t>(newest, std::int64_t(info.st_mtim.tv_sec) * 1000000000 +
                                                        info.st_mtim.tv_nsec);
    };
    if (std::optional<std::string> wtf = wineNameIn(directory, "WTF"))
        if (std::optional<std::string> config = wineNameIn(directory + "/" + *wtf, "Config.wtf"))
            take(directory + "/" + *wtf + "/" + *config);
    if (std::optional<std::string> wdb = wineNameIn(directory, "WDB")) {
        // The caches, and those of later clients in a directory per language.
        const std::string caches = directory + "/" + *wdb;
        for (const std::string& name : namesIn(caches)) {
            take(caches + "/" + name);
            if (isDirectory(caches + "/" + name))
                for (const std::string& inner : namesIn(caches + "/" + name))
                    take(caches + "/" + name + "/" + inner);
        }
    }
    return newest;
}

std::string countText(std::size_t count) {
    return std::to_string(count) + " installations of WoW";
}

// Picks the installation used among those found when none was named. A chosen game directory
// that the search did not reach (one chosen when the program started there) is used as it is,
// in the prefix around it.
void choose(GameSearchResult& result, Settings* settings,
            const std::function<WineRuntime(const std::string&)>& runtimeAround) {
    const std::size_t count = result.installations.size();
    if (settings) {
        StoredChoice stored = storedGameChoice(*settings);
        if (stored.present) {
            for (std::size_t i = 0; i < count && stored.readable; ++i)
                if (result.installations[i].directory == realPath(stored.directory)) {
                    result.usedIndex = i;
                    result.reason = ChoiceReason::chosen;
                    return;
                }
            std::optional<std::string> executable;
            if (stored.readable)
                executable = gameExecutableIn(stored.directory);
            if (executable) {
                const std::string directory = realPath(stored.directory);
                result.installations.push_back({directory,
                                                *executable,
                                                GameSource::chosenDirectory,
                                                "chosen before",
                                                runtimeAround(directory),
                                                {},
                                                {}});
                result.usedIndex = count;
                result.reason = ChoiceReason::chosen;
                return;
            }
            result.notes.push_back(
                stored.readable
                    ? "The game chosen before, in " + stored.directory +
                          ", is no longer there: the choice is dropped"
                    : std::string("The game chosen before could not be read: the choice is "
                                  "dropped"));
            dropGameChoice(*settings);
        }
    }
    if (count == 0)
        return;
    result.usedIndex = 0;
    if (count == 1) {
        result.reason = ChoiceReason::onlyOne;
        return;
    }
    std::int64_t newest = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (std::int64_t played = lastPlayed(result.installations[i].directory); played > newest) {
            newest = played;
            result.usedIndex = i;
        }
    result.reason = newest > 0 ? ChoiceReason::playedLast : ChoiceReason::foundFirst;
    result.notes.push_back("Using " + result.used()->directory + ", " +
                           (newest > 0
                                ? "played last of " + countText(count)
                                : "found first of " + countText(count) + ", none played yet") +
                           "; choose another under Configure or with pelvar-cli --game");
}

} // namespace

std::string GameSearchResult::whyUsed() const {
    switch (reason) {
    case ChoiceReason::named:
        return "named by " + namedBy;
    case ChoiceReason::chosen:
        return "chosen";
    case ChoiceReason::onlyOne:
        return "the only one";
    case ChoiceReason::playedLast:
        return "played last";
    case ChoiceReason::foundFirst:
        return "found first";
    }
    return {};
}

GameSearchResult searchGames(const GameQuery& query) {
    GameSearchResult result;
    Finds finds(result);
    const std::string here =
        query.startDirectory.empty() ? currentDirectory() : query.startDirectory;
    // A search again, once start-up has entered the game directory, starts where this one did.
    result.query = query;
    result.query.startDirectory = here;
    const std::string home = homeDirectory();
    // Not a structured binding: the lambdas below capture it, which not every compiler allows.
    const std::pair<std::string, std::string> namedByEnvironment = namedPrefix(query.launch);
    const std::string& named = namedByEnvironment.first;
    const std::string& namedBy = namedByEnvironment.second;
    std::vector<std::string> looked;
    const std::vector<KnownPrefix> prefixes = knownPrefixes(home, named, looked, namedBy);

    // What the player named: the directory the program was started in (or -C), the game's
    // executable in a launch's command, the prefix of the environment.
    auto runtimeAround = [&](const std::string& directory) {
        std::optional<std::string> prefix = enclosingPrefix(directory);
        if (!prefix && !named.empty())
            prefix = named;
        return prefix ? launcherRuntime(*prefix, prefixes, home) : WineRuntime{};
    };
    if (std::optional<std::string> executable = gameExecutableIn(here)) {
        // A game in a prefix runs there; one outside any runs where the environment says, as it
        // always did (a hand-over passes its prefix on so).
        finds.add({here,
                   *executable,
                   GameSource::currentDirectory,
                   "current directory",
                   runtimeAround(here),
                   {},
                   {}});
        result.namedBy = query.directoryNamed ? "-C" : "the current directory";
    } else {
        result.looked.push_back(here + ": no " + std::string(gameExecutable));
        // A game directory named on the command line is the one meant: never another instead.
        if (query.directoryNamed)
            return result;
        if (std::optional<std::string> path = executableArgument(query.launchCommand, here)) {
            // The command runs in the prefix its environment names, else in the one around it.
            const std::string directory = realPath(parentDirectory(*path));
            WineRuntime runtime =
                named.empty() ? runtimeAround(directory) : launcherRuntime(named, prefixes, home);
            finds.add({directory,
                       lastComponent(*path),
                       GameSource::launchCommand,
                       "the launch's command",
                       runtime,
                       {},
                       {}});
            result.namedBy = "the launch's command";
        }
    }
    if (!result.installations.empty()) {
        result.usedIndex = 0;
        if (!query.everyInstallation)
            return result;
    }
    result.looked.insert(result.looked.end(), looked.begin(), looked.end());

    const std::string namedReal = named.empty() ? "" : realPath(named);
    std::set<std::string> registriesRead;
    for (const KnownPrefix& known : prefixes) {
        std::size_t before = result.installations.size();
        std::vector<std::string> whys;
        std::string why;
        if (!known.prefix.empty() && registriesRead.insert(realPath(known.prefix)).second) {
            if (auto installation = throughRegistry(known, why))
                finds.add(std::move(*installation));
            else
                whys.push_back(why);
        }
        if (!known.executable.empty()) {
            if (auto installation = throughExecutable(known.executable, known, why))
                finds.add(std::move(*installation));
            else
                whys.push_back(why);
        }
        if (!whys.empty() && result.installations.size() == before) {
            std::string line = (known.prefix.empty() ? "no prefix" : known.prefix) + " (" +
                               known.origin + "): " + whys[0];
            for (std::size_t i = 1; i < whys.size(); ++i)
                line += "; " + whys[i];
            result.looked.push_back(line);
        }
        // The first installation in the prefix the environment names is the one named.
        for (std::size_t i = before; i < result.installations.size(); ++i)
            if (!result.used() && !namedReal.empty() &&
                realPath(result.installations[i].runtime.prefix) == namedReal) {
                result.usedIndex = i;
                result.namedBy = namedBy;
            }
        if (!query.everyInstallation && result.used())
            return result;
    }
    result.complete = true;
    if (!result.used()) {
        if (query.launch && !named.empty())
            result.notes.push_back("No " + std::string(gameExecutable) + " in the prefix that " +
                                   namedBy + " names, " + named);
        choose(result, query.settings, runtimeAround);
    }
    return result;
}

GameSearchResult enterGame(const GameQuery& query) {
    GameSearchResult result = searchGames(query);
    if (const GameInstallation* used = result.used();
        used && ::chdir(used->directory.c_str()) != 0) {
        result.looked.push_back(used->directory + ": cannot enter it");
        result.usedIndex = result.installations.size();
    }
    return result;
}

GameSearchResult enterGameOrHandOver(const std::vector<std::string>& ownArguments,
                                     const GameQuery& query) {
    GameSearchResult result = enterGame(query);
    const GameInstallation* used = result.used();
    if (used && used->source != GameSource::currentDirectory && isPlainFile("Pelvar.exe")) {
        std::vector<std::string> argv = {"Pelvar.exe"};
        argv.insert(argv.end(), ownArguments.begin(), ownArguments.end());
        EnvironmentChanges prefix;
        if (!used->runtime.prefix.empty())
            prefix.emplace_back("WINEPREFIX", used->runtime.prefix);
        replaceProcess("Pelvar.exe", argv, prefix);
    }
    return result;
}

std::vector<std::string> gameListLines(const GameSearchResult& search) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < search.installations.size(); ++i) {
        const GameInstallation& installation = search.installations[i];
        const WineRuntime& runtime = installation.runtime;
        std::string origin = installation.origin;
        // A prefix reached otherwise than through its launcher is still started by it.
        if (!runtime.launcher.empty() && runtime.launcher != origin)
            origin += ", in the prefix of " + runtime.launcher;
        const bool used = i == search.usedIndex;
        lines.push_back((used ? "* " : "  ") + std::to_string(i + 1) + "\t" +
                        installation.directory + "\t" +
                        (runtime.prefix.empty() ? "-" : runtime.prefix) + "\t" + origin + "\t" +
                        runnerText(installation) + (used ? "\tused: " + search.whyUsed() : ""));
    }
    return lines;
}

std::string lookedText(const GameSearchResult& search) {
    std::string text;
    for (const std::string& line : search.looked)
        text += line + "\n";
    return text;
}
