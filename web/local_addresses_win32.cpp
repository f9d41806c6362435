// Windows: the addresses of every adapter (IP Helper), and loopback.
#ifdef _WIN32

#include "local_addresses.h"

#include <algorithm>
#include <winsock2.h>
#include <iphlpapi.h>

namespace conf::web {

std::vector<std::string> local_ipv4_addresses() {
    std::vector<std::string> addresses{"127.0.0.1"};
    ULONG size = 0;
    if (::GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return addresses;
    std::vector<unsigned char> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (::GetAdaptersInfo(adapters, &size) != NO_ERROR) return addresses;
    for (const IP_ADAPTER_INFO* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        for (const IP_ADDR_STRING* entry = &adapter->IpAddressList; entry != nullptr; entry = entry->Next) {
            const std::string text(entry->IpAddress.String);
            if (text.empty() || text == "0.0.0.0") continue;
            if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.push_back(text);
        }
    }
    return addresses;
}

}  // namespace conf::web

#endif  // _WIN32
