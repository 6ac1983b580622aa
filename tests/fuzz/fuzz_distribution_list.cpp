// A distribution list from a hostile server, cut anywhere between two receives: the entries and
// the version do not depend on the cut, no line is longer than its area, and the reader never
// takes more than the list's bound.

#include "net/protocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Read {
    std::vector<std::string> lines;
    bool complete = false;
    bool ended = false;
    bool tooLong = false;
    std::int32_t version = 0;
};

Read readInPieces(const char* bytes, std::size_t size, std::size_t cut) {
    Read read;
    DistributionListReader reader;
    auto onEntry = [&](const std::string& line) { read.lines.push_back(line); };
    if (!reader.feed(bytes, cut, onEntry))
        reader.feed(bytes + cut, size - cut, onEntry);
    read.complete = reader.complete();
    read.ended = reader.ended();
    read.tooLong = reader.tooLong();
    read.version = reader.version();
    return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::size_t cut = data[0] % size;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    Read whole = readInPieces(bytes, size - 1, size - 1);
    Read pieces = readInPieces(bytes, size - 1, std::min(cut, size - 1));
    if (whole.tooLong != pieces.tooLong)
        std::abort();
    if (whole.tooLong)
        return 0; // a list over the bound is refused, wherever it was cut
    if (whole.lines != pieces.lines || whole.ended != pieces.ended ||
        whole.complete != pieces.complete || (whole.ended && whole.version != pieces.version))
        std::abort();
    std::size_t total = 0;
    for (const std::string& line : whole.lines) {
        if (line.size() > distributionLineMax || line.find('\n') != std::string::npos ||
            line == "D")
            std::abort();
        total += line.size() + 1;
    }
    if (whole.version < 0 || total > distributionListMax)
        std::abort();
    return 0;
}
