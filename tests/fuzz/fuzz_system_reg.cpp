// A Wine registry file that is not what it should be: reading the game's InstallPath out of it
// never crashes, and whatever it gives is text found in the file.

#include "game/game_location.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (const std::string& path : installPathsFromRegistry(text)) {
        if (path.size() > 4 * text.size())
            std::abort();
        cutAtLastBackslash(path);
    }
    return 0;
}
