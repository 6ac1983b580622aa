#include "app/shell/process_start.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

extern char** environ;

namespace {

// The first executable "wine" on the PATH, or "".
std::string findWine() {
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = directories.find(':', start);
        std::string directory = directories.substr(start, colon - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/wine";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos)
            return {};
        start = colon + 1;
    }
}

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts)
        pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment with WINEPREFIX set to `prefix`, or as it is for an empty one.
// Built apart, so that a failed start leaves this process's own environment untouched.
std::vector<std::string> environmentFor(const std::string& prefix) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable)
        if (prefix.empty() || std::strncmp(*variable, "WINEPREFIX=", 11) != 0)
            variables.emplace_back(*variable);
    if (!prefix.empty())
        variables.push_back("WINEPREFIX=" + prefix);
    return variables;
}

void execute(const std::string& file, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment) {
    std::vector<char*> arguments = pointersTo(argv);
    std::vector<char*> variables = pointersTo(environment);
    std::fflush(nullptr);
    ::execve(file.c_str(), arguments.data(), variables.data());
}

} // namespace

std::string replaceProcess(const std::string& program, const std::vector<std::string>& arguments,
                           bool tryWine, const WineRuntime& runtime) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = environmentFor(runtime.prefix);
    std::string failure;
    if (!tryWine || runtime.wine.empty()) {
        execute(program, argv, environment);
        failure = program + ": " + std::strerror(errno);
        if (!tryWine || errno == ENOENT)
            return failure;
    } else if (::access(program.c_str(), F_OK) != 0) {
        return program + ": " + std::strerror(errno);
    }
    // A Windows program that this system cannot run by itself, or one whose launcher gives it
    // its own wine.
    std::string wine = runtime.wine.empty() ? findWine() : runtime.wine;
    if (wine.empty())
        return failure + ", and no wine on the PATH to run it";
    argv.insert(argv.begin(), wine);
    execute(wine, argv, environment);
    return wine + ": " + std::strerror(errno);
}
