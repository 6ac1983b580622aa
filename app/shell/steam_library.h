#pragma once

#include <optional>
#include <string>
#include <vector>

// The library directories listed in the text of Steam's libraryfolders.vdf: the "path" of every
// numbered entry ("0" { "path" "/home/..." }) or, in the file's older form, the numbered values
// themselves ("1" "/mnt/games"). Nothing when the text is not a well-formed key-value file.
std::optional<std::vector<std::string>> steamLibraryPaths(const std::string& vdfText);
