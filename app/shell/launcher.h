#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Settings;

// The game's argument text: the program's own command-line text, then "-windowed", "-nosound"
// and "-opengl" for the options that are set, separated by single blanks.
std::string gameArgumentText(const std::string& commandLine, const Settings& settings);

// Splits a command-line text at runs of blanks into the arguments a Windows program would see.
std::vector<std::string> splitArguments(const std::string& text);

// Replaces this process by "WoW.exe" from the current directory with the argument text, run by
// wine when it cannot be executed directly and wine is on the PATH. Returns only when no start
// succeeded, with the reason.
std::string startGame(const std::string& argumentText);

// "%d bytes uploaded  -  Done!" with the bytes of the last upload, or "Done!" when none.
std::string closingStatusLine(std::int32_t bytesUploaded);

// The end-of-pass step: starts the game when "Auto Run WoW" is on and no configuration dialog is
// open (no return when it starts); otherwise gives the closing status line.
std::string endOfPassStep(const Settings& settings, const std::string& commandLine);
