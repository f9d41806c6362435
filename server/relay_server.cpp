#include "relay_server.h"

#include "protocol.h"
#include "ui_texts.h"

namespace conf {

void ImmediateSender::send_datagram(const net::SocketAddress& to, std::string_view bytes) {
    net::send_to(socket_, bytes.data(), bytes.size(), to);
}

void RelayServer::initialise_networking() {
    if (!net::startup()) view_.show_report(ui::kWsaStartupError, ui::kCaptionSystem, ReportOwner::None);
}

bool RelayServer::start(std::uint16_t port) {
    if (socket_open_) return false;

    const net::SocketHandle socket = net::open_udp();
    if (socket == net::kInvalidSocket) {
        view_.show_report(ui::kSocketFailed, ui::kCaptionSystem, ReportOwner::Window);
        return false;
    }
    // Close before reporting: the report's message loop must never see a
    // half-started server.
    if (!net::bind_any(socket, port)) {
        net::close_socket(socket);
        view_.show_report(ui::kBindFailed, ui::kCaptionSystem, ReportOwner::Window);
        return false;
    }
    socket_ = socket;
    socket_open_ = true;
    if (!view_.register_read_events(socket)) {
        close_after_failure();
        view_.show_report(ui::kAsyncFailed, ui::kCaptionSystem, ReportOwner::Window);
        return false;
    }
    running_ = true;
    return true;
}

void RelayServer::close_after_failure() {
    net::close_socket(socket_);
    socket_ = net::kInvalidSocket;
    socket_open_ = false;
}

void RelayServer::on_socket_event(std::uintptr_t event_param) {
    const unsigned event_code = static_cast<unsigned>(event_param & 0xFFFFu);
    if (event_code != kReadEvent) {
        view_.show_report(ui::kOtherEvent, ui::kCaptionSystem, ReportOwner::Window);
        return;
    }
    // Events that were already queued when a failure closed the socket
    // still arrive. Their receive fails as it always did, but the closed
    // handle is never touched again: the system may have reused it.
    if (!socket_open_) {
        view_.show_report(ui::kReceiveFailed, ui::kCaptionSystem, ReportOwner::Window);
        return;
    }

    // This event's own buffer: a report shown by a nested event must not
    // overwrite it.
    char datagram[kDatagramBuffer];
    net::SocketAddress sender;
    const net::ReceiveResult received = net::receive_from(socket_, datagram, kMaxDatagram, &sender);
    switch (received.status) {
    case net::ReceiveStatus::Received:
        break;
    case net::ReceiveStatus::WouldBlock:
        // A nested event already took the datagram this event was for.
        return;
    case net::ReceiveStatus::TooLong:
    case net::ReceiveStatus::PeerUnreachable:
        // One stranger's over-long datagram, or one participant that went
        // away without a leave notice, costs that one datagram, not the
        // whole conference. No box either: a flood would stack them.
        return;
    case net::ReceiveStatus::Failed:
        close_after_failure();
        view_.show_report(ui::kReceiveFailed, ui::kCaptionSystem, ReportOwner::Window);
        return;
    }
    datagram[received.length] = '\0';

    ImmediateSender out(socket_);
    handle_datagram(as_received_text(datagram, received.length), sender, out);
    sends_left();
}

void RelayServer::handle_datagram(std::string_view datagram, const net::SocketAddress& sender,
                                  DatagramSender& out) {
    if (!datagram.empty() && datagram[0] == kLoginMark) {
        handle_login(datagram, sender, out);
        return;
    }
    // Looked up only when someone needs it: the window's relay asks nothing.
    const ParticipantSlot* place = members_only_ || observer_ != nullptr ? table_.find_endpoint(sender) : nullptr;
    const bool leave = !datagram.empty() && datagram[0] == kLeaveMark;
    if (members_only_ && place == nullptr) {
        ++(leave ? drops_.leave_notices : drops_.lines);
        drops_.last_sender = sender;
        return;
    }
    if (leave) {
        handle_leave(datagram, sender, place, out);
    } else {
        broadcast(HeardKind::Line, datagram, sender, place != nullptr ? place->name : nullptr, out);
    }
}

void RelayServer::handle_login(std::string_view datagram, const net::SocketAddress& sender,
                               DatagramSender& out) {
    LoginRequest request;
    if (!parse_login_request(datagram, &request)) return;

    if (table_.in_use() >= kMaxParticipants) {
        out.send_datagram(sender, text::kCapacityRefusal);
        return;
    }
    out.send_datagram(sender, text::kLoginAccepted);
    table_.add(sender, request.name);
    table_changed();
    // The name as stored, NUL-terminated for the observer.
    char name[kMaxStoredName + 1] = {};
    request.name.copy(name, kMaxStoredName);
    broadcast(HeardKind::Entry, compose_entry_notice(request.name).view(), sender, name, out);
    view_.show_count(participant_count());
    broadcast(HeardKind::FirstLine, compose_first_line(request.name, request.text).view(), sender, name, out);
}

void RelayServer::handle_leave(std::string_view datagram, const net::SocketAddress& sender,
                               const ParticipantSlot* place, DatagramSender& out) {
    // A freed slot keeps its name, so the place found before the leave
    // still names who held it.
    const char* place_name = place != nullptr ? place->name : nullptr;
    // Members only: behind one address (a NAT, a terminal server) a member
    // must not free another member's place by naming it.
    const std::string_view name = leave_notice_name(datagram);
    const bool freed = members_only_ ? table_.remove_endpoint(sender, name) : table_.remove(sender, name);
    if (freed) {
        table_changed();
        view_.show_count(participant_count());
    } else if (members_only_) {
        ++drops_.leave_notices;
        drops_.last_sender = sender;
        return;
    }
    // Otherwise every leave notice is announced, matched or not; the notice
    // carries the name as the participant sent it.
    broadcast(HeardKind::Exit, compose_exit_notice(datagram.substr(1)).view(), sender, place_name, out);
}

void RelayServer::broadcast(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                            const char* place, DatagramSender& out) {
    // The room first, its record after the datagram's sends have left:
    // recording adds nothing to the time a line takes to reach everyone.
    table_.broadcast(out, text);
    if (observer_ != nullptr && observer_->on_heard(kind, text, sender, place)) awaits_sends_left_ = true;
}

void RelayServer::sends_left() {
    if (!awaits_sends_left_) return;
    awaits_sends_left_ = false;
    if (observer_ != nullptr) observer_->on_sends_left();
}

void RelayServer::table_changed() {
    if (observer_ != nullptr) observer_->on_table_changed();
}

void RelayServer::restore_table(const ParticipantTable& table) {
    table_ = table;
    view_.show_count(participant_count());
}

void RelayServer::stop() {
    if (!socket_open_) return;
    const bool closed = net::close_socket(socket_);
    socket_ = net::kInvalidSocket;
    socket_open_ = false;
    if (!closed) view_.show_report(ui::kCloseFailed, ui::kCaptionError, ReportOwner::Window);
}

}  // namespace conf
