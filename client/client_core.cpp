#include "client_core.h"

#include "protocol.h"
#include "ui_texts.h"

namespace conf {
namespace {

// A field read with a byte limit may end in half a double-byte character;
// it is dropped rather than sent.
std::string read_field(ClientView& view, int control, std::size_t max_bytes) {
    std::string text = view.field_text(control, max_bytes);
    text.resize(cp932_fit(text, max_bytes));
    return text;
}

}  // namespace

const ClientNetwork& ClientCore::system_network() {
    static const ClientNetwork network;
    return network;
}

ClientCore::~ClientCore() {
    close_current_socket();
}

void ClientCore::report(const char* text) {
    if (report_open_) return;
    report_open_ = true;
    view_.show_report(text, ui::kCaptionError);
    report_open_ = false;
}

void ClientCore::join() {
    if (!network_.startup()) report(ui::kSocketInitFailed);

    std::uint32_t port = 0;
    if (!view_.field_unsigned(IDC_PORT, &port) || port == 0 || port > 65535) {
        report(ui::kPortInvalid);
        return;
    }
    const std::string server = read_field(view_, IDC_SERVER, kMaxServerName);
    if (server.empty()) {
        report(ui::kServerNameInvalid);
        return;
    }
    name_ = read_field(view_, IDC_NAME, kMaxClientName);
    if (name_.empty()) {
        report(ui::kNameInvalid);
        return;
    }
    std::uint32_t address_be = 0;
    if (!network_.resolve(server.c_str(), &address_be)) {
        report(ui::kServerUnknown);
        return;
    }
    server_address_ = net::make_address(0, static_cast<std::uint16_t>(port));
    server_address_.address_be = address_be;

    // The socket a capacity refusal left open is of no more use; without
    // this each refused join would leak one.
    close_current_socket();
    const net::SocketHandle socket = network_.open();
    if (socket == net::kInvalidSocket) {
        report(ui::kSocketOpenFailed);
        return;
    }
    socket_ = socket;
    socket_open_ = true;
    if (!view_.register_socket_events(socket)) {
        // Closed before the box: its message loop must not find a socket
        // that is open but not joined.
        close_current_socket();
        report(ui::kAsyncFailed);
        return;
    }

    joined_ = true;
    view_.enable_control(IDC_JOIN, false);
    view_.enable_control(IDC_SEND, true);
    set_fields_read_only(true);
    view_.focus_control(IDC_INPUT);
}

void ClientCore::send() {
    const std::string input = read_field(view_, IDC_INPUT, kMaxInput);
    if (input.empty()) {
        report(ui::kInputEmpty);
        return;
    }
    const Line line = session_.compose(name_, input);
    if (!socket_open_ || network_.send_to(socket_, line.c_str(), line.size(), server_address_) != net::SendStatus::Sent) {
        report(ui::kSendFailed);
        return;
    }
    view_.set_field_text(IDC_INPUT, "");
    view_.focus_control(IDC_INPUT);
}

void ClientCore::on_socket_event(std::uintptr_t event_param) {
    // Write readiness, which the registration also asks for, means nothing
    // here.
    if ((event_param & 0xFFFFu) != kReadEvent) return;
    // An event queued for a socket that is closed by now.
    if (!socket_open_) return;

    // This event's own buffer: a box it shows may run nested events, and
    // what it does after the box must still be about its own datagram.
    char buffer[kDatagramBuffer];
    // The sender is deliberately not asked for: lines go to the server
    // resolved at join, never to whoever sent a datagram last.
    const net::ReceiveResult received = network_.receive_from(socket_, buffer, kMaxDatagram, nullptr);
    switch (received.status) {
    case net::ReceiveStatus::Received:
        break;
    case net::ReceiveStatus::WouldBlock:
        // A nested event already took the datagram this event was for.
        return;
    case net::ReceiveStatus::TooLong:
    case net::ReceiveStatus::PeerUnreachable:
    case net::ReceiveStatus::Failed:
        report(ui::kReceiveFailed);
        return;
    }
    handle_datagram(as_received_text(buffer, received.length));
}

void ClientCore::handle_datagram(std::string_view datagram) {
    const ClientSession::Heard heard = session_.hear(datagram);
    show_received_line(datagram);
    if (heard == ClientSession::Heard::CapacityRefusal) {
        report(ui::kLoginLater);
        return_to_not_joined();
    }
}

void ClientCore::show_received_line(std::string_view datagram) {
    log_.append_line(datagram);
    view_.set_field_text(IDC_LOG, log_.c_str());
    view_.scroll_lines(IDC_LOG, view_.line_count(IDC_LOG));
    if (log_.needs_clearing()) {
        // Emptied before the box: lines that arrive while it is open start
        // the new log instead of pushing the full one past its end.
        log_.clear();
        view_.set_field_text(IDC_LOG, "");
        report(ui::kLogCleared);
    }
}

void ClientCore::return_to_not_joined() {
    // The socket stays open and registered until the next join replaces
    // it; the session has made the next line a login request again.
    joined_ = false;
    view_.enable_control(IDC_SEND, false);
    view_.enable_control(IDC_JOIN, true);
    set_fields_read_only(false);
    view_.focus_control(IDC_JOIN);
}

void ClientCore::set_fields_read_only(bool read_only) {
    view_.set_read_only(IDC_PORT, read_only);
    view_.set_read_only(IDC_SERVER, read_only);
    view_.set_read_only(IDC_NAME, read_only);
}

bool ClientCore::close_current_socket() {
    if (!socket_open_) return true;
    const bool closed = network_.close(socket_);
    socket_ = net::kInvalidSocket;
    socket_open_ = false;
    return closed;
}

void ClientCore::leave() {
    if (!socket_open_) return;
    Line notice;
    if (session_.take_leave_notice(name_, &notice))
        network_.send_to(socket_, notice.c_str(), notice.size(), server_address_);
    joined_ = false;
    if (!close_current_socket()) report(ui::kCloseFailed);
}

}  // namespace conf
