// bare_gateway: the least a WebSocket broadcast gateway does, confwebbench's
// yardstick for confweb. One UDP socket is one participant of the relay;
// every datagram it hears goes out as one text message to every open tab,
// written as confweb writes it (one Beast frame per message, the messages
// waiting when a write starts held back to leave together). No participant
// per tab, no names, no room rules: what is left is what Beast, Asio and the
// kernel cost, so that confweb's own cost can be told from theirs.
//
// To a load generator it looks like confweb: a join is answered "joined" and
// the first line with the login reply, at once, without asking the relay.
//
// Usage: bare_gateway RELAY_PORT LISTEN_PORT, both on 127.0.0.1. SIGTERM or
// SIGINT ends it with status 0.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "beast.h"
#include "protocol.h"
#include "tab_messages.h"
#include "tab_output.h"
#include "tcp_hold.h"
#include "text_codec.h"

#include "library_headers_begin.h"
#include <boost/asio/signal_set.hpp>
#include "library_headers_end.h"

namespace {

using namespace conf::web;

// Connections at once, accepted or not yet; more are closed at once.
constexpr std::size_t kMaxConnections = 1000;
// As confweb's: a tab that does not read is dropped, not buffered for ever.
constexpr TabOutput::Limits kOutputLimits{1 << 20, 4096};
constexpr int kLoginRetryMs = 200;
// Datagrams taken at one wake-up, as confweb's participants take them.
constexpr int kMaxDrain = 1024;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class Tab;

struct Hub {
    std::size_t connections = 0;          // Tab objects alive
    std::set<std::shared_ptr<Tab>> open;  // tabs past the handshake
};

class Tab : public std::enable_shared_from_this<Tab> {
public:
    Tab(tcp::socket socket, Hub& hub) : ws_(std::move(socket)), hub_(hub), out_(kOutputLimits) {
        ++hub_.connections;
    }
    ~Tab() { --hub_.connections; }
    Tab(const Tab&) = delete;
    Tab& operator=(const Tab&) = delete;

    void start() {
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.read_message_max(kMaxTabMessage);
        ws_.auto_fragment(false);
        ws_.text(true);
        ws_.async_accept([self = shared_from_this()](error_code ec) {
            if (ec) return;
            self->hub_.open.insert(self);
            self->open_ = true;
            self->read();
        });
    }

    // Never ends the tab from inside: the hub may be walking its tabs.
    void send(const Frame& frame) {
        if (out_.push(frame) == TabOutput::Push::Overflow) close(websocket::close_code::policy_error);
        else pump();
    }

private:
    void read() {
        ws_.async_read(input_, [self = shared_from_this()](error_code ec, std::size_t) {
            if (ec) return self->end();
            const std::string message = beast::buffers_to_string(self->input_.data());
            self->input_.consume(self->input_.size());
            self->on_message(message);
            self->read();
        });
    }

    void on_message(const std::string& message) {
        TabRequest request;
        std::string problem;
        if (!ws_.got_text() || !parse_tab_request(message, &request, &problem)) {
            close(websocket::close_code::policy_error);
            return;
        }
        switch (request.kind) {
        case TabRequest::Kind::Join:
            send(std::make_shared<const std::string>(frame::joined(request.text, {})));
            break;
        case TabRequest::Kind::Send:
            // Only the first: the tab's lines are not passed on.
            if (logged_in_) break;
            logged_in_ = true;
            send(std::make_shared<const std::string>(
                frame::line(conf::cp932_to_utf8(conf::text::kLoginAccepted), now_ms(), false)));
            break;
        case TabRequest::Kind::Leave:
        case TabRequest::Kind::Resume:
            close(websocket::close_code::normal);
            break;
        }
    }

    void close(websocket::close_code code) {
        if (!out_.close()) return;
        close_reason_ = websocket::close_reason(code);
        pump();
    }

    void pump() {
        if (!open_) return;
        const TabOutput::Step step = out_.next();
        hold_writes(out_.holding());
        switch (step) {
        case TabOutput::Step::None:
            break;
        case TabOutput::Step::Write:
            ws_.async_write(asio::buffer(out_.front()), [self = shared_from_this()](error_code ec, std::size_t) {
                self->out_.done();
                if (ec) self->end();
                else self->pump();
            });
            break;
        case TabOutput::Step::Close:
            ws_.async_close(close_reason_, [self = shared_from_this()](error_code) {
                self->out_.done();
                self->end();
            });
            break;
        }
    }

    void hold_writes(bool hold) {
        if (hold == corked_) return;
        corked_ = hold;
        hold_tcp_writes(static_cast<std::uintptr_t>(beast::get_lowest_layer(ws_).socket().native_handle()), hold);
    }

    // From completion handlers only.
    void end() {
        if (!open_) return;
        open_ = false;
        out_.abandon();
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        hub_.open.erase(shared_from_this());
    }

    websocket::stream<beast::tcp_stream> ws_;
    Hub& hub_;
    TabOutput out_;
    beast::flat_buffer input_;
    websocket::close_reason close_reason_;
    bool open_ = false;
    bool logged_in_ = false;
    bool corked_ = false;
};

// The one participant: logs in, then hands every line of the relay's to
// every open tab, built once.
class RelayListener {
public:
    RelayListener(asio::io_context& io, Hub& hub, std::uint16_t relay_port)
        : socket_(io, udp::endpoint(asio::ip::address_v4::loopback(), 0)),
          relay_(asio::ip::address_v4::loopback(), relay_port),
          retry_(io),
          hub_(hub) {
        // A burst must not be lost while the tabs' writes hold the thread.
        error_code ignored;
        socket_.set_option(asio::socket_base::receive_buffer_size(4 << 20), ignored);
        socket_.non_blocking(true, ignored);
    }

    void start() {
        log_in();
        receive();
    }

private:
    void log_in() {
        if (logged_in_) return;
        const conf::Line request = conf::compose_login_request("bare", "confwebbench");
        error_code ignored;
        socket_.send_to(asio::buffer(request.c_str(), request.size()), relay_, 0, ignored);
        retry_.expires_after(std::chrono::milliseconds(kLoginRetryMs));
        retry_.async_wait([this](error_code ec) {
            if (!ec) log_in();
        });
    }

    void receive() {
        socket_.async_receive_from(asio::buffer(buffer_, sizeof buffer_ - 1), sender_,
                                   [this](error_code ec, std::size_t length) {
                                       if (ec == asio::error::operation_aborted) return;
                                       if (!ec) take(length);
                                       drain();
                                       receive();
                                   });
    }

    // Everything else already waiting, without a trip through the loop.
    void drain() {
        for (int taken = 0; taken < kMaxDrain; ++taken) {
            error_code ec;
            const std::size_t length = socket_.receive_from(asio::buffer(buffer_, sizeof buffer_ - 1), sender_, 0, ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) return;
            if (!ec) take(length);
        }
    }

    void take(std::size_t length) {
        if (sender_ == relay_) on_datagram(length);
    }

    void on_datagram(std::size_t length) {
        buffer_[length] = '\0';
        // As every client reads it: a C string, ending at its first NUL.
        const std::string_view datagram(buffer_);
        if (datagram == conf::text::kLoginAccepted) {
            logged_in_ = true;
            retry_.cancel();
        }
        const Frame line = std::make_shared<const std::string>(frame::line(conf::cp932_to_utf8(datagram), now_ms(), false));
        for (const std::shared_ptr<Tab>& tab : hub_.open) tab->send(line);
    }

    udp::socket socket_;
    const udp::endpoint relay_;
    udp::endpoint sender_;
    asio::steady_timer retry_;
    Hub& hub_;
    char buffer_[conf::kDatagramBuffer];
    bool logged_in_ = false;
};

class Listener {
public:
    Listener(asio::io_context& io, Hub& hub, std::uint16_t port)
        : acceptor_(io, tcp::endpoint(asio::ip::address_v4::loopback(), port)), hub_(hub) {}

    void accept() {
        acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted) return;
            if (!ec && hub_.connections < kMaxConnections) {
                socket.set_option(tcp::no_delay(true), ec);
                std::make_shared<Tab>(std::move(socket), hub_)->start();
            }
            accept();
        });
    }

private:
    tcp::acceptor acceptor_;
    Hub& hub_;
};

bool parse_port(const char* text, std::uint16_t* port) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t relay_port = 0, listen_port = 0;
    if (argc != 3 || !parse_port(argv[1], &relay_port) || !parse_port(argv[2], &listen_port)) {
        std::fprintf(stderr, "Usage: bare_gateway RELAY_PORT LISTEN_PORT\n");
        return 2;
    }
    // Tabs outlive the io_context's handlers that hold them, and count
    // themselves out of the hub as they go.
    Hub hub;
    try {
        asio::io_context io;
        RelayListener relay(io, hub, relay_port);
        Listener listener(io, hub, listen_port);
        asio::signal_set signals(io, SIGTERM, SIGINT);
        signals.async_wait([&io](error_code, int) { io.stop(); });
        relay.start();
        listener.accept();
        io.run();
        hub.open.clear();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "bare_gateway: %s\n", failure.what());
        return 1;
    }
    return 0;
}
