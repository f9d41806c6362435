#ifndef _WIN32

#include "socket_errors.h"

#include <cerrno>

namespace conf::web {

bool means_port_unreachable(int system_error) { return system_error == ECONNREFUSED; }

}  // namespace conf::web

#endif  // !_WIN32
