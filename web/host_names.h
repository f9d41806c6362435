// The names under which the gateway answers. A page asked for under another
// name may be a DNS rebinding: a stranger's site whose name was made to lead
// to this machine, and whose script would then be of the same origin as the
// page it was served (Origin and Host agree) and could join the conference
// from a LAN user's browser. An IPv4 address cannot be rebound.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace conf::web {

class HostNames {
public:
    // `names`: this machine's host names (short and fully qualified) and
    // those the operator allowed; "localhost" is always among them.
    explicit HostNames(std::vector<std::string> names);

    // `host` is a Host header: a name or an IPv4 address, and a port.
    bool allows(std::string_view host) const;

private:
    std::vector<std::string> names_;
};

}  // namespace conf::web
