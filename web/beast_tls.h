// Beast's TLS stream over the gateway's TCP stream, for builds with OpenSSL.
#pragma once

#include "beast.h"

#include "library_headers_begin.h"
#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include "library_headers_end.h"

namespace conf::web {

namespace ssl = asio::ssl;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <>
struct StreamKind<TlsStream> {
    static constexpr bool secure = true;
    static constexpr std::string_view scheme = "https";
};

}  // namespace conf::web
