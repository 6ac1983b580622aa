#include "app/shell/process_start.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

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

void execute(const std::string& file, const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(file.c_str(), pointers.data());
}

} // namespace

std::string replaceProcess(const std::string& program, const std::vector<std::string>& arguments,
                           bool tryWine, const WineRuntime& runtime) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    execute(program, argv);
    std::string failure = program + ": " + std::strerror(errno);
    if (!tryWine || errno == ENOENT)
        return failure;
    // A Windows program that this system cannot run by itself.
    std::string wine = runtime.wine.empty() ? findWine() : runtime.wine;
    if (wine.empty())
        return failure + ", and no wine on the PATH to run it";
    if (!runtime.prefix.empty())
        ::setenv("WINEPREFIX", runtime.prefix.c_str(), 1);
    argv.insert(argv.begin(), "wine");
    execute(wine, argv);
    return wine + ": " + std::strerror(errno);
}
