// Holding back a TCP connection's writes while more follow at once.
//
// Each WebSocket message is a write of its own. A tab that has fallen behind
// has many waiting, and with Nagle's algorithm off each would leave as a
// segment of its own, through the whole of the kernel's send path (and, on
// loopback, the receiver's). Held back, they are only copied into the
// connection's queue, and leave together, in full segments, when released.
// Linux holds them (TCP_CORK); elsewhere every write leaves as it is made.
#pragma once

#include <cstdint>

namespace conf::web {

// `socket` is the connection's native handle. Releasing sends at once what
// was held.
void hold_tcp_writes(std::uintptr_t socket, bool hold);

}  // namespace conf::web
