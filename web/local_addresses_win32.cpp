// Winsock: the addresses this computer's own name resolves to, which is
// every IPv4 address of its adapters, and loopback.
#ifdef _WIN32

#include "local_addresses.h"

#include <algorithm>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace conf::web {

std::vector<std::string> local_ipv4_addresses() {
    std::vector<std::string> addresses{"127.0.0.1"};
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0) return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        sockaddr_in address{};
        std::copy_n(reinterpret_cast<const unsigned char*>(entry->ai_addr), sizeof address,
                    reinterpret_cast<unsigned char*>(&address));
        // inet_ntoa: inet_ntop needs Vista.
        const char* text = ::inet_ntoa(address.sin_addr);
        if (text != nullptr && std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return addresses;
}

}  // namespace conf::web

#endif  // _WIN32
