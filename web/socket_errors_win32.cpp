#ifdef _WIN32

#include "socket_errors.h"

#include <winsock2.h>

namespace conf::web {

// Windows reports it as WSAECONNRESET to recv and as ERROR_PORT_UNREACHABLE
// to an overlapped receive; Wine as ERROR_CONNECTION_REFUSED.
bool means_port_unreachable(int system_error) {
    switch (system_error) {
    case WSAECONNRESET:
    case WSAECONNREFUSED:
    case ERROR_PORT_UNREACHABLE:
    case ERROR_CONNECTION_REFUSED:
        return true;
    default:
        return false;
    }
}

}  // namespace conf::web

#endif  // _WIN32
