#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Small helpers for the benchmarks: timing, running other programs, making file trees.
namespace bench {

double seconds(const std::function<void()>& work);
// The best of `rounds` runs, which is the least disturbed by the rest of the machine.
double bestOf(int rounds, const std::function<void()>& work);
// Runs a program (searched on PATH) with its output thrown away; false when it failed.
bool run(const std::vector<std::string>& arguments);
bool available(const std::string& program);

// Deterministic content that compresses like text: words of letters and blanks, lines.
std::string textContent(std::size_t length, std::uint32_t seed);
void writeFile(const std::string& path, const std::string& content);

// As many files as one patch list can name (it holds at most 100,000 bytes), up to `files`, under
// `directory`: text of averageSize / 2 to averageSize * 1.5 bytes each.
struct Distribution {
    std::size_t files = 0;
    std::size_t bytes = 0;
    std::size_t largest = 0;
};
Distribution makeDistribution(const std::string& directory, int files, std::size_t averageSize);

// Starts a program (a path) with its standard error thrown away; -1 when it cannot start.
pid_t spawnQuietly(const std::vector<std::string>& arguments);

// Peak resident memory of this process so far, in KiB.
long peakResidentKiB();
// Number of fopen calls on relative paths (game files) since the program started.
long gameFilesOpened();

void print(const std::string& label, const std::string& figure);
std::string figure(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace bench
