// TLS with OpenSSL: the server's certificate and key, and the first bytes of
// each connection, which tell a TLS handshake from a plain HTTP request.
#include <chrono>
#include <optional>
#include <utility>

#include "library_headers_begin.h"
#include <boost/beast/core/detect_ssl.hpp>
#include "library_headers_end.h"

#include "beast_tls.h"
#include "gateway_log.h"
#include "http_session.h"
#include "sessions.h"
#include "tls.h"

namespace conf::web {

class TlsContext {
public:
    ssl::context context{ssl::context::tls_server};
};

namespace {

// From the accept to the end of the TLS handshake, or to a plain request's
// first bytes: a peer that connects and sends nothing gives its place back
// after this.
constexpr std::chrono::seconds kHandshakeTimeout{10};

// An encrypted key would make OpenSSL ask for its pass phrase on the
// terminal; a service has nobody to answer, so the key is refused instead.
void refuse_pass_phrases(ssl::context& context) {
    context.set_password_callback([](std::size_t, ssl::context::password_purpose) { return std::string(); });
}

class TlsConnection final : public Connection, public std::enable_shared_from_this<TlsConnection> {
public:
    TlsConnection(tcp::socket&& socket, std::shared_ptr<Hub> hub, const tcp::endpoint& remote, AddressPlace place)
        : hub_(std::move(hub)), remote_(remote), place_(std::move(place)), plain_(std::move(socket)) {}

    void start() {
        entry_.emplace(*hub_, this);
        plain_.expires_after(kHandshakeTimeout);
        beast::async_detect_ssl(plain_, buffer_,
                                [self = shared_from_this()](error_code ec, bool tls) { self->on_detect(ec, tls); });
    }

    void stop() override { close(); }

private:
    void on_detect(error_code ec, bool tls) {
        if (ec || !entry_) {
            close();
            return;
        }
        if (!tls) {
            // Anything but TLS is read as HTTP, and gets the way to https://
            // or a plain 400.
            entry_.reset();
            start_http_session(std::move(plain_), std::move(buffer_), hub_, remote_, std::move(place_));
            return;
        }
        secure_.emplace(std::move(plain_), hub_->tls->context);
        secure_->async_handshake(ssl::stream_base::server, buffer_.data(),
                                 [self = shared_from_this()](error_code handshake_ec, std::size_t used) {
                                     self->on_handshake(handshake_ec, used);
                                 });
    }

    void on_handshake(error_code ec, std::size_t used) {
        if (!entry_) return;
        if (ec) {
            // Browsers that do not trust the certificate end here, once per
            // attempt: the log says why, counted per peer.
            if (ec != beast::error::timeout)
                log_peer(remote_.address().to_v4().to_uint(), "TLS handshake failed",
                         endpoint_text(remote_) + ": TLS handshake failed: " + loggable(ec.message()));
            close();
            return;
        }
        buffer_.consume(used);
        entry_.reset();
        start_http_session(std::move(*secure_), std::move(buffer_), hub_, remote_, std::move(place_));
    }

    void close() {
        beast::tcp_stream& stream = secure_ ? beast::get_lowest_layer(*secure_) : plain_;
        error_code ignored;
        stream.socket().close(ignored);
        place_ = AddressPlace();
        entry_.reset();
    }

    std::shared_ptr<Hub> hub_;
    tcp::endpoint remote_;
    AddressPlace place_;
    beast::tcp_stream plain_;
    std::optional<TlsStream> secure_;
    beast::flat_buffer buffer_;
    std::optional<HubEntry> entry_;
};

}  // namespace

bool tls_available() { return true; }

std::shared_ptr<TlsContext> make_tls_context(const std::string& certificate_pem, const std::string& key_pem,
                                             const std::string& certificate_name, const std::string& key_name,
                                             std::string* problem) {
    auto tls = std::make_shared<TlsContext>();
    ssl::context& context = tls->context;
    // TLS 1.2 and later only; each handshake with fresh key agreement.
    context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                        ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    refuse_pass_phrases(context);
    error_code ec;
    context.use_certificate_chain(asio::buffer(certificate_pem), ec);
    if (ec) {
        *problem = certificate_name + ": no PEM certificate in it";
        return nullptr;
    }
    // The key alone first, so that a file that holds no key is told apart
    // from a key that belongs to another certificate.
    ssl::context key_only{ssl::context::tls_server};
    refuse_pass_phrases(key_only);
    key_only.use_private_key(asio::buffer(key_pem), ssl::context::pem, ec);
    if (ec) {
        *problem = key_name + ": no unencrypted PEM private key in it";
        return nullptr;
    }
    context.use_private_key(asio::buffer(key_pem), ssl::context::pem, ec);
    if (ec || SSL_CTX_check_private_key(context.native_handle()) != 1) {
        *problem = key_name + ": the key does not belong to the certificate in " + certificate_name;
        return nullptr;
    }
    return tls;
}

void start_tls_connection(tcp::socket&& socket, std::shared_ptr<Hub> hub, const tcp::endpoint& remote,
                          AddressPlace place) {
    std::make_shared<TlsConnection>(std::move(socket), std::move(hub), remote, std::move(place))->start();
}

}  // namespace conf::web
