#ifdef _WIN32

#include "tcp_hold.h"

namespace conf::web {

// Windows has no way to hold a connection's segments back and release them
// at will (turning Nagle's algorithm on would delay the last message too).
void hold_tcp_writes(std::uintptr_t, bool) {}

}  // namespace conf::web

#endif  // _WIN32
