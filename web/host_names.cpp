#include "host_names.h"

#include <cstdint>
#include <utility>

#include "address_text.h"
#include "ascii_case.h"

namespace conf::web {
namespace {

bool all_digits(std::string_view text) {
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

}  // namespace

HostNames::HostNames(std::vector<std::string> names) : names_(std::move(names)) { names_.emplace_back("localhost"); }

bool HostNames::allows(std::string_view host) const {
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        if (!all_digits(host.substr(colon + 1))) return false;
        host = host.substr(0, colon);
    }
    // "name." is the same name, fully qualified.
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (host.empty()) return false;
    std::uint32_t address;
    if (net::parse_ipv4(host, &address)) return true;
    for (const std::string& name : names_)
        if (equal_ignoring_ascii_case(host, name)) return true;
    return false;
}

}  // namespace conf::web
