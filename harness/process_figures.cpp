#include "harness/process_figures.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

long processStatusKiB(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    return -1;
}

double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::size_t fieldsStart = text.rfind(')');
    if (fieldsStart == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(fieldsStart + 2));
    std::string field;
    long ticks = 0;
    // utime and stime are the 14th and 15th fields.
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
