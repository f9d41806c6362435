// The socket layer's address in and out of the POSIX sockaddr_in, for the
// files that call the system themselves (the socket layer and the relay's
// batched loop).
#pragma once
#ifndef _WIN32

#include <netinet/in.h>
#include <sys/socket.h>

#include "udp.h"

namespace conf::net {

inline sockaddr_in to_native(const SocketAddress& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.port_be;
    native.sin_addr.s_addr = address.address_be;
    return native;
}

inline SocketAddress from_native(const sockaddr_in& native) {
    SocketAddress address;
    address.family = static_cast<std::uint16_t>(native.sin_family);
    address.port_be = native.sin_port;
    address.address_be = native.sin_addr.s_addr;
    return address;
}

}  // namespace conf::net

#endif
