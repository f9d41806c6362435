// HTTP over either stream: the page's files, and the checks before a
// WebSocket upgrade.
#include "http_session.h"

#include <optional>
#include <string>
#include <utility>

#include "ascii_case.h"
#include "beast.h"
#include "gateway_log.h"
#include "http_caching.h"
#include "page_files.h"
#include "sessions.h"
#if CONF_WEB_TLS
#include "beast_tls.h"
#endif

namespace conf::web {
namespace {

// HTTP requests: time to read or write one, size of the head and body.
constexpr std::chrono::seconds kHttpTimeout{10};
constexpr std::uint32_t kMaxRequestHead = 8 * 1024;
constexpr std::uint64_t kMaxRequestBody = 4 * 1024;
// Time for the peer's part of closing TLS.
constexpr std::chrono::seconds kTlsShutdownTimeout{2};

// The page may run scripts and styles from its own files only; images also
// from data: URLs (the favicon with its unread badge is drawn into one), and
// its manifest and service worker are its own files too.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "manifest-src 'self'; worker-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

template <class Stream>
class HttpSession final : public Connection, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream&& stream, beast::flat_buffer&& buffer, std::shared_ptr<Hub> hub, const tcp::endpoint& remote,
                AddressPlace place)
        : hub_(std::move(hub)),
          place_(std::move(place)),
          stream_(std::move(stream)),
          buffer_(std::move(buffer)),
          peer_(endpoint_text(remote)),
          address_(remote.address().to_v4().to_uint()),
          redirect_(!StreamKind<Stream>::secure && hub_->tls != nullptr) {}

    void start() {
        entry_.emplace(*hub_, this);
        read_next();
    }

    void stop() override { close(); }

private:
    using Request = http::request<http::string_body>;
    using Response = http::response<http::string_body>;

    void read_next() {
        parser_.emplace();
        parser_->header_limit(kMaxRequestHead);
        parser_->body_limit(kMaxRequestBody);
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec) {
        if (ec == http::error::end_of_stream) {
            finish();
            return;
        }
        if (ec == beast::error::timeout || ec == asio::error::operation_aborted) {
            close();
            return;
        }
        if (ec) {
            // Whatever could not be read as a request gets a plain answer.
            http::status status = http::status::bad_request;
            if (ec == http::error::body_limit) status = http::status::payload_too_large;
            if (ec == http::error::header_limit) status = http::status::request_header_fields_too_large;
            Response response = plain(status, 11, false);
            send(std::move(response));
            return;
        }
        Request request = parser_->release();
        // A request without Host comes from no browser.
        const auto host = request.find(http::field::host);
        if (host != request.end() && !hub_->host_names.allows(std_view(host->value()))) {
            log_peer(address_, "refused (403): host", peer_ + ": refused (403): host " + loggable(std_view(host->value())) +
                     " is none of this machine's names (--allow-host NAME lets a name in)");
            Response response = plain(http::status::forbidden, request.version(), false);
            response.body() += hub_->wrong_host_answer;
            response.prepare_payload();
            send(std::move(response));
            return;
        }
        if (redirect_) {
            send(to_tls(request));
            return;
        }
        if (websocket::is_upgrade(request)) {
            upgrade(std::move(request));
            return;
        }
        send(answer(request));
    }

    Response plain(http::status status, unsigned version, bool keep_alive) {
        Response response{status, version};
        secure(response);
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.keep_alive(keep_alive);
        response.body() = std::to_string(static_cast<unsigned>(status)) + " " +
                          std::string(http::obsolete_reason(status)) + "\n";
        response.prepare_payload();
        return response;
    }

    static void secure(Response& response) {
        response.set(http::field::server, "confweb");
        response.set("Content-Security-Policy", kContentSecurityPolicy);
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Referrer-Policy", "no-referrer");
        response.set(http::field::cache_control, "no-cache");
    }

    // A plain request to a gateway that serves TLS only: the same address
    // over https, if the request names this machine. Nothing else is served
    // in the clear.
    Response to_tls(const Request& request) {
        const auto host = request.find(http::field::host);
        if (host == request.end()) {
            Response response = plain(http::status::bad_request, request.version(), false);
            response.body() += "This gateway answers over https:// only.\n";
            response.prepare_payload();
            return response;
        }
        const std::string location =
            "https://" + std::string(std_view(host->value())) + std::string(std_view(request.target()));
        Response response = plain(http::status::moved_permanently, request.version(), false);
        response.set(http::field::location, location);
        response.body() += location + "\n";
        response.prepare_payload();
        return response;
    }

    Response answer(const Request& request) {
        std::string_view target = std_view(request.target());
        target = target.substr(0, target.find('?'));
        const bool keep_alive = request.keep_alive();
        if (target == "/ws") {
            Response response = plain(http::status::upgrade_required, request.version(), keep_alive);
            response.set(http::field::upgrade, "websocket");
            return response;
        }
        const PageFile* file = find_page_file(target);
        if (file == nullptr) return plain(http::status::not_found, request.version(), keep_alive);
        const http::verb method = request.method();
        if (method != http::verb::get && method != http::verb::head) {
            Response response = plain(http::status::method_not_allowed, request.version(), keep_alive);
            response.set(http::field::allow, "GET, HEAD");
            return response;
        }
        // Compressed when the browser takes it (the files are compressed
        // once, at build time); each form has its own tag, and a browser
        // that has the form it would get is told so with 304.
        const bool gzip = accepts_gzip(std_view(request[http::field::accept_encoding]));
        std::string etag = file->etag;
        if (gzip) etag.insert(etag.size() - 1, "-gz");
        const bool unchanged = etag_matches(std_view(request[http::field::if_none_match]), etag);
        Response response{unchanged ? http::status::not_modified : http::status::ok, request.version()};
        secure(response);
        response.set(http::field::etag, etag);
        response.set(http::field::vary, "Accept-Encoding");
        response.keep_alive(keep_alive);
        if (unchanged) return response;
        response.set(http::field::content_type, file->content_type);
        if (gzip) response.set(http::field::content_encoding, "gzip");
        const std::string_view body = gzip ? file->gzip_view() : file->view();
        if (method == http::verb::head) {
            response.content_length(body.size());
        } else {
            response.body().assign(body);
            response.prepare_payload();
        }
        return response;
    }

    void upgrade(Request request) {
        // Only the page's own origin: another site's script in a LAN user's
        // browser must not take part in the conference under that user. A
        // request without Origin comes from no browser and is let in.
        const auto origin = request.find(http::field::origin);
        const std::string own_origin =
            std::string(StreamKind<Stream>::scheme) + "://" + std::string(std_view(request[http::field::host]));
        if (origin != request.end() && !equal_ignoring_ascii_case(std_view(origin->value()), own_origin)) {
            log_peer(address_, "WebSocket refused (403): origin", peer_ + ": WebSocket refused (403): origin " + loggable(std_view(origin->value())) + " is not " +
                     loggable(own_origin));
            send(plain(http::status::forbidden, request.version(), false));
            return;
        }
        if (request.target() != "/ws") {
            send(plain(http::status::not_found, request.version(), false));
            return;
        }
        if (hub_->tabs >= kMaxTabs) {
            log_peer(address_, "WebSocket refused (503): all tabs",
                     peer_ + ": WebSocket refused (503): " + std::to_string(kMaxTabs) + " tabs are open");
            send(plain(http::status::service_unavailable, request.version(), false));
            return;
        }
        AddressPlace tab_place(hub_->tabs_per_address, address_);
        if (!tab_place) {
            log_peer(address_, "WebSocket refused (503): tabs of the address",
                     peer_ + ": WebSocket refused (503): " + std::to_string(kMaxTabsPerAddress) +
                     " tabs from that address are open");
            send(plain(http::status::service_unavailable, request.version(), false));
            return;
        }
        entry_.reset();
        beast::get_lowest_layer(stream_).expires_never();  // the WebSocket keeps time of its own
        start_tab_session(std::move(stream_), std::move(request), hub_, peer_, address_, std::move(place_),
                          std::move(tab_place));
    }

    void send(Response response) {
        auto shared = std::make_shared<Response>(std::move(response));
        beast::get_lowest_layer(stream_).expires_after(kHttpTimeout);
        http::async_write(stream_, *shared, [self = this->shared_from_this(), shared](error_code ec, std::size_t) {
            if (ec) self->close();
            else if (!shared->keep_alive()) self->finish();
            else self->read_next();
        });
    }

    // The end of a connection in good order: TLS says so before TCP does.
    void finish() {
        if constexpr (StreamKind<Stream>::secure) {
            if (!entry_) return;  // closed already
            beast::get_lowest_layer(stream_).expires_after(kTlsShutdownTimeout);
            stream_.async_shutdown([self = this->shared_from_this()](error_code) { self->close(); });
        } else {
            close();
        }
    }

    void close() {
        auto& tcp_stream = beast::get_lowest_layer(stream_);
        error_code ignored;
        tcp_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        tcp_stream.close();
        entry_.reset();
    }

    std::shared_ptr<Hub> hub_;
    AddressPlace place_;  // goes with the connection to its TabSession
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string peer_;
    std::uint32_t address_;
    bool redirect_;
    std::optional<HubEntry> entry_;
};

}  // namespace

std::string endpoint_text(const tcp::endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

template <class Stream>
void start_http_session(Stream&& stream, beast::flat_buffer&& buffer, std::shared_ptr<Hub> hub,
                        const tcp::endpoint& remote, AddressPlace place) {
    std::make_shared<HttpSession<Stream>>(std::move(stream), std::move(buffer), std::move(hub), remote,
                                          std::move(place))
        ->start();
}

template void start_http_session(beast::tcp_stream&&, beast::flat_buffer&&, std::shared_ptr<Hub>,
                                 const tcp::endpoint&, AddressPlace);
#if CONF_WEB_TLS
template void start_http_session(TlsStream&&, beast::flat_buffer&&, std::shared_ptr<Hub>, const tcp::endpoint&,
                                 AddressPlace);
#endif

void start_connection(tcp::socket&& socket, std::shared_ptr<Hub> hub, const tcp::endpoint& remote,
                      AddressPlace place) {
    if (hub->tls) {
        start_tls_connection(std::move(socket), std::move(hub), remote, std::move(place));
        return;
    }
    start_http_session(beast::tcp_stream(std::move(socket)), beast::flat_buffer(), std::move(hub), remote,
                       std::move(place));
}

}  // namespace conf::web
