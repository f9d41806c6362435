// The sessions a connection goes through, over plain TCP or over TLS: an
// HTTP session that serves the page's files and checks an upgrade, then a
// tab's WebSocket session. Each is instantiated for both streams in its own
// source file.
#pragma once

#include <memory>
#include <string>

#include "beast.h"
#include "hub.h"

namespace conf::web {

// `buffer` holds what was read from the connection before it (while telling
// TLS from plain HTTP); `place` is the remote address's connection place,
// held until the connection ends. On a gateway that serves TLS, a session
// over plain TCP answers every request with the way to https://.
template <class Stream>
void start_http_session(Stream&& stream, beast::flat_buffer&& buffer, std::shared_ptr<Hub> hub,
                        const tcp::endpoint& remote, AddressPlace place);

// `connection_place` and `tab_place` are the places of the remote address
// that the connection holds until it ends.
template <class Stream>
void start_tab_session(Stream&& stream, http::request<http::string_body> upgrade, std::shared_ptr<Hub> hub,
                       std::string peer, std::uint32_t address, AddressPlace connection_place, AddressPlace tab_place);

}  // namespace conf::web
