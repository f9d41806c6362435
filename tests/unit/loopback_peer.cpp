#include "loopback_peer.h"

#include <gtest/gtest.h>

namespace conf::testing {

LoopbackPeer::LoopbackPeer() {
    net::startup();
    socket_ = net::open_udp();
    EXPECT_NE(socket_, net::kInvalidSocket);
    EXPECT_TRUE(net::bind_loopback_ephemeral(socket_));
    EXPECT_TRUE(net::local_address(socket_, &address_));
    // A relay's burst to a hundred peers must not be lost before we read it.
    net::set_buffer_sizes(socket_, 1 << 20, 1 << 16);
}

LoopbackPeer::~LoopbackPeer() { net::close_socket(socket_); }

void LoopbackPeer::send(std::string_view bytes, const net::SocketAddress& to) const {
    EXPECT_EQ(net::send_to(socket_, bytes.data(), bytes.size(), to), net::SendStatus::Sent);
}

bool LoopbackPeer::receive(std::string* bytes, int timeout_ms, net::SocketAddress* from) const {
    if (net::wait_readable(socket_, timeout_ms) != net::WaitStatus::Readable) return false;
    char buffer[65536];
    const net::ReceiveResult result = net::receive_from(socket_, buffer, sizeof buffer, from);
    if (result.status != net::ReceiveStatus::Received) return false;
    bytes->assign(buffer, result.length);
    return true;
}

std::vector<std::string> LoopbackPeer::drain(int quiet_ms) const {
    std::vector<std::string> received;
    std::string bytes;
    while (receive(&bytes, quiet_ms)) received.push_back(bytes);
    return received;
}

std::uint16_t unused_loopback_port() {
    net::startup();
    const net::SocketHandle probe = net::open_udp();
    net::SocketAddress address;
    net::bind_loopback_ephemeral(probe);
    net::local_address(probe, &address);
    net::close_socket(probe);
    return net::port_of(address);
}

}  // namespace conf::testing
