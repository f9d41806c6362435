// A test participant: a UDP socket on 127.0.0.1 that sends to and receives
// from a program under test.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "udp.h"

namespace conf::testing {

class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    const net::SocketAddress& address() const { return address_; }
    net::SocketHandle socket() const { return socket_; }

    void send(std::string_view bytes, const net::SocketAddress& to) const;

    // The next datagram, or false when none arrives within `timeout_ms`.
    bool receive(std::string* bytes, int timeout_ms = 2000, net::SocketAddress* from = nullptr) const;
    // Everything that arrives until the line has been quiet for `quiet_ms`.
    std::vector<std::string> drain(int quiet_ms = 50) const;

private:
    net::SocketHandle socket_;
    net::SocketAddress address_;
};

// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t unused_loopback_port();

}  // namespace conf::testing
