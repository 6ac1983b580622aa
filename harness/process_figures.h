#pragma once

#include <string>
#include <sys/types.h>

// What /proc tells of another process, for the tests and benchmarks that watch a program run.

// A value of its status in KiB ("VmHWM" is its peak resident memory so far); -1 once it has
// ended.
long processStatusKiB(pid_t pid, const std::string& name);
// The processor time it has used so far, in seconds.
double processCpuSeconds(pid_t pid);
