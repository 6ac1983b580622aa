// A SavedVariables.lua of any content: the harvest conserves its bytes. The copy and the table
// are each made of the file's pieces in order and together are exactly as long as the file;
// when the table does not fit, no copy is left behind.

#include "uploader/harvest.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string directory() {
    static std::string path = [] {
        char name[] = "/tmp/pelvar-fuzz-harvest-XXXXXX";
        if (!::mkdtemp(name))
            std::abort();
        return std::string(name);
    }();
    return path;
}

std::string readAll(const std::string& path) {
    std::string content;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char block[65536];
        std::size_t got;
        while ((got = std::fread(block, 1, sizeof block, file)) > 0)
            content.append(block, got);
        std::fclose(file);
    }
    return content;
}

// True when `part` is a subsequence of `whole`.
bool within(const std::string& part, const std::string& whole) {
    std::size_t at = 0;
    for (char c : part) {
        at = whole.find(c, at);
        if (at == std::string::npos)
            return false;
        ++at;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    std::size_t room = (std::size_t(data[0]) << 8 | data[1]) % 4096;
    std::string original(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string path = directory() + "/SavedVariables.lua";
    std::string copy = path + ".new";
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(original.data(), 1, original.size(), file);
        std::fclose(file);
    }
    std::vector<char> area(room);
    SplitOutcome outcome = splitSavedVariables(path, copy, area);
    if (outcome.result == SplitResult::tooBig) {
        if (::access(copy.c_str(), F_OK) == 0)
            std::abort();
        return 0;
    }
    if (outcome.result != SplitResult::ok || outcome.length > room)
        std::abort();
    std::string kept = readAll(copy);
    std::string table(area.data(), outcome.length);
    if (kept.size() + table.size() != original.size() || !within(kept, original) ||
        !within(table, original) || readAll(path) != original)
        std::abort();
    ::unlink(copy.c_str());
    return 0;
}
