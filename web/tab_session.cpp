// The WebSocket side of a tab: reads its requests, hands them to its
// participant, and writes what the participant has for the page through a
// TabOutput. The session reads only while it is open: once a close has
// begun, Beast's close handshake does the reading, and a read of the
// session's own would wait for the close while the close waits for the read.
#include <chrono>
#include <deque>
#include <optional>
#include <utility>

#include "gateway_log.h"
#include "relay_participant.h"
#include "sessions.h"
#include "tab_output.h"
#include "tcp_hold.h"
#if CONF_WEB_TLS
#include "beast_tls.h"
#endif

namespace conf::web {
namespace {

constexpr TabOutput::Limits kOutputLimits{1 << 20, 4096};
// A tab that stays silent this long is pinged; silent for as long again, it
// is dropped (Beast pings at half the idle time and drops at the whole).
constexpr std::chrono::seconds kTabIdle{60};

template <class Stream>
class TabSession final : public Connection, public TabLink, public std::enable_shared_from_this<TabSession<Stream>> {
public:
    TabSession(Stream&& stream, std::shared_ptr<Hub> hub, std::string peer, std::uint32_t address,
               AddressPlace connection_place, AddressPlace tab_place)
        : hub_(std::move(hub)),
          address_(address),
          connection_place_(std::move(connection_place)),
          tab_place_(std::move(tab_place)),
          ws_(std::move(stream)),
          peer_(std::move(peer)) {
        counted_.emplace(*hub_);
    }

    void start(http::request<http::string_body> upgrade) {
        entry_.emplace(*hub_, this);
        participant_ = std::make_shared<RelayParticipant>(ws_.get_executor(), hub_, peer_, address_);
        participant_->attach(this);
        websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = kTabIdle;
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        // The handshake's answer names no library (Beast would name itself
        // and its version where no Server is set).
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, "confweb");
        }));
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::close) on_close_frame();
        });
        ws_.read_message_max(kMaxTabMessage);
        ws_.auto_fragment(false);
        ws_.text(true);
        upgrade_ = std::move(upgrade);
        ws_.async_accept(upgrade_, [self = this->shared_from_this()](error_code ec) { self->on_accept(ec); });
    }

    void stop() override {
        leave_participant();
        if (state_ == State::Open) close_with(websocket::close_code::going_away, u8"会議ゲートウェイが終了しました");
        else end();
    }

    void deliver(Frame frame) override {
        if (out_.push(std::move(frame)) == TabOutput::Push::Overflow) {
            drop(std::to_string(out_.frames()) + " messages (" + std::to_string(out_.bytes()) +
                 " bytes) wait to be sent: the tab does not read them");
            return;
        }
        pump();
    }

private:
    enum class State { Accepting, Open, Closing, Ended };

    void on_accept(error_code ec) {
        upgrade_ = {};
        if (ec || state_ != State::Accepting) {
            end();
            return;
        }
        state_ = State::Open;
        const auto resume_seconds = static_cast<std::int64_t>(hub_->resume_limit.count());
        deliver(std::make_shared<const std::string>(frame::hello(hub_->state.relay, resume_seconds)));
        read_next();
    }

    void read_next() {
        ws_.async_read(read_buffer_, [self = this->shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big)
                log_peer(address_, "closed (1009)",
                         peer_ + ": closed (1009): a message over " + std::to_string(kMaxTabMessage) + " bytes");
            // A browser closes with 1001 when the page goes away (the tab
            // closes, another page opens): as good as a leave. A dropped
            // connection says nothing, and its participant waits.
            if (ec == websocket::error::closed && ws_.reason().code == websocket::close_code::going_away)
                leave_participant();
            end();
            return;
        }
        if (state_ != State::Open) return;
        const std::string message = beast::buffers_to_string(read_buffer_.data());
        read_buffer_.consume(read_buffer_.size());
        if (!ws_.got_text()) {
            refuse(websocket::close_code::unknown_data, "a binary message");
        } else {
            TabRequest request;
            std::string problem;
            if (parse_tab_request(message, &request, &problem)) handle(request);
            else refuse(websocket::close_code::policy_error, problem);
        }
        if (state_ == State::Open) read_next();
    }

    void handle(const TabRequest& request) {
        if (!participant_) return;
        BrowserParticipant& participant = participant_->participant();
        switch (request.kind) {
        case TabRequest::Kind::Join:
            participant.join(request.text);
            break;
        case TabRequest::Kind::Send:
            participant.send(request.text, Clock::now());
            break;
        case TabRequest::Kind::Leave:
            participant.leave();
            break;
        case TabRequest::Kind::Resume:
            resume(request.text);
            break;
        }
    }

    // The page's participant from before a drop, in place of this
    // connection's own, which has not joined. A token is good once.
    void resume(const std::string& token) {
        if (participant_->participant().joined()) {
            participant_->participant().join("");  // says it has joined already
            return;
        }
        std::shared_ptr<RelayParticipant> resumed = hub_->resumes.redeem(token);
        if (!resumed || !resumed->participant().joined()) {
            deliver(std::make_shared<const std::string>(
                frame::notice("left", u8"接続が切れている間に退室しました")));
            deliver(std::make_shared<const std::string>(frame::not_joined()));
            return;
        }
        participant_->detach();
        participant_ = std::move(resumed);
        participant_->attach(this);
        std::size_t missed = 0;
        std::deque<Frame> held = participant_->take_held(&missed);
        BrowserParticipant& participant = participant_->participant();
        deliver(std::make_shared<const std::string>(frame::resumed(
            participant.name_utf8(), participant_->resume_token(), participant.entered(), missed)));
        for (Frame& frame : held) deliver(std::move(frame));
    }

    void replaced() override {
        // The participant goes on with the newer connection.
        participant_.reset();
        if (state_ == State::Open) close_with(static_cast<websocket::close_code>(4000), "replaced");
        else end();
    }

    // Beast answers a close frame with the peer's own code, even one that
    // no endpoint may send (5000 and up, the reserved ones): such a peer
    // gets a protocol error instead, and the connection ends. Beast's own
    // echo then finds the sending side shut. With a write of ours in flight
    // a close frame cannot be put in between, and the connection just ends;
    // so it does over TLS, where no bytes can be written past the stream.
    void on_close_frame() {
        const std::uint16_t code = ws_.reason().code;
        const bool allowed = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
                             (code >= 3000 && code <= 4999) || code == websocket::close_code::none;
        if (allowed) return;
        log_peer(address_, "closed (1002): a close code no endpoint may send",
                 peer_ + ": closed (1002): close code " + std::to_string(code) + ", which no endpoint may send");
        leave_participant();
        out_.abandon();
        tcp::socket& socket = beast::get_lowest_layer(ws_).socket();
        error_code ignored;
        if (!StreamKind<Stream>::secure && !out_.in_flight()) {
            static const unsigned char kProtocolError[] = {0x88, 0x02, 0x03, 0xEA};
            asio::write(socket, asio::buffer(kProtocolError), ignored);
        }
        socket.shutdown(tcp::socket::shutdown_send, ignored);
    }

    // A message the gateway does not take: this tab's connection ends, with
    // a leave notice if it was logged in, and nobody else notices.
    void refuse(websocket::close_code code, const std::string& why) {
        log_peer(address_, why, peer_ + ": closed (" + std::to_string(static_cast<unsigned>(code)) + "): " + why);
        leave_participant();
        close_with(code, why);
    }

    void close_with(websocket::close_code code, const std::string& why) {
        if (!out_.close()) return;
        state_ = State::Closing;
        close_reason_ = websocket::close_reason(code, why.substr(0, 120));
        pump();
    }

    // Starts what the output has next, if nothing is in flight.
    void pump() {
        if (state_ == State::Ended || state_ == State::Accepting) return;
        const TabOutput::Step step = out_.next();
        hold_writes(out_.holding());
        switch (step) {
        case TabOutput::Step::None:
            break;
        case TabOutput::Step::Write:
            ws_.async_write(asio::buffer(out_.front()), [self = this->shared_from_this()](error_code ec, std::size_t) {
                self->out_.done();
                if (ec) self->end();
                else self->pump();
            });
            break;
        case TabOutput::Step::Close:
            ws_.async_close(close_reason_, [self = this->shared_from_this()](error_code) {
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

    // The tab is beyond a clean close: its messages cannot even be sent.
    void drop(const std::string& why) {
        if (out_.closing()) return;
        out_.abandon();
        log_peer(address_, "dropped", peer_ + ": dropped: " + why);
        // Not from inside the participant's own call that got here.
        asio::post(ws_.get_executor(), [self = this->shared_from_this()] {
            self->leave_participant();
            self->end();
        });
    }

    void leave_participant() {
        if (!participant_) return;
        participant_->detach();
        participant_->participant().tab_gone();
        participant_.reset();
    }

    // Everything the connection holds is given back here, whatever is still
    // in flight: the handlers that come back later find it ended.
    void end() {
        if (state_ == State::Ended) return;
        state_ = State::Ended;
        out_.abandon();
        // A connection that dropped without a leave: its participant waits
        // for the page to come back, hearing the room meanwhile.
        if (participant_ && participant_->participant().joined() && hub_->resume_limit.count() > 0 &&
            !hub_->stopping) {
            participant_->go_away();
            hub_->resumes.park(std::move(participant_), Clock::now() + hub_->resume_limit);
            participant_.reset();
        }
        leave_participant();
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
        connection_place_ = AddressPlace();
        tab_place_ = AddressPlace();
        counted_.reset();
        entry_.reset();
    }

    std::shared_ptr<Hub> hub_;
    std::uint32_t address_;
    AddressPlace connection_place_;
    AddressPlace tab_place_;
    std::optional<TabPlace> counted_;
    std::optional<HubEntry> entry_;
    websocket::stream<Stream> ws_;
    http::request<http::string_body> upgrade_;
    std::string peer_;
    std::shared_ptr<RelayParticipant> participant_;
    beast::flat_buffer read_buffer_;
    TabOutput out_{kOutputLimits};
    websocket::close_reason close_reason_;
    State state_ = State::Accepting;
    bool corked_ = false;
};

}  // namespace

template <class Stream>
void start_tab_session(Stream&& stream, http::request<http::string_body> upgrade, std::shared_ptr<Hub> hub,
                       std::string peer, std::uint32_t address, AddressPlace connection_place, AddressPlace tab_place) {
    std::make_shared<TabSession<Stream>>(std::move(stream), std::move(hub), std::move(peer), address,
                                         std::move(connection_place), std::move(tab_place))
        ->start(std::move(upgrade));
}

template void start_tab_session(beast::tcp_stream&&, http::request<http::string_body>, std::shared_ptr<Hub>,
                                std::string, std::uint32_t, AddressPlace, AddressPlace);
#if CONF_WEB_TLS
template void start_tab_session(TlsStream&&, http::request<http::string_body>, std::shared_ptr<Hub>, std::string,
                                std::uint32_t, AddressPlace, AddressPlace);
#endif

}  // namespace conf::web
