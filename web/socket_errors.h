// System error codes that the gateway must tell apart on every platform.
#pragma once

namespace conf::web {

// True when a receive or send on a connected UDP socket failed because an
// ICMP port-unreachable came back: nothing listens at the relay's port.
// Each platform (and Wine) has codes of its own for it.
bool means_port_unreachable(int system_error);

}  // namespace conf::web
