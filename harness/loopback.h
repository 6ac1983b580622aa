#pragma once

#include <cstdint>
#include <utility>

// Sockets on 127.0.0.1 for the peers and servers that tests and benchmarks stand up.

// A socket listening on 127.0.0.1 at a port of the system's choosing, and that port; the socket
// is -1 when none could be made.
std::pair<int, std::uint16_t> loopbackListener(int backlog = 4);
// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
std::uint16_t freeLoopbackPort();
