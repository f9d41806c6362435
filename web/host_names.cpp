#include "host_names.h"

#include <utility>

namespace conf::web {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool all_digits(std::string_view text) {
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return !text.empty();
}

// Four decimal numbers of 0 to 255 between dots, as browsers write an
// address in Host whatever form it was typed in.
bool is_ipv4_address(std::string_view host) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = host.find('.');
        if ((dot == std::string_view::npos) != (part == 3)) return false;
        const std::string_view number = host.substr(0, dot);
        if (!all_digits(number) || number.size() > 3 || std::stoi(std::string(number)) > 255) return false;
        host = dot == std::string_view::npos ? std::string_view() : host.substr(dot + 1);
    }
    return true;
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
    if (is_ipv4_address(host)) return true;
    for (const std::string& name : names_)
        if (equal_ignoring_case(host, name)) return true;
    return false;
}

}  // namespace conf::web
