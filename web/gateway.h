// The gateway's network side: the page over HTTP or HTTPS, the tabs over WebSocket and
// each joined tab's UDP socket to the relay, on one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace conf::web {

class TlsContext;

struct GatewayOptions {
    std::string relay_host;
    std::uint16_t relay_port = 0;
    std::string listen_address = "0.0.0.0";  // an IPv4 address
    std::uint16_t listen_port = 8080;        // 0 picks a free port
    // Names the page may be opened under beside this machine's own.
    std::vector<std::string> allowed_hosts;
    // A joined tab that has not sent its first line within this time leaves.
    std::uint32_t enter_seconds = 600;
    // A participant whose connection dropped may be resumed for this long
    // (0: it leaves at once).
    std::uint32_t resume_seconds = 120;
    // Set: the page and its WebSocket are served over TLS only.
    std::shared_ptr<TlsContext> tls;
};

// Serves until SIGINT or SIGTERM; returns the program's exit status.
int run_gateway(const GatewayOptions& options);

}  // namespace conf::web
