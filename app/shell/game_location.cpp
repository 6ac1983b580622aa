#include "app/shell/game_location.h"

#include "app/shell/launcher.h"
#include "app/shell/process_start.h"
#include "patcher/fs/fs.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace {

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void appendUtf8(std::string& text, unsigned long codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xC0 | (codePoint >> 6));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | (codePoint >> 12));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// The text of a quoted registry string starting at `at` (just after the opening quote), with
// Wine's escapes undone; nothing when the closing quote is missing.
std::optional<std::string> unquote(const std::string& line, std::size_t at) {
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
            unsigned long codePoint = 0;
            int digits = 0;
            while (digits < 4 && at < line.size() &&
                   std::isxdigit(static_cast<unsigned char>(line[at]))) {
                char digit = static_cast<char>(line[at++] | 0x20);
                codePoint = codePoint * 16 + static_cast<unsigned long>(
                                                 digit <= '9' ? digit - '0' : digit - 'a' + 10);
                ++digits;
            }
            appendUtf8(text, codePoint);
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

// The section name of a "[...] timestamp" line with its doubled backslashes undone.
std::string sectionName(const std::string& line) {
    std::size_t close = line.rfind(']');
    std::string escaped =
        line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    std::string name;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '\\')
            ++i;
        name += escaped[i];
    }
    return name;
}

} // namespace

std::string winePrefix() {
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix)
        return prefix;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.wine";
}

std::optional<std::string> installPathFromRegistry(const std::string& registryText) {
    bool inGameKey = false;
    std::size_t start = 0;
    while (start < registryText.size()) {
        std::size_t end = registryText.find('\n', start);
        std::string line =
            registryText.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? registryText.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            std::string name = sectionName(line);
            inGameKey = ::strcasecmp(name.c_str(), gameKey) == 0 ||
                        ::strcasecmp(name.c_str(), gameKey64) == 0;
            continue;
        }
        constexpr char value[] = "\"installpath\"=";
        if (inGameKey && lowerAscii(line.substr(0, sizeof value - 1)) == value) {
            std::size_t quote = sizeof value - 1;
            if (line.compare(quote, 7, "str(2):") == 0)
                quote += 7;
            if (quote < line.size() && line[quote] == '"')
                if (auto text = unquote(line, quote + 1))
                    return text;
        }
    }
    return std::nullopt;
}

std::optional<std::string> readInstallPath(const std::string& prefix) {
    UniqueFile file = openForReading(prefix + "/system.reg");
    if (!file)
        return std::nullopt;
    std::string text;
    char block[65536];
    std::size_t read;
    while ((read = std::fread(block, 1, sizeof block, file.get())) > 0)
        text.append(block, read);
    return installPathFromRegistry(text);
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

GameSearch findGame(const std::string& prefix) {
    if (fileExists("WoW.exe"))
        return GameSearch::here;
    std::optional<std::string> installPath = readInstallPath(prefix);
    if (!installPath)
        return GameSearch::notFound;
    if (auto directory = unixPathOf(prefix, cutAtLastBackslash(*installPath)))
        if (::chdir(directory->c_str()) != 0) {
            // A failed change of directory is not reported; the search below decides.
        }
    return fileExists("WoW.exe") ? GameSearch::installed : GameSearch::notFound;
}

GameSearch findGameOrHandOver(const std::string& prefix,
                              const std::vector<std::string>& arguments) {
    GameSearch found = findGame(prefix);
    if (found == GameSearch::installed && fileExists("Pelvar.exe"))
        replaceProcess("Pelvar.exe", arguments, false);
    return found;
}
