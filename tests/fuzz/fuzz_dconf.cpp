// A dconf database that is not what it should be (a GVDB file read from the user's home):
// looking a key up in it never reads outside its bytes, never loops, and whatever it gives is
// text found in the file.

#include "game/gsettings.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto value = dconfStringIn(bytes, "com/usebottles/bottles", "custom-bottles-path"))
        if (value->size() > size)
            std::abort();
    return 0;
}
