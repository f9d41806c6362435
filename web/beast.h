// Boost.Beast and Asio as the gateway uses them. Two warnings fire inside
// them even as system headers, after inlining; they are switched off for
// these headers only, not for the gateway's own code.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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
