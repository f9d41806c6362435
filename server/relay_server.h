// The server's networking core: opens the server socket, turns every socket
// event into the protocol's answers and broadcasts, keeps the participant
// table and closes the socket at stop. Everything that touches a window goes
// through RelayView, so the same core runs behind the Win32 panel and the
// console relay.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "participant_table.h"
#include "relay_clock.h"
#include "room_history.h"
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
    // `reason` is null unless the relay freed the place itself ("silent",
    // "unreachable").
    virtual bool on_heard(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                          const char* sender_place, const char* reason) = 0;
    // Everything the datagram just handled sent has left (or was given up).
    virtual void on_sends_left() = 0;
    // A place was taken, renamed or freed.
    virtual void on_table_changed() = 0;
    // With save_before_reply: the table must be on file now, before the
    // login accepted replies waiting to be sent leave.
    virtual void on_save_due() {}

protected:
    ~RelayObserver() = default;
};

// "会議に参加していません。いったん終了してから、もう一度参加してください":
// what members-only mode tells a sender without a place, so that someone
// whose place was freed learns why nobody hears them and what to do.
inline constexpr std::string_view kNotAMemberReply{
    "\x89\xEF\x8B\x63\x82\xC9\x8E\x51\x89\xC1\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81\x42"
    "\x82\xA2\x82\xC1\x82\xBD\x82\xF1\x8F\x49\x97\xB9\x82\xB5\x82\xC4\x82\xA9\x82\xE7\x81\x41\x82\xE0"
    "\x82\xA4\x88\xEA\x93\x78\x8E\x51\x89\xC1\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2",
    70};

// Each report of a bounced send costs the relay work of its own, and on the
// same host it also splits a batch of sends in two: in a busy room with
// closed receivers that is thousands a second. The freeing rule needs only
// a few per place, so once `kPerSecond` reports were taken in a second the
// reports are switched off until the next second begins. A quiet room never
// comes near it; a flood of forged reports costs at most that many.
class BounceReportBudget {
public:
    static constexpr std::size_t kPerSecond = 512;
    static constexpr std::chrono::seconds kInterval{1};

    // Counts `taken` reports read at `now`; returns whether reports should
    // be on from now.
    bool keep_listening(RelayClock::Moment now, std::size_t taken);

private:
    RelayClock::Moment interval_began_{};
    bool began_ = false;
    std::size_t taken_ = 0;
};

// At most one reply per sender address (not port) per interval, remembering
// a bounded number of addresses: a flood of forged senders gets few replies
// and costs a fixed amount of memory.
class ReplyLimiter {
public:
    static constexpr std::size_t kRemembered = 1024;
    static constexpr std::chrono::seconds kInterval{10};

    bool allow(std::uint32_t address_be, RelayClock::Moment now);

private:
    std::unordered_map<std::uint32_t, RelayClock::Moment> last_reply_;
    RelayClock::Moment last_pruned_{};
    bool ever_pruned_ = false;
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
    // A login request from an endpoint that already holds a place takes
    // that place again under the new name, and a sender without a place is
    // told so (at most once per address per ten seconds).
    void set_members_only(bool on) { members_only_ = on; }
    const MembersOnlyDrops& members_only_drops() const { return drops_; }

    // Null is the system's clocks.
    void set_clock(const RelayClock* clock) { clock_ = clock != nullptr ? clock : &system_relay_clock(); }

    // A newcomer is first sent the last `lines` broadcasts, stamped with the
    // time they were heard.
    void set_history(std::size_t lines) { history_.set_capacity(lines); }
    // Lines heard before a restart, oldest first.
    void add_history(RelayClock::WallTime heard, std::string_view line) { history_.add(heard, line); }
    const RoomHistory& history() const { return history_; }
    // A newcomer is sent who holds a place.
    void set_roster(bool on) { roster_ = on; }

    // A login accepted reply leaves only after the observer was told
    // on_save_due(): the sends of handling wait for save_now().
    void set_save_before_reply(bool on) { save_before_reply_ = on; }
    bool awaits_save() const { return awaits_save_; }
    void save_now();

    // Places whose holder is gone. A place is silent when nothing was heard
    // from its endpoint for `silent_after` (zero: never); it is unreachable
    // when at least kUnreachableReports sends to its endpoint bounced over
    // at least kUnreachableSpan and nothing was heard from it meanwhile.
    static constexpr int kUnreachableReports = 3;
    static constexpr std::chrono::seconds kUnreachableSpan{10};
    void set_forget_after(std::chrono::seconds silent_after) { forget_after_ = silent_after; }
    // Asks the system to report the sends that bounce (after start).
    // Returns false where it cannot.
    bool watch_unreachable();
    // Reads a bounded number of bounce reports waiting on the socket; the
    // loops call it every turn.
    void take_delivery_errors();
    // A send to `destination` bounced.
    void note_unreachable(const net::SocketAddress& destination);
    // Frees every silent or unreachable place with the exit notice its
    // holder's leave would have brought. Returns how many.
    int free_places_of_the_gone(DatagramSender& out);

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
                   DatagramSender& out, const char* reason = nullptr);
    void welcome(int index, const net::SocketAddress& sender, DatagramSender& out);
    void heard_from(int index);
    void free_place(int index, const char* reason, DatagramSender& out);
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
    ReplyLimiter stranger_replies_;
    const RelayClock* clock_ = &system_relay_clock();
    RoomHistory history_;
    bool roster_ = false;
    bool save_before_reply_ = false;
    bool awaits_save_ = false;
    std::chrono::seconds forget_after_{0};
    bool watch_unreachable_ = false;
    bool reports_on_ = false;
    BounceReportBudget bounce_budget_;
    // Per slot: when its endpoint was last heard, and the bounces since.
    struct Bounces {
        int count = 0;
        RelayClock::Moment first{};
        RelayClock::Moment last{};
    };
    std::array<RelayClock::Moment, ParticipantTable::kSlots> last_heard_{};
    std::array<Bounces, ParticipantTable::kSlots> bounces_{};
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
