// A TCP connection from its accept until it ends or becomes a tab's
// WebSocket: serves the page's files (over TLS when the gateway has it) and
// checks the upgrade.
#pragma once

#include <memory>

#include "library_headers_begin.h"
#include <boost/asio/ip/tcp.hpp>
#include "library_headers_end.h"

#include "hub.h"

namespace conf::web {

// `place` is the remote address's connection place, held until the
// connection ends.
void start_connection(boost::asio::ip::tcp::socket&& socket, std::shared_ptr<Hub> hub,
                      const boost::asio::ip::tcp::endpoint& remote, AddressPlace place);

// The same on a gateway that serves TLS (tls_openssl.cpp): a TLS handshake
// goes on to the page over HTTPS; anything else is a plain HTTP request,
// answered with the way to the https:// address.
void start_tls_connection(boost::asio::ip::tcp::socket&& socket, std::shared_ptr<Hub> hub,
                          const boost::asio::ip::tcp::endpoint& remote, AddressPlace place);

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace conf::web
