#include "game/process_start.h"

#include "game/config_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts)
        pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment with `changes` made. Built apart, so that a failed start leaves
// this process's own environment untouched.
std::vector<std::string> environmentWith(const EnvironmentChanges& changes) {
    auto changed = [&changes](const char* variable) {
        const char* equals = std::strchr(variable, '=');
        std::size_t length = equals ? static_cast<std::size_t>(equals - variable) : 0;
        return std::any_of(changes.begin(), changes.end(), [&](const auto& change) {
            return change.first.size() == length &&
                   change.first.compare(0, length, variable, length) == 0;
        });
    };
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable)
        if (!changed(*variable))
            variables.emplace_back(*variable);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        bool overridden =
            std::any_of(changes.begin() + static_cast<std::ptrdiff_t>(i) + 1, changes.end(),
                        [&](const auto& later) { return later.first == changes[i].first; });
        if (!overridden)
            variables.push_back(changes[i].first + "=" + changes[i].second);
    }
    return variables;
}

} // namespace

std::string wineOnPath() {
    return programOnPath("wine");
}

std::string replaceProcess(const std::string& file, const std::vector<std::string>& argv,
                           const EnvironmentChanges& changes) {
    std::vector<std::string> environment = environmentWith(changes);
    std::vector<char*> arguments = pointersTo(argv);
    std::vector<char*> variables = pointersTo(environment);
    std::fflush(nullptr);
    ::execve(file.c_str(), arguments.data(), variables.data());
    int error = errno;
    std::string reason = file + ": " + std::strerror(error);
    errno = error;
    return reason;
}

std::string replaceProcessByCommand(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        errno = ENOENT;
        return "no command";
    }
    std::vector<char*> arguments = pointersTo(argv);
    std::fflush(nullptr);
    ::execvp(argv[0].c_str(), arguments.data());
    int error = errno;
    std::string reason = argv[0] + ": " + std::strerror(error);
    errno = error;
    return reason;
}
