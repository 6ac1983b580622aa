#pragma once

#include <string>
#include <utility>
#include <vector>

// Variables to set in a program's environment, in order: a later one of the same name wins.
using EnvironmentChanges = std::vector<std::pair<std::string, std::string>>;

// What runs a Windows program: the Wine prefix, the runner its launcher gives that prefix and the
// launcher's settings for the programs it starts there.
struct WineRuntime {
    std::string prefix; // "" for whatever the environment gives
    std::string wine;   // the launcher's wine or Proton's script; "" for the PATH's wine
    // `wine` is Proton, which Steam has start a program as "proton waitforexitandrun <program>".
    bool proton = false;
    std::vector<std::string> arguments; // the launcher's own arguments for the program, after it
    EnvironmentChanges environment; // the launcher's settings that the program's environment holds
    std::string launcher; // "Lutris <configuration>", "Bottles <name>", "Steam app <id>"; "" none
    std::string missing;  // when the launcher's runner is not installed: which, and where it was
                          // looked for
};

// The first executable "wine" on the PATH, or "".
std::string wineOnPath();

// Replaces this process by `argv` (its program looked for on the PATH when its name holds no
// slash, as a shell does), in this process's environment as it is. Returns only when it could
// not, with the reason, worded for the user; errno tells why.
std::string replaceProcessByCommand(const std::vector<std::string>& argv);

// Replaces this process by `file` with the argument list `argv` (its own name first), each
// passed on as it is, in this process's environment with `changes` made. Returns only when it
// could not, with the reason, worded for the user; errno tells why.
std::string replaceProcess(const std::string& file, const std::vector<std::string>& argv,
                           const EnvironmentChanges& changes = {});
