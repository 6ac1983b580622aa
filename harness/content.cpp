#include "harness/content.h"

#include "base/md5.h"

#include <zlib.h>

std::string deflated(const std::string& plain) {
    uLongf length = compressBound(plain.size());
    std::string packed(length, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &length,
             reinterpret_cast<const Bytef*>(plain.data()), plain.size());
    packed.resize(length);
    return packed;
}

std::string storedDeflated(const std::string& plain) {
    uLongf length = compressBound(plain.size());
    std::string packed(length, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
              reinterpret_cast<const Bytef*>(plain.data()), plain.size(), 0);
    packed.resize(length);
    return packed;
}

std::string noise(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    std::uint32_t state = seed * 2654435761u + 7;
    for (char& c : bytes) {
        do {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        } while (c == '\n');
    }
    return bytes;
}

std::string md5Of(const std::string& text) {
    return md5Hex(text);
}

std::string letters(std::size_t length, unsigned seed) {
    std::string content(length, ' ');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : content) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>('a' + (state >> 24) % 26);
    }
    return content;
}
