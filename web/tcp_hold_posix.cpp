#ifndef _WIN32

#include "tcp_hold.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace conf::web {

void hold_tcp_writes(std::uintptr_t socket, bool hold) {
#ifdef TCP_CORK
    const int value = hold ? 1 : 0;
    // A failure only costs speed: the writes leave one by one.
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
#else
    static_cast<void>(socket);
    static_cast<void>(hold);
#endif
}

}  // namespace conf::web

#endif  // !_WIN32
