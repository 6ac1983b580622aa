#include "base/md5.h"

#include <cstring>
#include <iostream>
#include <memory>

namespace {

constexpr std::size_t fileBlockSize = 1024;
// A large stdio buffer turns the 1,024-byte reads into few system calls.
constexpr std::size_t fileBufferSize = 256 * 1024;

inline std::uint32_t rotateLeft(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline std::uint32_t loadLittleEndian(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline void storeLittleEndian(unsigned char* p, std::uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

// The four auxiliary functions of RFC 1321, in forms with fewer operations.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

#define MD5_STEP(f, a, b, c, d, x, s, ac)                                                          \
    a += f(b, c, d) + (x) + std::uint32_t(ac);                                                     \
    a = rotateLeft(a, s) + b

// G(b, c, d) = (b & d) | (c & ~d), whose two halves never overlap: adding them apart lets the half
// without b, the value of the step before, be computed while b is still under way.
#define MD5_STEP_G(a, b, c, d, x, s, ac)                                                           \
    a += (c & ~d) + (x) + std::uint32_t(ac);                                                       \
    a += b & d;                                                                                    \
    a = rotateLeft(a, s) + b

const unsigned char padding[64] = {0x80};

} // namespace

MD5::MD5() {
    init();
}

MD5::MD5(std::FILE* file) {
    init();
    update(file);
    finalize();
}

void MD5::init() {
    finalized = 0;
    count[0] = count[1] = 0;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    std::memset(buffer, 0, sizeof buffer);
    std::memset(digest, 0, sizeof digest);
}

void MD5::update(const unsigned char* input, std::uint32_t length) {
    if (finalized) {
        std::cerr << "MD5::update:  Can't update a finalized digest!" << std::endl;
        return;
    }
    std::uint32_t index = (count[0] >> 3) & 0x3F;
    if ((count[0] += length << 3) < (length << 3))
        ++count[1];
    count[1] += length >> 29;

    std::uint32_t room = 64 - index;
    std::uint32_t i = 0;
    if (length >= room) {
        std::memcpy(buffer + index, input, room);
        transform(buffer);
        for (i = room; i + 63 < length; i += 64)
            transform(input + i);
        index = 0;
    }
    std::memcpy(buffer + index, input + i, length - i);
}

void MD5::update(std::FILE* file) {
    // One buffer per hashing thread, kept for the next file.
    static thread_local std::unique_ptr<char[]> streamBuffer(new char[fileBufferSize]);
    std::setvbuf(file, streamBuffer.get(), _IOFBF, fileBufferSize);
    unsigned char block[fileBlockSize];
    std::size_t read;
    while ((read = std::fread(block, 1, sizeof block, file)) > 0)
        update(block, static_cast<std::uint32_t>(read));
    std::fclose(file);
}

void MD5::finalize() {
    if (finalized) {
        std::cerr << "MD5::finalize:  Already finalized this digest!" << std::endl;
        return;
    }
    unsigned char bits[8];
    storeLittleEndian(bits, count[0]);
    storeLittleEndian(bits + 4, count[1]);
    std::uint32_t index = (count[0] >> 3) & 0x3F;
    std::uint32_t padLength = index < 56 ? 56 - index : 120 - index;
    update(padding, padLength);
    update(bits, 8);
    for (int i = 0; i < 4; ++i)
        storeLittleEndian(digest + 4 * i, state[i]);
    std::memset(buffer, 0, sizeof buffer);
    finalized = 1;
}

std::string MD5::hex_digest() const {
    if (!finalized) {
        std::cerr << "MD5::hex_digest:  Can't get digest if you haven't "
                  << "finalized the digest!" << std::endl;
        return {};
    }
    static const char hex[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = hex[digest[i] >> 4];
        text[2 * i + 1] = hex[digest[i] & 0x0F];
    }
    return text;
}

void MD5::transform(const unsigned char* block) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = loadLittleEndian(block + 4 * i);

    MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
    MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
    MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db);
    MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
    MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
    MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
    MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
    MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
    MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
    MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
    MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
    MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
    MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
    MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
    MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
    MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

    MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
    MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
    MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
    MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
    MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
    MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
    MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
    MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
    MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
    MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
    MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
    MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
    MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
    MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
    MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
    MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
    MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
    MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
    MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
    MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
    MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
    MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
    MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
    MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
    MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
    MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
    MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
    MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
    MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

    MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
    MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
    MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
    MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
    MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
    MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
    MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
    MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
    MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
    MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
    MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
    MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
    MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
    MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
    MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
    MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

std::string md5Hex(std::string_view bytes) {
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<std::uint32_t>(bytes.size()));
    md5.finalize();
    return md5.hex_digest();
}
