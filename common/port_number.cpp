#include "port_number.h"

namespace conf {

bool parse_unsigned_decimal(std::string_view text, std::uint32_t* value) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos == text.size()) return false;
    std::uint64_t result = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
        if (result > 0xFFFFFFFFu) return false;
    }
    *value = static_cast<std::uint32_t>(result);
    return true;
}

bool parse_port(std::string_view text, std::uint16_t* port) {
    std::uint32_t value = 0;
    if (!parse_unsigned_decimal(text, &value) || value == 0 || value > 65535) return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace conf
