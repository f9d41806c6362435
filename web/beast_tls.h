// Beast's TLS stream over the gateway's TCP stream, for builds with OpenSSL.
#pragma once

#include "beast.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace conf::web {

namespace ssl = asio::ssl;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <>
struct StreamKind<TlsStream> {
    static constexpr bool secure = true;
    static constexpr std::string_view scheme = "https";
};

}  // namespace conf::web
