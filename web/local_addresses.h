// This machine's IPv4 addresses, for the addresses a browser can open.
#pragma once

#include <string>
#include <vector>

namespace conf::web {

// Dotted addresses of the interfaces that are up, loopback included.
std::vector<std::string> local_ipv4_addresses();

}  // namespace conf::web
