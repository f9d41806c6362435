// Address helpers that need no system call: byte order is computed here so
// that this file builds the same everywhere.
#include "udp.h"

namespace conf::net {
namespace {

// Network order is big-endian; storing the bytes one by one gives the right
// in-memory layout whatever the host's own order is.
std::uint16_t to_network16(std::uint16_t value) {
    std::uint16_t result;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&result);
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value);
    return result;
}

std::uint32_t to_network32(std::uint32_t value) {
    std::uint32_t result;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&result);
    bytes[0] = static_cast<std::uint8_t>(value >> 24);
    bytes[1] = static_cast<std::uint8_t>(value >> 16);
    bytes[2] = static_cast<std::uint8_t>(value >> 8);
    bytes[3] = static_cast<std::uint8_t>(value);
    return result;
}

}  // namespace

SocketAddress make_address(std::uint32_t address_host_order, std::uint16_t port_host_order) {
    SocketAddress address;
    address.family = kAddressFamilyInet;
    address.port_be = to_network16(port_host_order);
    address.address_be = to_network32(address_host_order);
    return address;
}

SocketAddress loopback_address(std::uint16_t port_host_order) {
    return make_address(0x7F000001u, port_host_order);
}

std::uint16_t port_of(const SocketAddress& address) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address.port_be);
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

bool same_endpoint(const SocketAddress& a, const SocketAddress& b) {
    return a.port_be == b.port_be && a.address_be == b.address_be;
}

}  // namespace conf::net
