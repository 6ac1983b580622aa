#pragma once

#include <optional>
#include <string>
#include <vector>

// Helpers for reading what launchers keep on disk: their configuration files, their runner
// directories.

// The whole file, or nothing when it cannot be read or is larger than a launcher's configuration
// ever is (1 MiB).
std::optional<std::string> readConfigurationFile(const std::string& path);

// The names in a directory, sorted; empty when it cannot be listed.
std::vector<std::string> namesIn(const std::string& directory);

// The path with every link resolved; the path as given when that fails.
std::string realPath(const std::string& path);

// The directory that holds `path` ("/" for a path right under the root); the last component of
// `path`.
std::string parentDirectory(const std::string& path);
std::string lastComponent(const std::string& path);

// A regular file (or a link to one).
bool isPlainFile(const std::string& path);

// The Wine prefix that holds `directory` (the nearest directory at or above it with system.reg
// and drive_c), if any; resolved.
std::optional<std::string> enclosingPrefix(const std::string& directory);

// The directory an XDG base-directory variable names (only an absolute path counts, as the
// freedesktop.org base directory rules say), else `home` followed by `fallback`.
std::string xdgDirectory(const char* variable, const std::string& home, const char* fallback);

// The first executable `name` in a directory of the PATH, or "".
std::string programOnPath(const std::string& name);

// A regular file that this user may execute.
bool isExecutableFile(const std::string& path);

bool equalIgnoringCase(const std::string& a, const std::string& b);

// True when the name `a` carries a newer version than `b`: the numbers in the names compared in
// turn ("Proton 9.0" is newer than "Proton 8.0-5", "lutris-7.2-2" than "lutris-7.2"); a name
// without numbers ("Proton - Experimental") is older than any with them.
bool newerVersion(const std::string& a, const std::string& b);
