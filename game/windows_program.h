#pragma once

#include <string>

// Which processor a program file is built for, told by its headers.
enum class ProgramMachine {
    notWindows, // no "MZ" at its start: a program this system may run by itself
    windows,    // a Windows (or DOS) program whose PE header names no machine we know
    x86,        // a 32-bit Windows program
    x64,        // a 64-bit Windows program
};

// notWindows when the file cannot be read, or is no regular file.
ProgramMachine programMachine(const std::string& path);

// The Windows programs that a wine installation offers to run, told by the libraries installed
// beside it. `known` is false when its layout tells nothing.
struct WineArchitectures {
    bool known = false;
    bool x86 = false;
    bool x64 = false;
};

WineArchitectures wineArchitectures(const std::string& wine);

// Why `wine` cannot run the program `program`: a 32-bit program with a wine that has no 32-bit
// support, or a 64-bit one with a wine that has only that. "" when nothing speaks against it.
std::string whyWineCannotRun(const std::string& wine, const std::string& program);
