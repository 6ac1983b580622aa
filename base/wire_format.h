#pragma once

#include <cstddef>
#include <cstdint>

// What both ends of the service's protocol agree on: its port and its limits. The client and the
// reference server take them from here.

inline constexpr std::uint16_t defaultServerPort = 8087;
// A login request fits in 512 bytes; the first line of the reply is read within as many.
inline constexpr std::size_t loginAreaSize = 512;
// The longest distribution line kept, and the most a whole list may hold.
inline constexpr std::size_t distributionLineMax = 511;
inline constexpr std::size_t distributionListMax = 100000;
inline constexpr std::size_t patchListMax = 100000;
// The largest upload: the client compresses its Zeppelin into 1 MiB.
inline constexpr std::size_t largestUpload = 1 << 20;
