// Boost.Beast and Asio as the gateway uses them.
#pragma once

#include "library_headers_begin.h"
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include "library_headers_end.h"

#include <string_view>

namespace conf::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using udp = asio::ip::udp;
using error_code = boost::system::error_code;

// Beast 1.74 has a string_view of its own.
inline std::string_view std_view(beast::string_view text) { return {text.data(), text.size()}; }

// What a session needs to know of the stream under it: plain TCP here, TLS
// over TCP in beast_tls.h.
template <class Stream>
struct StreamKind;

template <>
struct StreamKind<beast::tcp_stream> {
    static constexpr bool secure = false;
    static constexpr std::string_view scheme = "http";
};

}  // namespace conf::web
