// pelvar-bench [NAME...]: runs the benchmarks (all by default) and prints their figures.

#include "base/diagnostic.h"
#include "bench/benchmarks.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/utsname.h>
#include <thread>

int main(int argc, char** argv) {
    std::map<std::string, std::function<void(const std::string&)>> benchmarks = {
        {"md5", benchMd5},           {"check", benchCheck},   {"pass", benchPass},
        {"download", benchDownload}, {"upload", benchUpload}, {"server", benchServer},
    };
    std::vector<std::string> chosen(argv + 1, argv + argc);
    if (chosen.empty())
        for (const auto& [name, run] : benchmarks)
            chosen.push_back(name);

    const char* base = std::getenv("TMPDIR");
    std::string work = std::string(base && *base ? base : "/tmp") + "/pelvar-bench-XXXXXX";
    if (!::mkdtemp(work.data()))
        return 1;
    // The worker's trace lines would only clutter the figures.
    setDiagnosticStream(std::fopen("/dev/null", "w"));
    utsname machine{};
    ::uname(&machine);
    std::printf("pelvar-bench on %s %s, %u cores\n\n", machine.sysname, machine.machine,
                std::thread::hardware_concurrency());
    int status = 0;
    for (const std::string& name : chosen) {
        auto found = benchmarks.find(name);
        if (found == benchmarks.end()) {
            std::fprintf(stderr, "pelvar-bench: no benchmark named %s\n", name.c_str());
            status = 2;
            continue;
        }
        found->second(work);
        std::printf("\n");
    }
    std::filesystem::remove_all(work);
    return status;
}
