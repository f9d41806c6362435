#include "relay_participant.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <utility>

#include "library_headers_begin.h"
#include <boost/asio/ip/udp.hpp>
#include "library_headers_end.h"

#include "gateway_log.h"
#include "protocol.h"
#include "socket_errors.h"

namespace conf::web {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using error_code = boost::system::error_code;

namespace {

// Datagrams taken from one UDP socket per readiness before the others get
// their turn.
constexpr int kMaxDrain = 1024;

bool port_unreachable(const error_code& ec) {
    return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
           (ec.category() == boost::system::system_category() && means_port_unreachable(ec.value()));
}

// The relay tells participants apart by address and name, and a leave
// notice frees the first place with the sender's address and that name. A
// console participant on the gateway's machine (127.0.0.1 to a relay there)
// and a tab under the same name would share an address, and the tab's leave
// notice could free the console participant's place. With the relay on this
// machine each tab's socket therefore has a loopback address of its own
// (127.1.0.1 to 127.254.255.254, in turn), and the relay sees it as another
// host. A relay elsewhere sees every tab and every console participant of
// this machine under its one LAN address; its --members-only mode (leave
// notices free only the sender's own address and port) keeps them apart.
asio::ip::address_v4 next_loopback_source(std::uint32_t& next) {
    constexpr std::uint32_t kFirst = 0x7F010000;  // 127.1.0.0
    constexpr std::uint32_t kLast = 0x7FFEFFFF;   // 127.254.255.255
    do {
        next = next < kFirst || next >= kLast ? kFirst + 1 : next + 1;
    } while ((next & 0xFF) == 0 || (next & 0xFF) == 0xFF);
    return asio::ip::address_v4(next);
}

// The time a line is heard, as the page shows it.
std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// A UDP socket connected to the relay, with its receive buffer. Handlers
// hold it, so a socket replaced by the next join can finish in peace.
struct RelayLink {
    explicit RelayLink(const asio::any_io_executor& executor) : socket(executor) {}
    udp::socket socket;
    // One byte more than a datagram may hold, to tell a longer one.
    std::array<char, kMaxDatagram + 1> buffer{};
};

RelayParticipant::RelayParticipant(asio::any_io_executor executor, std::shared_ptr<Hub> hub, std::string peer,
                                   std::uint32_t address)
    : hub_(std::move(hub)),
      executor_(std::move(executor)),
      peer_(std::move(peer)),
      participant_(*this, hub_->state, address) {}

// Whatever ends it (the gateway's end among them), the participant leaves.
RelayParticipant::~RelayParticipant() {
    tab_ = nullptr;
    away_ = false;
    participant_.tab_gone();
    hub_->resumes.forget(this);
}

void RelayParticipant::attach(TabLink* tab) {
    TabLink* const before = std::exchange(tab_, tab);
    if (before != nullptr && before != tab) before->replaced();
}

std::string RelayParticipant::resume_token() {
    if (hub_->resume_limit.count() == 0) return {};
    return hub_->resumes.issue(shared_from_this());
}

bool RelayParticipant::open_relay_socket() {
    close_relay_socket();
    auto link = std::make_shared<RelayLink>(executor_);
    error_code ec;
    link->socket.open(udp::v4(), ec);
    if (!ec && hub_->relay.address().is_loopback()) {
        error_code bind_ec;
        link->socket.bind(udp::endpoint(next_loopback_source(hub_->next_loopback_source), 0), bind_ec);
        if (bind_ec) log_peer(0, "no own loopback address", "a tab's socket has no loopback address of its own: " +
                                                                bind_ec.message());
    }
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

DatagramSend RelayParticipant::send_datagram(std::string_view bytes) {
    if (!link_) return DatagramSend::Failed;
    error_code ec;
    link_->socket.send(asio::buffer(bytes.data(), bytes.size()), 0, ec);
    if (!ec) return DatagramSend::Sent;
    if (port_unreachable(ec)) return DatagramSend::Unreachable;
    return DatagramSend::Failed;
}

void RelayParticipant::close_relay_socket() {
    if (!link_) return;
    error_code ignored;
    link_->socket.close(ignored);
    link_.reset();
}

void RelayParticipant::send_to_tab(Frame frame) {
    if (tab_ != nullptr) tab_->deliver(std::move(frame));
    else if (away_) held_.hold(std::move(frame));
}

void RelayParticipant::receive_next(const std::shared_ptr<RelayLink>& link) {
    // The handler holds the participant only weakly: a participant nobody
    // else holds any more has left, and its socket with it.
    link->socket.async_receive(asio::buffer(link->buffer),
                               [weak = weak_from_this(), link](error_code ec, std::size_t length) {
                                   if (const auto self = weak.lock()) self->on_datagram(link, ec, length);
                               });
}

bool RelayParticipant::take_datagram(const error_code& ec, std::size_t length, RelayLink& link) {
    if (!ec) {
        if (length > kMaxDatagram) participant_.receive_failed(ReceiveTrouble::TooLong);
        else participant_.heard(std::string_view(link.buffer.data(), length), now_ms());
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

void RelayParticipant::on_datagram(const std::shared_ptr<RelayLink>& link, const error_code& ec,
                                   std::size_t length) {
    if (link != link_) return;  // a socket closed or replaced since
    if (!take_datagram(ec, length, *link)) return;
    // Everything else already waiting, without a trip through the loop.
    error_code next_ec;
    for (int taken = 0; taken < kMaxDrain && link == link_; ++taken) {
        length = link->socket.receive(asio::buffer(link->buffer), 0, next_ec);
        if (next_ec == asio::error::would_block || next_ec == asio::error::try_again) break;
        if (!take_datagram(next_ec, length, *link)) return;
    }
    if (link == link_) receive_next(link);
}

}  // namespace conf::web
