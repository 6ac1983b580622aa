#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

using Environment = std::vector<std::pair<std::string, std::string>>;

// This process's environment with the changes made (an empty value unsets a variable), each
// entry "NAME=value" as execve takes it.
std::vector<std::string> changedEnvironment(const Environment& changes);

struct ProcessResult {
    int exitCode = -1; // -1 when killed by a signal
    std::string out;
    std::string err;
};

// Runs a program in `directory` with extra environment variables (an empty value unsets one),
// feeds `input` to its standard input and collects its output. Killed after 60 seconds.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         const Environment& environment, const std::string& input = "");

// A program running in the background, its standard input empty and its standard output and
// error collected together. Killed when it is destroyed while it still runs.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& directory,
                 const Environment& environment);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    void signal(int number);
    // Waits at most `limit` for the end: the exit code, -1 for the end by a signal, nothing when
    // it still runs.
    std::optional<int> waitFor(std::chrono::milliseconds limit);
    std::string output() const;

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::optional<int> exitCode_;
};
