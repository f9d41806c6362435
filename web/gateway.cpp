// The only file that includes Boost.Beast and Asio: they take long to build,
// and what a tab does as a participant lives in BrowserParticipant, apart
// from them.
//
// One io_context on one thread. Each TCP connection starts as an HttpSession
// that serves the page's files; an upgrade to /ws from the page's own origin
// becomes a TabSession, which owns one BrowserParticipant and, while that one
// has joined, a UDP socket connected to the relay.
#include "gateway.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ascii_case.h"
#include "browser_participant.h"
#include "console_close.h"
#include "host_names.h"
#include "local_addresses.h"
#include "page_files.h"
#include "per_address_limit.h"
#include "protocol.h"
#include "socket_errors.h"
#include "tab_messages.h"
#include "tcp_hold.h"

namespace conf::web {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using udp = asio::ip::udp;
using error_code = boost::system::error_code;

// Connections of any kind at once; one more is closed unanswered, so that a
// flood cannot use up the process's descriptors.
constexpr std::size_t kMaxConnections = 512;
// Open tabs at once (joined or not); one more gets 503.
constexpr std::size_t kMaxTabs = 300;
// The same from one remote address, so that one host cannot take them all.
constexpr std::size_t kMaxConnectionsPerAddress = 32;
constexpr std::size_t kMaxTabsPerAddress = 16;
// What may wait to be sent to one tab. A tab that does not read its messages
// is dropped when either is reached rather than holding memory without end.
constexpr std::size_t kMaxQueuedBytes = 1 << 20;
constexpr std::size_t kMaxQueuedFrames = 4096;
// HTTP requests: time to read or write one, size of the head and body.
constexpr std::chrono::seconds kHttpTimeout{10};
constexpr std::uint32_t kMaxRequestHead = 8 * 1024;
constexpr std::uint64_t kMaxRequestBody = 4 * 1024;
// A tab that stays silent this long is pinged; silent for another such
// interval, it is dropped.
constexpr std::chrono::seconds kTabIdle{60};
// After SIGINT or SIGTERM: time for the tabs' closing handshakes.
constexpr std::chrono::seconds kStopGrace{3};
// Datagrams taken from one UDP socket per readiness before the others get
// their turn.
constexpr int kMaxDrain = 1024;

// The page may run scripts and styles from its own files only.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void log_line(const std::string& text) {
    std::fprintf(stderr, "confweb: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string endpoint_text(const tcp::endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

bool port_unreachable(const error_code& ec) {
    return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
           (ec.category() == boost::system::system_category() && means_port_unreachable(ec.value()));
}

// A stranger's text as it may go into the log: no control characters, not
// too long.
std::string loggable(std::string_view text) {
    std::string shown(text.substr(0, 100));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text.size() > shown.size() ? shown + "..." : shown;
}

// Beast 1.74 has a string_view of its own.
std::string_view std_view(beast::string_view text) { return {text.data(), text.size()}; }

// Something that must end when the gateway stops.
class Connection {
public:
    virtual void stop() = 0;

protected:
    ~Connection() = default;
};

// What every connection of one gateway shares.
struct Hub {
    Hub(std::string relay_shown, udp::endpoint relay_endpoint, HostNames names)
        : state(std::move(relay_shown)), relay(relay_endpoint), host_names(std::move(names)) {}

    GatewayState state;
    udp::endpoint relay;
    HostNames host_names;
    std::string wrong_host_answer;  // where to go instead
    std::list<Connection*> connections;
    std::size_t tabs = 0;
    PerAddressLimit connections_per_address{kMaxConnectionsPerAddress};
    PerAddressLimit tabs_per_address{kMaxTabsPerAddress};
    bool stopping = false;
    std::function<void()> on_last_connection_gone;

    std::list<Connection*>::iterator add(Connection* connection) {
        return connections.insert(connections.end(), connection);
    }
    void remove(std::list<Connection*>::iterator entry) {
        connections.erase(entry);
        if (stopping && connections.empty() && on_last_connection_gone) on_last_connection_gone();
    }
};

// A UDP socket connected to the relay, with its receive buffer. Handlers
// hold it, so a socket replaced by the next join can finish in peace.
struct RelayLink {
    explicit RelayLink(const asio::any_io_executor& executor) : socket(executor) {}
    udp::socket socket;
    // One byte more than a datagram may hold, to tell a longer one.
    std::array<char, kMaxDatagram + 1> buffer{};
};

class TabSession final : public Connection,
                         public ParticipantHost,
                         public std::enable_shared_from_this<TabSession> {
public:
    TabSession(tcp::socket&& socket, std::shared_ptr<Hub> hub, std::string peer, AddressPlace connection_place,
               AddressPlace tab_place)
        : hub_(std::move(hub)),
          connection_place_(std::move(connection_place)),
          tab_place_(std::move(tab_place)),
          ws_(std::move(socket)),
          peer_(std::move(peer)),
          participant_(*this, hub_->state) {
        ++hub_->tabs;
    }
    ~TabSession() { --hub_->tabs; }

    void start(http::request<http::string_body> request) {
        upgrade_request_ = std::move(request);
        entry_ = hub_->add(this);
        registered_ = true;
        websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = kTabIdle;
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.read_message_max(kMaxTabMessage);
        ws_.auto_fragment(false);
        ws_.text(true);
        ws_.async_accept(upgrade_request_, [self = shared_from_this()](error_code ec) { self->on_accept(ec); });
    }

    void stop() override {
        participant_.tab_gone();
        if (accepted_) close_with(websocket::close_code::going_away, u8"会議ゲートウェイが終了しました");
        else end();
    }

    // ParticipantHost
    bool open_relay_socket() override {
        close_relay_socket();
        auto link = std::make_shared<RelayLink>(ws_.get_executor());
        error_code ec;
        link->socket.open(udp::v4(), ec);
        if (!ec) link->socket.connect(hub_->relay, ec);
        if (!ec) link->socket.non_blocking(true, ec);
        if (ec) {
            log_line(peer_ + ": no UDP socket for the relay: " + ec.message());
            return false;
        }
        // Room for a burst while the thread is busy elsewhere; the system may
        // grant less.
        link->socket.set_option(udp::socket::receive_buffer_size(1 << 20), ec);
        link_ = link;
        receive_next(link);
        return true;
    }

    DatagramSend send_datagram(std::string_view bytes) override {
        if (!link_) return DatagramSend::Failed;
        error_code ec;
        link_->socket.send(asio::buffer(bytes.data(), bytes.size()), 0, ec);
        if (!ec) return DatagramSend::Sent;
        if (port_unreachable(ec)) return DatagramSend::Unreachable;
        return DatagramSend::Failed;
    }

    void close_relay_socket() override {
        if (!link_) return;
        error_code ignored;
        link_->socket.close(ignored);
        link_.reset();
    }

    void send_to_tab(Frame frame) override {
        if (closing_) return;
        if (queued_bytes_ + frame->size() > kMaxQueuedBytes || queue_.size() >= kMaxQueuedFrames) {
            drop(std::to_string(queue_.size()) + " messages (" + std::to_string(queued_bytes_) +
                 " bytes) wait to be sent: the tab does not read them");
            return;
        }
        queued_bytes_ += frame->size();
        queue_.push_back(std::move(frame));
        if (!writing_) write_next();
    }

private:
    void on_accept(error_code ec) {
        if (ec) {
            end();
            return;
        }
        accepted_ = true;
        upgrade_request_ = {};
        send_to_tab(std::make_shared<const std::string>(frame::hello(hub_->state.relay)));
        read_next();
    }

    void read_next() {
        ws_.async_read(read_buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big)
                log_line(peer_ + ": closed (1009): a message over " + std::to_string(kMaxTabMessage) + " bytes");
            end();
            return;
        }
        const std::string message = beast::buffers_to_string(read_buffer_.data());
        read_buffer_.consume(read_buffer_.size());
        if (!closing_) {
            if (!ws_.got_text()) {
                refuse(websocket::close_code::unknown_data, "a binary message");
            } else {
                TabRequest request;
                std::string problem;
                if (parse_tab_request(message, &request, &problem)) handle(request);
                else refuse(websocket::close_code::policy_error, problem);
            }
        }
        if (!ended_) read_next();
    }

    void handle(const TabRequest& request) {
        switch (request.kind) {
        case TabRequest::Kind::Join:
            participant_.join(request.text);
            break;
        case TabRequest::Kind::Send:
            participant_.send(request.text, Clock::now());
            break;
        case TabRequest::Kind::Leave:
            participant_.leave();
            break;
        }
    }

    // A message the gateway does not take: this tab's connection ends, with
    // a leave notice if it was logged in, and nobody else notices.
    void refuse(websocket::close_code code, const std::string& why) {
        log_line(peer_ + ": closed (" + std::to_string(static_cast<unsigned>(code)) + "): " + why);
        participant_.tab_gone();
        close_with(code, why);
    }

    // Sends what is being written already, then the close frame; the read
    // that is always pending sees the end.
    void close_with(websocket::close_code code, const std::string& why) {
        if (closing_) return;
        closing_ = true;
        close_frame_due_ = true;
        close_reason_ = websocket::close_reason(code, why.substr(0, 120));
        while (queue_.size() > (writing_ ? 1u : 0u)) {
            queued_bytes_ -= queue_.back()->size();
            queue_.pop_back();
        }
        if (!writing_) start_close();
    }

    void start_close() {
        close_frame_due_ = false;
        writing_ = true;
        ws_.async_close(close_reason_, [self = shared_from_this()](error_code ec) {
            self->writing_ = false;
            if (ec) self->end();
        });
    }

    // The messages waiting when a write starts leave together (see
    // tcp_hold.h): held back until the last of them is written. Those that
    // come meanwhile make the next batch, so that under a steady stream
    // nothing waits for more than one batch.
    void hold_writes(bool hold) {
        if (hold == holding_) return;
        holding_ = hold;
        hold_tcp_writes(static_cast<std::uintptr_t>(beast::get_lowest_layer(ws_).socket().native_handle()), hold);
    }

    void write_next() {
        if (ended_) return;
        // The batch is written, or a close cut it short: what was held leaves.
        if (held_left_ == 0 || queue_.empty()) {
            held_left_ = 0;
            hold_writes(false);
        }
        if (queue_.empty()) {
            writing_ = false;
            if (close_frame_due_) start_close();
            return;
        }
        writing_ = true;
        if (!holding_ && queue_.size() > 1) {
            hold_writes(true);
            held_left_ = queue_.size();
        }
        if (held_left_ > 0) --held_left_;
        ws_.async_write(asio::buffer(*queue_.front()),
                        [self = shared_from_this()](error_code ec, std::size_t) { self->on_write(ec); });
    }

    void on_write(error_code ec) {
        queued_bytes_ -= queue_.front()->size();
        queue_.pop_front();
        if (ec) {
            writing_ = false;
            end();
            return;
        }
        write_next();
    }

    // The tab is beyond a clean close: its messages cannot even be sent.
    void drop(const std::string& why) {
        if (closing_) return;
        closing_ = true;
        log_line(peer_ + ": dropped: " + why);
        // Not from inside the participant's own call that got here.
        asio::post(ws_.get_executor(), [self = shared_from_this()] {
            self->participant_.tab_gone();
            error_code ignored;
            beast::get_lowest_layer(self->ws_).socket().close(ignored);
        });
    }

    void receive_next(const std::shared_ptr<RelayLink>& link) {
        link->socket.async_receive(asio::buffer(link->buffer),
                                   [self = shared_from_this(), link](error_code ec, std::size_t length) {
                                       self->on_datagram(link, ec, length);
                                   });
    }

    // Handles what the socket gave; false when it is to be read no more.
    bool take_datagram(error_code ec, std::size_t length, RelayLink& link) {
        if (!ec) {
            if (length > kMaxDatagram) participant_.receive_failed(ReceiveTrouble::TooLong);
            else participant_.heard(std::string_view(link.buffer.data(), length));
            return true;
        }
        if (ec == asio::error::message_size) {
            participant_.receive_failed(ReceiveTrouble::TooLong);
            return true;
        }
        // The relay's port is closed: an ICMP message came back to this
        // connected socket. It may open again; the socket goes on.
        if (port_unreachable(ec)) {
            participant_.receive_failed(ReceiveTrouble::Unreachable);
            return true;
        }
        if (ec != asio::error::operation_aborted) {
            log_line(peer_ + ": UDP receive failed: " + ec.message());
            participant_.receive_failed(ReceiveTrouble::Failed);
        }
        return false;
    }

    void on_datagram(const std::shared_ptr<RelayLink>& link, error_code ec, std::size_t length) {
        if (link != link_ || ended_) return;  // a socket closed or replaced since
        if (!take_datagram(ec, length, *link)) return;
        // Everything else already waiting, without a trip through the loop.
        for (int taken = 0; taken < kMaxDrain && link == link_; ++taken) {
            length = link->socket.receive(asio::buffer(link->buffer), 0, ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) break;
            if (!take_datagram(ec, length, *link)) return;
        }
        if (link == link_) receive_next(link);
    }

    void end() {
        if (ended_) return;
        ended_ = true;
        closing_ = true;
        participant_.tab_gone();
        close_relay_socket();
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        if (registered_) hub_->remove(entry_);
        registered_ = false;
    }

    std::shared_ptr<Hub> hub_;  // first: the participant gives its name back to it
    AddressPlace connection_place_;
    AddressPlace tab_place_;
    websocket::stream<beast::tcp_stream> ws_;
    http::request<http::string_body> upgrade_request_;
    std::string peer_;
    BrowserParticipant participant_;
    std::shared_ptr<RelayLink> link_;
    beast::flat_buffer read_buffer_;
    std::deque<Frame> queue_;
    std::size_t queued_bytes_ = 0;
    websocket::close_reason close_reason_;
    bool accepted_ = false;
    bool holding_ = false;        // writes held back while more follow
    std::size_t held_left_ = 0;   // messages of the batch held back not yet written
    bool writing_ = false;
    bool closing_ = false;  // nothing more goes to the tab
    bool close_frame_due_ = false;
    bool ended_ = false;
    bool registered_ = false;
    std::list<Connection*>::iterator entry_;
};

class HttpSession final : public Connection, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, std::shared_ptr<Hub> hub, const tcp::endpoint& remote, AddressPlace place)
        : hub_(std::move(hub)),
          place_(std::move(place)),
          stream_(std::move(socket)),
          peer_(endpoint_text(remote)),
          address_(remote.address().to_v4().to_uint()) {}

    void start() {
        entry_ = hub_->add(this);
        registered_ = true;
        read_next();
    }

    void stop() override { finish(); }

private:
    using Request = http::request<http::string_body>;
    using Response = http::response<http::string_body>;

    void read_next() {
        parser_.emplace();
        parser_->header_limit(kMaxRequestHead);
        parser_->body_limit(kMaxRequestBody);
        stream_.expires_after(kHttpTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted) {
            finish();
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
            log_line(peer_ + ": refused (403): host " + loggable(std_view(host->value())) +
                     " is none of this machine's names (--allow-host NAME lets a name in)");
            Response response = plain(http::status::forbidden, request.version(), false);
            response.body() += hub_->wrong_host_answer;
            response.prepare_payload();
            send(std::move(response));
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
        Response response{http::status::ok, request.version()};
        secure(response);
        response.set(http::field::content_type, file->content_type);
        response.keep_alive(keep_alive);
        if (method == http::verb::head) {
            response.content_length(file->size);
        } else {
            response.body().assign(file->view());
            response.prepare_payload();
        }
        return response;
    }

    void upgrade(Request request) {
        // Only the page's own origin: another site's script in a LAN user's
        // browser must not take part in the conference under that user. A
        // request without Origin comes from no browser and is let in.
        const auto origin = request.find(http::field::origin);
        const std::string own_origin = "http://" + std::string(std_view(request[http::field::host]));
        if (origin != request.end() && !equal_ignoring_ascii_case(std_view(origin->value()), own_origin)) {
            log_line(peer_ + ": WebSocket refused (403): origin " + loggable(std_view(origin->value())) + " is not " +
                     loggable(own_origin));
            send(plain(http::status::forbidden, request.version(), false));
            return;
        }
        if (request.target() != "/ws") {
            send(plain(http::status::not_found, request.version(), false));
            return;
        }
        if (hub_->tabs >= kMaxTabs) {
            log_line(peer_ + ": WebSocket refused (503): " + std::to_string(kMaxTabs) + " tabs are open");
            send(plain(http::status::service_unavailable, request.version(), false));
            return;
        }
        AddressPlace tab_place(hub_->tabs_per_address, address_);
        if (!tab_place) {
            log_line(peer_ + ": WebSocket refused (503): " + std::to_string(kMaxTabsPerAddress) +
                     " tabs from that address are open");
            send(plain(http::status::service_unavailable, request.version(), false));
            return;
        }
        if (registered_) hub_->remove(entry_);
        registered_ = false;
        stream_.expires_never();  // the WebSocket keeps time of its own
        auto tab = std::make_shared<TabSession>(stream_.release_socket(), hub_, peer_, std::move(place_),
                                                std::move(tab_place));
        tab->start(request);
    }

    void send(Response response) {
        auto shared = std::make_shared<Response>(std::move(response));
        stream_.expires_after(kHttpTimeout);
        http::async_write(stream_, *shared, [self = shared_from_this(), shared](error_code ec, std::size_t) {
            if (ec || !shared->keep_alive()) self->finish();
            else self->read_next();
        });
    }

    void finish() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
        if (registered_) hub_->remove(entry_);
        registered_ = false;
    }

    std::shared_ptr<Hub> hub_;
    AddressPlace place_;  // goes with the connection to its TabSession
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string peer_;
    std::uint32_t address_;
    bool registered_ = false;
    std::list<Connection*>::iterator entry_;
};

class Gateway {
public:
    Gateway(asio::io_context& io, std::shared_ptr<Hub> hub)
        : io_(io), hub_(std::move(hub)), acceptor_(io), signals_(io, SIGINT, SIGTERM), retry_(io), grace_(io) {}

    bool listen(const tcp::endpoint& endpoint) {
        error_code ec;
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) acceptor_.bind(endpoint, ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            log_line("cannot listen on " + endpoint_text(endpoint) + ": " + ec.message());
            return false;
        }
        signals_.async_wait([this](error_code signal_ec, int) {
            if (!signal_ec) stop();
        });
        accept_next();
        return true;
    }

    std::uint16_t port() const {
        error_code ec;
        return acceptor_.local_endpoint(ec).port();
    }

    void stop() {
        if (hub_->stopping) return;
        hub_->stopping = true;
        error_code ignored;
        acceptor_.close(ignored);
        signals_.cancel(ignored);  // stopped otherwise, nothing more to wait for
        retry_.cancel();
        // Every tab leaves the conference and is told why its connection
        // ends; the closing handshakes get a little time.
        const std::list<Connection*> connections = hub_->connections;
        for (Connection* connection : connections) connection->stop();
        if (hub_->connections.empty()) return;
        hub_->on_last_connection_gone = [this] { grace_.cancel(); };
        grace_.expires_after(kStopGrace);
        grace_.async_wait([this](error_code ec) {
            if (!ec) io_.stop();
        });
    }

private:
    void accept_next() {
        acceptor_.async_accept([this](error_code ec, tcp::socket socket) { on_accept(ec, std::move(socket)); });
    }

    void on_accept(error_code ec, tcp::socket socket) {
        if (hub_->stopping || ec == asio::error::operation_aborted) return;
        if (ec) {
            // Most likely out of descriptors: wait a little rather than spin.
            log_line("accept failed: " + ec.message());
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](error_code timer_ec) {
                if (!timer_ec && !hub_->stopping) accept_next();
            });
            return;
        }
        const tcp::endpoint remote = socket.remote_endpoint(ec);
        AddressPlace place;
        if (!ec && hub_->connections.size() < kMaxConnections) {
            place = AddressPlace(hub_->connections_per_address, remote.address().to_v4().to_uint());
            if (!place)
                log_line(endpoint_text(remote) + ": closed unanswered: " + std::to_string(kMaxConnectionsPerAddress) +
                         " connections from that address are open");
        }
        if (place) {
            socket.set_option(tcp::no_delay(true), ec);
            std::make_shared<HttpSession>(std::move(socket), hub_, remote, std::move(place))->start();
        } else {
            error_code ignored;
            socket.close(ignored);
        }
        accept_next();
    }

    asio::io_context& io_;
    std::shared_ptr<Hub> hub_;
    tcp::acceptor acceptor_;
    asio::signal_set signals_;
    asio::steady_timer retry_;
    asio::steady_timer grace_;
};

}  // namespace

int run_gateway(const GatewayOptions& options) {
    asio::io_context io{1};

    error_code ec;
    const asio::ip::address_v4 listen_address = asio::ip::make_address_v4(options.listen_address, ec);
    if (ec) {
        log_line("--listen: " + options.listen_address + " is not an IPv4 address");
        return 2;
    }
    udp::resolver resolver(io);
    const auto found = resolver.resolve(udp::v4(), options.relay_host, std::to_string(options.relay_port), ec);
    if (ec || found.empty()) {
        log_line("cannot find the relay's host " + options.relay_host + (ec ? ": " + ec.message() : std::string()));
        return 1;
    }
    const udp::endpoint relay = found.begin()->endpoint();
    const std::string relay_shown = options.relay_host + ":" + std::to_string(options.relay_port);

    // This machine's names, short and fully qualified, beside those allowed.
    std::vector<std::string> names = options.allowed_hosts;
    const std::string host_name = asio::ip::host_name(ec);
    if (!ec && !host_name.empty()) {
        names.push_back(host_name);
        names.push_back(host_name.substr(0, host_name.find('.')));
        const auto qualified = resolver.resolve(udp::v4(), host_name, "", udp::resolver::canonical_name, ec);
        if (!ec && !qualified.empty()) names.push_back(qualified.begin()->host_name());
    }

    auto hub = std::make_shared<Hub>(relay_shown, relay, HostNames(std::move(names)));
    Gateway gateway(io, hub);
    if (!gateway.listen(tcp::endpoint(listen_address, options.listen_port))) return 1;

    std::printf("confweb: relay %s (%s:%u)\n", relay_shown.c_str(), relay.address().to_string().c_str(),
                static_cast<unsigned>(relay.port()));
    std::printf("confweb: open the page in a browser:\n");
    const std::vector<std::string> addresses =
        listen_address.is_unspecified() ? local_ipv4_addresses() : std::vector<std::string>{options.listen_address};
    hub->wrong_host_answer = u8"この名前では開けません。次のアドレスのどれかを開いてください:\n";
    for (const std::string& address : addresses) {
        const std::string url = "http://" + address + ":" + std::to_string(gateway.port()) + "/";
        std::printf("  %s\n", url.c_str());
        hub->wrong_host_answer += "  " + url + "\n";
    }
    hub->wrong_host_answer +=
        u8"名前で開くには、confweb を --allow-host 名前 を付けて起動してください。\n"
        "This gateway answers to the addresses above; confweb --allow-host NAME lets a name in.\n";
    std::fflush(stdout);

    // The console's end on Windows stops the gateway as SIGTERM does.
    const ConsoleCloseGuard console_close([&io, &gateway] { asio::post(io, [&gateway] { gateway.stop(); }); });
    io.run();
    return 0;
}

}  // namespace conf::web
