#include "tests/support/process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

// What the child needs to become the program, made before the fork: after a fork in a program
// with threads, the child may only call what is safe in a signal handler.
class Program {
public:
    Program(const std::vector<std::string>& argv, const std::string& directory,
            const Environment& environment)
        : argv_(argv), directory_(directory), environment_(changedEnvironment(environment)) {
        for (std::string& argument : argv_)
            argvPointers_.push_back(argument.data());
        argvPointers_.push_back(nullptr);
        for (std::string& entry : environment_)
            environmentPointers_.push_back(entry.data());
        environmentPointers_.push_back(nullptr);
    }

    // In the child: enters the directory and becomes the program.
    [[noreturn]] void become() {
        if (::chdir(directory_.c_str()) != 0)
            ::_exit(126);
        ::execve(argvPointers_[0], argvPointers_.data(), environmentPointers_.data());
        ::_exit(127);
    }

private:
    std::vector<std::string> argv_;
    std::string directory_;
    std::vector<std::string> environment_;
    std::vector<char*> argvPointers_;
    std::vector<char*> environmentPointers_;
};

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::vector<std::string> changedEnvironment(const Environment& changes) {
    std::vector<std::string> entries;
    for (char** variable = environ; *variable; ++variable) {
        std::string entry = *variable;
        std::string name = entry.substr(0, entry.find('='));
        if (std::none_of(changes.begin(), changes.end(),
                         [&](const auto& change) { return change.first == name; }))
            entries.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty())
            entries.push_back(name + "=" + value);
    return entries;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& directory,
                         const Environment& environment, const std::string& input) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    Program program(argv, directory, environment);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        program.become();
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
        // The program did not read its input; its output tells the rest.
    }
    ::close(in[1]);

    ProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(streams, 2, 1000) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || !streams[i].revents)
                continue;
            char block[65536];
            ssize_t got = ::read(streams[i].fd, block, sizeof block);
            if (got <= 0) {
                ::close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(block, static_cast<std::size_t>(got));
            }
        }
    }
    if (open > 0)
        ::kill(child, SIGKILL);
    for (pollfd& stream : streams)
        if (stream.fd >= 0)
            ::close(stream.fd);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.exitCode = exitCodeOf(status);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& directory,
                           const Environment& environment) {
    // A file in memory takes the output, so that the program never blocks on a full pipe.
    output_ = ::memfd_create("child-output", MFD_CLOEXEC);
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    Program program(argv, directory, environment);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(input, 0);
        ::dup2(output_, 1);
        ::dup2(output_, 2);
        program.become();
    }
    ::close(input);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !exitCode_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0)
        ::close(output_);
}

void ChildProcess::signal(int number) {
    if (pid_ > 0 && !exitCode_)
        ::kill(pid_, number);
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitCode_ && pid_ > 0) {
        int status = 0;
        pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_)
            exitCode_ = exitCodeOf(status);
        else if (std::chrono::steady_clock::now() >= deadline)
            break;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exitCode_;
}

std::string ChildProcess::output() const {
    std::string text;
    char block[65536];
    ssize_t got;
    for (off_t at = 0; (got = ::pread(output_, block, sizeof block, at)) > 0; at += got)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}
