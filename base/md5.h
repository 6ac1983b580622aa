#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// The MD5 message digest of RFC 1321: feed bytes with update, close with finalize, read the
// result with hex_digest.
class MD5 {
public:
    MD5();
    // Digests the whole of a newly opened file (nothing read from it yet) in blocks of 1,024
    // bytes, and closes it.
    explicit MD5(std::FILE* file);

    void update(const unsigned char* input, std::uint32_t length);
    // Reads the open file to its end in blocks of 1,024 bytes, then closes it. A read error ends
    // the reading like the end of the file.
    void update(std::FILE* file);
    void finalize();
    // 32 lower-case hexadecimal digits; "" before finalize.
    std::string hex_digest() const;

private:
    void init();
    void transform(const unsigned char* block);

    std::uint32_t state[4];
    std::uint32_t count[2]; // bits processed, low word first
    unsigned char buffer[64];
    unsigned char digest[16];
    unsigned char finalized;
};

// The digest of `bytes` in hex, as hex_digest gives it.
std::string md5Hex(std::string_view bytes);
