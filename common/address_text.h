// IPv4 addresses as people read and write them: "192.168.1.10" and
// "192.168.1.10:40000". The state file, the transcript and the gateway's
// Host check all use these forms, so they are written and read in one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "udp.h"

namespace conf::net {

std::string address_text(const SocketAddress& address);
std::string endpoint_text(const SocketAddress& address);

// Only the form address_text writes: four decimal numbers of 0 to 255 between
// dots, without leading zeros or anything else. A browser writes an address
// in Host this way whatever form it was typed in.
bool parse_ipv4(std::string_view text, std::uint32_t* address_host_order);

}  // namespace conf::net
