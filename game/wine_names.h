#pragma once

#include <optional>
#include <string>

// File names compared as Wine compares them when a Windows program opens a file: ignoring case
// by Unicode's simple upper-case mapping of each UTF-16 unit ("Wörld" is "WÖRLD", "σ" is "Σ"),
// never normalised. Bytes that are no UTF-8 compare as they are.

bool sameWineName(const std::string& a, const std::string& b);

// The entry of `directory` named `name` as Wine finds it: that very name when it exists, else
// the first entry in sorted order that Wine takes for it. Nothing when there is none.
std::optional<std::string> wineNameIn(const std::string& directory, const std::string& name);

// An absolute path with every component that does not exist as written replaced by the entry
// that Wine takes for it; nothing when a component has none.
std::optional<std::string> winePath(const std::string& path);
