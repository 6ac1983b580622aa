#pragma once

#include <string>
#include <vector>

// What runs a Windows program: the Wine prefix (empty: whatever the environment gives) and the
// wine program (empty: the first "wine" on the PATH).
struct WineRuntime {
    std::string prefix;
    std::string wine;
};

// Replaces this process by `program` (a path relative to the current directory) with `arguments`
// after its name, each passed on as it is, and WINEPREFIX set to the runtime's prefix when it has
// one. A program this system cannot run by itself is run by wine when `tryWine` is set; with the
// runtime's own wine, a launcher's, it is run by that wine straight away. Returns only when
// nothing could be started, with the reason, worded for the user.
std::string replaceProcess(const std::string& program, const std::vector<std::string>& arguments,
                           bool tryWine, const WineRuntime& runtime = {});
