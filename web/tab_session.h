// A tab's WebSocket connection, from the upgrade on.
#pragma once

#include <memory>
#include <string>

#include "beast.h"
#include "hub.h"

namespace conf::web {

// `connection_place` and `tab_place` are the places of the remote address
// that the connection holds until it ends.
void start_tab_session(tcp::socket&& socket, http::request<http::string_body> upgrade, std::shared_ptr<Hub> hub,
                       std::string peer, std::uint32_t address, AddressPlace connection_place, AddressPlace tab_place);

}  // namespace conf::web
