#include "address_text.h"

#include <cstdio>

namespace conf::net {

std::string address_text(const SocketAddress& address) {
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&address.address_be);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    return text;
}

std::string endpoint_text(const SocketAddress& address) {
    return address_text(address) + ':' + std::to_string(port_of(address));
}

bool parse_ipv4(std::string_view text, std::uint32_t* address_host_order) {
    std::uint32_t value = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        const std::size_t start = pos;
        unsigned octet = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            octet = octet * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        const std::size_t digits = pos - start;
        if (digits == 0 || octet > 255 || (digits > 1 && text[start] == '0')) return false;
        value = value << 8 | octet;
    }
    if (pos != text.size()) return false;
    *address_host_order = value;
    return true;
}

}  // namespace conf::net
