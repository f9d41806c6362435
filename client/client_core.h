// The client's networking core: joins a server, sends the user's lines,
// logs every datagram that arrives and says goodbye at exit. Everything that
// touches a window goes through ClientView, so the same core runs behind the
// Win32 client window and the console client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client_ids.h"
#include "client_session.h"
#include "conversation_log.h"
#include "udp.h"

namespace conf {

// What the core needs of the window that hosts it. Controls are named by
// their IDC_ identifiers (client_ids.h).
class ClientView {
public:
    // The text of an edit field, at most `max_bytes` bytes of it.
    virtual std::string field_text(int control, std::size_t max_bytes) = 0;
    // The field read as an unsigned decimal the way GetDlgItemInt does:
    // leading blanks skipped, then digits only. False when it is not such a
    // number (conf::parse_unsigned_decimal has the same rules).
    virtual bool field_unsigned(int control, std::uint32_t* value) = 0;
    virtual void set_field_text(int control, const char* text) = 0;
    virtual void enable_control(int control, bool enabled) = 0;
    virtual void set_read_only(int control, bool read_only) = 0;
    virtual void focus_control(int control) = 0;
    // The log field's line count (EM_GETLINECOUNT) and a vertical scroll by
    // that many lines (EM_LINESCROLL), so that the newest line is in view.
    virtual int line_count(int control) = 0;
    virtual void scroll_lines(int control, int lines) = 0;
    // A modal box with an OK button and no icon, owned by the window. Its
    // message loop may call ClientCore::on_socket_event before it returns.
    virtual void show_report(const char* text, const char* caption) = 0;
    // Asks for the socket's read events (on Windows WSAAsyncSelect with
    // FD_READ | FD_WRITE, where WSAEWOULDBLOCK still counts as success).
    // Returns false when the registration failed.
    virtual bool register_socket_events(net::SocketHandle socket) = 0;

protected:
    ~ClientView() = default;
};

// The socket calls the core makes, replaceable one by one so that tests can
// make any of them fail. Defaults to the system's.
struct ClientNetwork {
    bool (*startup)() = net::startup;
    bool (*resolve)(const char* host, std::uint32_t* address_be) = net::resolve_ipv4;
    net::SocketHandle (*open)() = net::open_udp;
    net::SendStatus (*send_to)(net::SocketHandle socket, const void* bytes, std::size_t length,
                               const net::SocketAddress& to) = net::send_to;
    net::ReceiveResult (*receive_from)(net::SocketHandle socket, void* buffer, std::size_t capacity,
                                       net::SocketAddress* from) = net::receive_from;
    bool (*close)(net::SocketHandle socket) = net::close_socket;
};

class ClientCore {
public:
    explicit ClientCore(ClientView& view, const ClientNetwork& network = system_network())
        : view_(view), network_(network) {}
    ~ClientCore();
    ClientCore(const ClientCore&) = delete;
    ClientCore& operator=(const ClientCore&) = delete;

    // The join button: reads port, server and name, resolves the server,
    // opens and registers a socket. Sends nothing.
    void join();
    // The send button: the first line after a join goes out as a login
    // request, every later one as a chat line.
    void send();
    // One socket event; `event_param` is the message's second parameter,
    // whose low 16 bits are the event code.
    void on_socket_event(std::uintptr_t event_param);
    // The network half of exit: the leave notice (only once logged in) and
    // the socket's close.
    void leave();

    bool joined() const { return joined_; }
    bool socket_open() const { return socket_open_; }
    net::SocketHandle socket() const { return socket_; }
    bool logged_in() const { return session_.logged_in(); }
    bool next_line_is_login_request() const { return session_.next_line_is_login_request(); }
    const net::SocketAddress& server_address() const { return server_address_; }
    const ConversationLog& log() const { return log_; }

    static const ClientNetwork& system_network();

private:
    void handle_datagram(std::string_view datagram);
    void show_received_line(std::string_view datagram);
    void return_to_not_joined();
    void set_fields_read_only(bool read_only);
    // False when the system failed to close it; it counts as closed anyway.
    bool close_current_socket();
    // Every report is shown through here. While one box is open, reports of
    // nested events are dropped so that a flood cannot stack boxes.
    void report(const char* text);

    ClientView& view_;
    const ClientNetwork& network_;

    net::SocketHandle socket_ = net::kInvalidSocket;
    bool socket_open_ = false;
    bool joined_ = false;
    ClientSession session_;
    bool report_open_ = false;
    // Where every line goes: the address resolved at join, whoever else
    // sends to us.
    net::SocketAddress server_address_;
    std::string name_;
    ConversationLog log_;
};

}  // namespace conf
