#include "game/windows_program.h"

#include "base/fs.h"
#include "game/config_files.h"

#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

namespace {

std::uint32_t littleEndian(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

constexpr std::uint32_t machineI386 = 0x014C;
constexpr std::uint32_t machineAmd64 = 0x8664;

// Where a wine installation keeps its Windows-side libraries, by architecture: the layouts of
// Wine's own install, of 64-bit distributions (lib64, lib32) and of Debian's multiarch.
constexpr const char* x86Libraries[] = {"/lib/wine/i386-windows", "/lib32/wine/i386-windows",
                                        "/lib/i386-linux-gnu/wine/i386-windows"};
constexpr const char* x64Libraries[] = {"/lib/wine/x86_64-windows", "/lib64/wine/x86_64-windows",
                                        "/lib/x86_64-linux-gnu/wine/x86_64-windows"};

bool anyDirectory(const std::string& root, const auto& places) {
    for (const char* place : places)
        if (isDirectory(root + place))
            return true;
    return false;
}

} // namespace

ProgramMachine programMachine(const std::string& path) {
    // Only a regular file is read: a FIFO put there never blocks the start.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return ProgramMachine::notWindows;
    UniqueFile file = openForReading(path);
    unsigned char header[64];
    std::size_t read = file ? std::fread(header, 1, sizeof header, file.get()) : 0;
    if (read < 2 || header[0] != 'M' || header[1] != 'Z')
        return ProgramMachine::notWindows;
    // The DOS header's last field is where the PE header starts: "PE\0\0", then the machine.
    unsigned char pe[6];
    if (read < sizeof header)
        return ProgramMachine::windows;
    std::uint32_t at = littleEndian(header + 0x3C, 4);
    if (at > (1u << 24) || std::fseek(file.get(), static_cast<long>(at), SEEK_SET) != 0 ||
        std::fread(pe, 1, sizeof pe, file.get()) != sizeof pe || pe[0] != 'P' || pe[1] != 'E' ||
        pe[2] != 0 || pe[3] != 0)
        return ProgramMachine::windows;
    switch (littleEndian(pe + 4, 2)) {
    case machineI386:
        return ProgramMachine::x86;
    case machineAmd64:
        return ProgramMachine::x64;
    default:
        return ProgramMachine::windows;
    }
}

WineArchitectures wineArchitectures(const std::string& wine) {
    const std::string program = realPath(wine);
    const std::string root = parentDirectory(parentDirectory(program));
    WineArchitectures offered;
    offered.x86 = anyDirectory(root, x86Libraries);
    // A wine64 is the 64-bit loader, whatever lies beside it.
    offered.x64 = anyDirectory(root, x64Libraries) || program.ends_with("/wine64") ||
                  wine.ends_with("/wine64");
    offered.known = offered.x86 || offered.x64;
    return offered;
}

std::string whyWineCannotRun(const std::string& wine, const std::string& program) {
    ProgramMachine machine = programMachine(program);
    if (machine != ProgramMachine::x86 && machine != ProgramMachine::x64)
        return {};
    WineArchitectures offered = wineArchitectures(wine);
    const std::string root = parentDirectory(parentDirectory(realPath(wine)));
    if (offered.known && machine == ProgramMachine::x86 && !offered.x86)
        return program + " is a 32-bit Windows program, and the wine " + wine +
               " has no 32-bit support (no lib/wine/i386-windows in " + root + ")";
    if (offered.known && machine == ProgramMachine::x64 && !offered.x64)
        return program + " is a 64-bit Windows program, and the wine " + wine +
               " has only 32-bit support (no lib/wine/x86_64-windows in " + root + ")";
    return {};
}
