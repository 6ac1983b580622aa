#include "game/config_files.h"

#include "base/fs.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t largestConfiguration = 1 << 20;

// The numbers in a name, in order; a run of digits too long for a number counts as the largest.
std::vector<unsigned long> numbersIn(const std::string& name) {
    std::vector<unsigned long> numbers;
    for (std::size_t at = 0; at < name.size();) {
        if (!std::isdigit(static_cast<unsigned char>(name[at]))) {
            ++at;
            continue;
        }
        unsigned long number = 0;
        for (; at < name.size() && std::isdigit(static_cast<unsigned char>(name[at])); ++at)
            number = number > 100000000 ? number
                                        : number * 10 + static_cast<unsigned long>(name[at] - '0');
        numbers.push_back(number);
    }
    return numbers;
}

} // namespace

std::optional<std::string> readConfigurationFile(const std::string& path) {
    UniqueFile file = openForReading(path);
    if (!file)
        return std::nullopt;
    std::string text;
    char block[8192];
    std::size_t read;
    while ((read = std::fread(block, 1, sizeof block, file.get())) > 0) {
        text.append(block, read);
        if (text.size() > largestConfiguration)
            return std::nullopt;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    return text;
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::optional<std::vector<std::string>> names = listDirectory(directory);
    if (!names)
        return {};
    names->erase(std::remove(names->begin(), names->end(), ".."), names->end());
    std::sort(names->begin(), names->end());
    return *names;
}

std::string realPath(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    std::string result = real ? real : path;
    std::free(real);
    return result;
}

std::string parentDirectory(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool isPlainFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> enclosingPrefix(const std::string& directory) {
    std::string path = realPath(directory);
    while (!path.empty() && path[0] == '/') {
        if (isPlainFile(path + "/system.reg") && isDirectory(path + "/drive_c"))
            return path;
        if (path == "/")
            break;
        path = parentDirectory(path);
    }
    return std::nullopt;
}

std::string xdgDirectory(const char* variable, const std::string& home, const char* fallback) {
    const char* value = std::getenv(variable);
    return value && value[0] == '/' ? std::string(value) : home + fallback;
}

std::string programOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t start = 0;;) {
        std::size_t colon = directories.find(':', start);
        std::string directory = directories.substr(start, colon - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0 && isPlainFile(candidate))
            return candidate;
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool newerVersion(const std::string& a, const std::string& b) {
    std::vector<unsigned long> numbersA = numbersIn(a), numbersB = numbersIn(b);
    if (numbersA != numbersB)
        return numbersA > numbersB;
    return a > b;
}
