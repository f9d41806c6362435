// The server's networking core: opens the server socket, turns every socket
// event into the protocol's answers and broadcasts, keeps the participant
// table and closes the socket at stop. Everything that touches a window goes
// through RelayView, so the same core runs behind the Win32 panel and the
// console relay.
#pragma once

#include <cstdint>
#include <string_view>

#include "participant_table.h"
#include "udp.h"

namespace conf {

enum class ReportOwner { Window, None };

// What the relay needs of the window (or console) that hosts it.
class RelayView {
public:
    // A modal report with an OK button. The window's box runs a message loop
    // that may call RelayServer::on_socket_event again before this returns.
    virtual void show_report(const char* text, const char* caption, ReportOwner owner) = 0;
    virtual void show_count(std::uint32_t count) = 0;
    // Asks for one read event per waiting datagram. Returns false when the
    // registration failed.
    virtual bool register_read_events(net::SocketHandle socket) = 0;

protected:
    ~RelayView() = default;
};

// What a broadcast announces.
enum class HeardKind { Entry, FirstLine, Line, Exit };

// Watches what the room hears and when its table changes; the console relay
// keeps its transcript and its state file this way. The window has none.
class RelayObserver {
public:
    // Called for every broadcast, in the order the broadcasts are sent, just
    // after it was handed to the sender, which may not have sent it yet.
    // `sender` sent the datagram that caused it; `sender_place` is the name
    // under which that endpoint (address and port) holds a place while the
    // datagram is handled (for an entry, the place just taken; for an exit,
    // the place held before the leave notice), or null.
    // Returns true to be called on_sends_left() once the datagram's sends
    // have left, before the next datagram is handled: what costs time (a
    // record written) waits until then, so that the room does not wait.
    virtual bool on_heard(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                          const char* sender_place) = 0;
    // Everything the datagram just handled sent has left (or was given up).
    virtual void on_sends_left() = 0;
    // A place was taken or freed.
    virtual void on_table_changed() = 0;

protected:
    ~RelayObserver() = default;
};

// What members-only mode has refused to pass on since the relay started.
struct MembersOnlyDrops {
    std::uint64_t lines = 0;
    std::uint64_t leave_notices = 0;
    net::SocketAddress last_sender;
};

class RelayServer {
public:
    explicit RelayServer(RelayView& view) : view_(view) {}
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Starts the socket library; reports a failure without an owner and
    // carries on.
    void initialise_networking();

    // Opens, binds and registers the server socket. Reports and returns
    // false on failure. While the socket is open a further start does
    // nothing and returns false.
    bool start(std::uint16_t port);

    // One socket event: `event_param` is the message's second parameter,
    // whose low 16 bits are the event code.
    void on_socket_event(std::uintptr_t event_param);

    // Handles one received datagram (NUL-terminated, at most kMaxDatagram
    // bytes) from `sender`, sending replies and broadcasts through `out`.
    // When awaits_sends_left() is true afterwards, `out` must send what it
    // holds and sends_left() be called before the next datagram is handled.
    void handle_datagram(std::string_view datagram, const net::SocketAddress& sender, DatagramSender& out);
    bool awaits_sends_left() const { return awaits_sends_left_; }
    void sends_left();

    void stop();

    // Null (the default) watches nothing.
    void set_observer(RelayObserver* observer) { observer_ = observer; }

    // Members only: chat lines and leave notices are taken only from an
    // endpoint that holds a place, a leave notice frees only a place of that
    // same endpoint, and an exit is announced only when it freed one. Login
    // requests are answered from anyone.
    void set_members_only(bool on) { members_only_ = on; }
    const MembersOnlyDrops& members_only_drops() const { return drops_; }

    // Replaces the table, as when it is read back after a restart. Shows the
    // count but tells no observer: nothing has changed that is not on file.
    void restore_table(const ParticipantTable& table);

    bool running() const { return running_; }
    bool socket_open() const { return socket_open_; }
    net::SocketHandle socket() const { return socket_; }
    std::uint32_t participant_count() const { return static_cast<std::uint32_t>(table_.in_use()); }
    const ParticipantTable& table() const { return table_; }

private:
    void handle_login(std::string_view datagram, const net::SocketAddress& sender, DatagramSender& out);
    void handle_leave(std::string_view datagram, const net::SocketAddress& sender, const ParticipantSlot* place,
                      DatagramSender& out);
    void broadcast(HeardKind kind, std::string_view text, const net::SocketAddress& sender, const char* place,
                   DatagramSender& out);
    void table_changed();
    void close_after_failure();

    RelayView& view_;
    ParticipantTable table_;
    net::SocketHandle socket_ = net::kInvalidSocket;
    bool socket_open_ = false;
    bool running_ = false;
    RelayObserver* observer_ = nullptr;
    bool awaits_sends_left_ = false;
    bool members_only_ = false;
    MembersOnlyDrops drops_;
};

// Sends each datagram at once on a socket, ignoring failures as a broadcast
// does.
class ImmediateSender final : public DatagramSender {
public:
    explicit ImmediateSender(net::SocketHandle socket) : socket_(socket) {}
    void send_datagram(const net::SocketAddress& to, std::string_view bytes) override;

private:
    net::SocketHandle socket_;
};

}  // namespace conf
