#pragma once

#include <optional>
#include <string>
#include <vector>

// The game's installation directory, found as start-up does: the current directory when it
// holds "WoW.exe", else the InstallPath of the game's registry key. Under Wine that key lives in
// the prefix's system.reg, and Windows paths map through the prefix's dosdevices.

inline constexpr char gameKey[] = "Software\\Blizzard Entertainment\\World of Warcraft";
inline constexpr char gameKey64[] =
    "Software\\Wow6432Node\\Blizzard Entertainment\\World of Warcraft";

// $WINEPREFIX, else ~/.wine.
std::string winePrefix();

// The "InstallPath" value of the game's key (either key of a 64-bit prefix) in the text of a
// Wine registry file, with Wine's escapes undone; nothing when it is not there.
std::optional<std::string> installPathFromRegistry(const std::string& registryText);
// The same, read from the prefix's system.reg.
std::optional<std::string> readInstallPath(const std::string& prefix);

// The text before the last backslash ("C:\Games\WoW\" gives "C:\Games\WoW"); the whole text
// when it holds none.
std::string cutAtLastBackslash(const std::string& windowsPath);

// A Windows path such as "D:\WoW" as a path of this system: the drive through the prefix's
// dosdevices link, each further component matched ignoring case, as Wine does. Nothing when a
// part cannot be found.
std::optional<std::string> unixPathOf(const std::string& prefix, const std::string& windowsPath);

enum class GameSearch {
    here,      // "WoW.exe" is in the current directory
    installed, // the current directory is now the one InstallPath names, holding "WoW.exe"
    notFound,
};

// Steps of start-up up to the hand-over: stays when "WoW.exe" is here, else changes to the
// directory of InstallPath (a failure is ignored) and tells whether "WoW.exe" is there.
GameSearch findGame(const std::string& prefix);

// Start-up's search for the game: findGame, then, when the program was started outside the game
// directory and a copy of it, "Pelvar.exe", is kept there, the hand-over to that copy with the
// program's own arguments, each as it was given (no return when it starts).
GameSearch findGameOrHandOver(const std::string& prefix, const std::vector<std::string>& arguments);
