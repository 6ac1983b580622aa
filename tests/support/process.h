#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
    int exitCode = -1; // -1 when killed by a signal
    std::string out;
    std::string err;
};

// Runs a program in `directory` with extra environment variables (an empty value unsets one),
// feeds `input` to its standard input and collects its output. Killed after 60 seconds.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         const std::string& input = "");
