#pragma once

#include "tools/server/reference_server.h"

#include <string>
#include <utility>
#include <vector>

// The options of pelvar-server, by name: the same names serve as long options on the command line
// (--max-sessions 100) and as keys of its configuration file (max-sessions = 100).
using Setting = std::pair<std::string, std::string>; // name, value

struct ServerSettings {
    std::string configFile;
    std::vector<Setting> commandLine; // in order, after the configuration file's
};

// Parses the command line into `settings` and the root; false with `error` on misuse. `--help`
// and `--version` are left to the caller.
bool parseCommandLine(int argc, char** argv, ServerSettings& settings, std::string& root,
                      std::string& error);
// Reads a configuration file of "name = value" lines; blank lines and lines starting with '#'
// are skipped.
bool readConfigFile(const std::string& path, std::vector<Setting>& settings, std::string& error);
// Applies one setting; false with `error` for an unknown name or a bad value.
bool applySetting(ServerOptions& options, const Setting& setting, std::string& error);
// The options for `settings`: the defaults, then the configuration file, then the command line.
bool resolveOptions(const ServerSettings& settings, const std::string& root, ServerOptions& options,
                    std::string& error);
// Copies into `running` the options that a running server takes on SIGHUP; names in `ignored`
// those that differ but only change on a restart.
void applyChangeable(const ServerOptions& wanted, ServerOptions& running,
                     std::vector<std::string>& ignored);

extern const char serverUsage[];
