#include "bench/bench_support.h"

#include "base/md5.h"
#include "net/protocol.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
std::atomic<long> relativeOpens{0};
}

// Counts the game files that the code under measurement opens: every fopen and every open goes
// through here.
extern "C" FILE* fopen(const char* path, const char* mode) {
    using Real = FILE* (*)(const char*, const char*);
    static Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "fopen"));
    if (path && path[0] != '/')
        ++relativeOpens;
    return real(path, mode);
}

extern "C" int open(const char* path, int flags, ...) {
    using Real = int (*)(const char*, int, ...);
    static Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "open"));
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    // A directory opened to lock it or to list it is no game file.
    if (path[0] != '/' && !(flags & O_DIRECTORY))
        ++relativeOpens;
    return real(path, flags, mode);
}

namespace bench {

double seconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double bestOf(int rounds, const std::function<void()>& work) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i)
        best = std::min(best, seconds(work));
    return best;
}

// Starts a program with one of its output streams thrown away; -1 when it cannot start.
static pid_t spawnSilencing(const std::vector<std::string>& arguments, int silenced,
                            bool searchPath) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, silenced, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed = searchPath ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                            : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

bool run(const std::vector<std::string>& arguments) {
    pid_t pid = spawnSilencing(arguments, 1, true);
    if (pid < 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool available(const std::string& program) {
    return run({"sh", "-c", "command -v " + program + " >/dev/null"});
}

std::string textContent(std::size_t length, std::uint32_t seed) {
    static const char* words[] = {
        "local ",  "function ", "end\n",    "self:",    "frame ", "if ",       "then ",
        "return ", "nil ",      "Show()\n", "Hide()\n", "= ",     "UIParent ", "for i = 1, 10 do\n",
        "-- ",     "Mirelgan "};
    std::string content;
    content.reserve(length + 32);
    std::uint32_t state = seed * 2654435761u + 12345;
    while (content.size() < length) {
        state = state * 1664525u + 1013904223u;
        content += words[(state >> 20) % 16];
        if ((state >> 8) % 7 == 0)
            content += std::to_string(state % 1000);
    }
    content.resize(length);
    return content;
}

void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* file = ::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

long peakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long gameFilesOpened() {
    return relativeOpens;
}

void print(const std::string& label, const std::string& figure) {
    std::printf("  %-58s %s\n", label.c_str(), figure.c_str());
    std::fflush(stdout);
}

std::string figure(const char* format, ...) {
    char text[128];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

} // namespace bench

namespace bench {

Distribution makeDistribution(const std::string& directory, int files, std::size_t averageSize) {
    Distribution made;
    std::size_t listBytes = 2; // the end line
    for (int i = 0; i < files; ++i) {
        std::size_t size = averageSize / 2 + (static_cast<std::size_t>(i) * 7919) % averageSize;
        std::string path = "Interface/AddOns/A" + std::to_string(i / 100) + "/F" +
                           std::to_string(i % 100) + ".lua";
        std::size_t entry = path.size() + 2 * std::to_string(size).size() + 3 + 33;
        if (listBytes + entry > patchListMax)
            break;
        listBytes += entry;
        std::string content = textContent(size, static_cast<std::uint32_t>(i));
        writeFile(directory + "/" + path, content);
        ++made.files;
        made.bytes += content.size();
        made.largest = std::max(made.largest, content.size());
    }
    return made;
}

pid_t spawnQuietly(const std::vector<std::string>& arguments) {
    return spawnSilencing(arguments, 2, false);
}

} // namespace bench
