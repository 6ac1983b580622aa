// A patch list from a hostile server: whatever it holds, every entry the client accepts names a
// file inside the game directory, and splitting never keeps a backslash.

#include "net/protocol.h"
#include "patcher/patch_list.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> lines =
        splitPatchList(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const std::string& line : lines)
        if (line.find('\\') != std::string::npos || line == "D")
            std::abort();
    std::optional<std::vector<PatchEntry>> entries = parsePatchEntries(lines);
    if (!entries)
        return 0;
    const std::filesystem::path game = "/game";
    for (const PatchEntry& entry : *entries) {
        std::string inside = (game / entry.path).lexically_normal().string();
        if (inside.rfind("/game/", 0) != 0 || inside.size() <= 6 ||
            entry.path.find('\0') != std::string::npos)
            std::abort();
        if (entry.uncompressedSize < 0 || entry.compressedSize < 0 ||
            entry.expectedDigest.size() != 32)
            std::abort();
    }
    return 0;
}
