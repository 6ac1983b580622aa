#pragma once

// Content for tests and benchmarks: texts and bytes that compress as wanted, their zlib streams
// and their digests.

#include <cstdint>
#include <string>

// The zlib stream that zlib's compress makes of `plain`.
std::string deflated(const std::string& plain);
// The lower-case hex MD5 digest of `text`.
std::string md5Of(const std::string& text);
// The zlib stream of `plain` made of stored (uncompressed) blocks, whose length follows the plain
// length exactly: plain bytes plus the stream's framing.
std::string storedDeflated(const std::string& plain);
// Bytes that do not compress at all, without line feeds; the same `seed` gives the same bytes.
std::string noise(std::size_t length, unsigned seed);
// Letters that do not compress much, so that compressed sizes stay close to the plain ones; the
// same `seed` gives the same text.
std::string letters(std::size_t length, unsigned seed);
