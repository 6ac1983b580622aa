#include "game/game_location.h"

#include "base/fs.h"
#include "base/text.h"
#include "game/config_files.h"
#include "game/launcher.h"
#include "game/process_start.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <strings.h>
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
        std::optional<std::vector<std::string>> names = listDirectory(path);
        if (!names)
            return std::nullopt;
        std::string match;
        for (const std::string& name : *names) {
            if (name == component) {
                match = name;
                break;
            }
            if (match.empty() && ::strcasecmp(name.c_str(), component.c_str()) == 0)
                match = name;
        }
        if (match.empty())
            return std::nullopt;
        path += "/" + match;
    }
    return path;
}

namespace {

std::string currentDirectory() {
    char here[4096];
    return ::getcwd(here, sizeof here) ? here : ".";
}

bool isPlainFile(const std::string& path) {
    return fileExists(path) && !isDirectory(path);
}

// The Wine prefix that holds `directory` (a directory with system.reg and drive_c), if any.
std::optional<std::string> enclosingPrefix(const std::string& directory) {
    std::string path = realPath(directory);
    while (path.size() > 1) {
        if (isPlainFile(path + "/system.reg") && isDirectory(path + "/drive_c"))
            return path;
        path.erase(path.rfind('/') == 0 ? 1 : path.rfind('/'));
    }
    return std::nullopt;
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
                return GameInstallation{realPath(*directory), *executable, known.source,
                                        known.origin, known.runtime};
            searched += (searched.empty() ? "" : ", nor ") + windowsDirectory +
                        (directory ? " (" + *directory + ")" : std::string(" (not there)"));
        }
        why += (why.empty() ? "" : "; ") + ("InstallPath " + installPath) + ": no " +
               gameExecutable + " in " + searched;
    }
    return std::nullopt;
}

// The installation that a Lutris game's exe names, or why there is none.
std::optional<GameInstallation> throughExecutable(const KnownPrefix& known, std::string& why) {
    std::size_t slash = known.executable.rfind('/');
    std::string name = known.executable.substr(slash + 1);
    std::string directory = slash == 0 ? "/" : known.executable.substr(0, slash);
    if (::strcasecmp(name.c_str(), gameExecutable) != 0) {
        why = "its exe " + known.executable + " is another program";
        return std::nullopt;
    }
    std::optional<std::string> executable = gameExecutableIn(directory);
    if (!executable) {
        why = "its exe " + known.executable + " is not there";
        return std::nullopt;
    }
    return GameInstallation{realPath(directory), *executable, known.source, known.origin,
                            known.runtime};
}

} // namespace

std::optional<std::string> gameExecutableIn(const std::string& directory) {
    if (isPlainFile(directory + "/" + gameExecutable))
        return gameExecutable;
    std::optional<std::vector<std::string>> names = listDirectory(directory);
    if (!names)
        return std::nullopt;
    for (const std::string& name : *names)
        if (::strcasecmp(name.c_str(), gameExecutable) == 0 && isPlainFile(directory + "/" + name))
            return name;
    return std::nullopt;
}

GameSearchResult searchGames(bool everyInstallation) {
    GameSearchResult result;
    Finds finds(result);
    const std::string here = currentDirectory();
    const std::string home = homeDirectory();
    const char* variable = std::getenv("WINEPREFIX");
    const std::string winePrefixVariable = variable ? variable : "";
    std::vector<std::string> looked;
    const std::vector<KnownPrefix> prefixes = knownPrefixes(home, winePrefixVariable, looked);

    if (std::optional<std::string> executable = gameExecutableIn(here)) {
        GameInstallation installation{
            here, *executable, GameSource::currentDirectory, "current directory", {}};
        // A game in a prefix runs there; one outside any runs where $WINEPREFIX says, as it
        // always did (a hand-over passes its prefix on so).
        std::optional<std::string> prefix = enclosingPrefix(here);
        if (!prefix && !winePrefixVariable.empty())
            prefix = winePrefixVariable;
        if (prefix)
            installation.runtime = launcherRuntime(*prefix, prefixes, home);
        finds.add(std::move(installation));
        if (!everyInstallation)
            return result;
    } else {
        result.looked.push_back(here + ": no " + std::string(gameExecutable));
    }
    result.looked.insert(result.looked.end(), looked.begin(), looked.end());

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
            if (auto installation = throughExecutable(known, why))
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
        if (!everyInstallation && !result.installations.empty())
            break;
    }
    return result;
}

GameSearchResult enterGame() {
    GameSearchResult result = searchGames(false);
    if (const GameInstallation* used = result.used();
        used && ::chdir(used->directory.c_str()) != 0) {
        result.looked.push_back(used->directory + ": cannot enter it");
        result.usedIndex = result.installations.size();
    }
    return result;
}

GameSearchResult enterGameOrHandOver(const std::vector<std::string>& ownArguments) {
    GameSearchResult result = enterGame();
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
        lines.push_back((i == search.usedIndex ? "* " : "  ") + installation.directory + "\t" +
                        (runtime.prefix.empty() ? "-" : runtime.prefix) + "\t" + origin + "\t" +
                        runnerText(installation));
    }
    return lines;
}

std::string lookedText(const GameSearchResult& search) {
    std::string text;
    for (const std::string& line : search.looked)
        text += line + "\n";
    return text;
}
