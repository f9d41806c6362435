#include "relay_server.h"

#include <string>
#include <utility>
#include <vector>

#include "protocol.h"
#include "ui_texts.h"

namespace conf {

namespace {

// Names that the exit of a place freed by the relay itself carries in the
// transcript.
constexpr char kReasonSilent[] = "silent";
constexpr char kReasonUnreachable[] = "unreachable";
// Bounce reports read per loop turn: a room of bouncing endpoints must not
// hold up the lines waiting behind them, yet the reports must leave as fast
// as they come (a turn sends at most 16 datagrams' broadcasts), for they
// take their room from the receive queue's memory until read.
constexpr std::size_t kBouncesPerTurn = 512;

// Keeps a datagram's sends until the table is on file.
class HeldSender final : public DatagramSender {
public:
    void send_datagram(const net::SocketAddress& to, std::string_view bytes) override {
        held_.push_back({to, std::string(bytes)});
    }
    void send_all(DatagramSender& out) {
        for (const auto& datagram : held_) out.send_datagram(datagram.first, datagram.second);
        held_.clear();
    }

private:
    std::vector<std::pair<net::SocketAddress, std::string>> held_;
};

}  // namespace

void ImmediateSender::send_datagram(const net::SocketAddress& to, std::string_view bytes) {
    net::send_to(socket_, bytes.data(), bytes.size(), to);
}

bool ReplyLimiter::allow(std::uint32_t address_be, RelayClock::Moment now) {
    const auto known = last_reply_.find(address_be);
    if (known != last_reply_.end()) {
        if (now - known->second < kInterval) return false;
        known->second = now;
        return true;
    }
    if (last_reply_.size() >= kRemembered) {
        // Forgetting costs a walk over every address: at most once an
        // interval, however many new senders arrive.
        if (ever_pruned_ && now - last_pruned_ < kInterval) return false;
        ever_pruned_ = true;
        last_pruned_ = now;
        for (auto entry = last_reply_.begin(); entry != last_reply_.end();) {
            entry = now - entry->second >= kInterval ? last_reply_.erase(entry) : std::next(entry);
        }
        if (last_reply_.size() >= kRemembered) return false;
    }
    last_reply_.emplace(address_be, now);
    return true;
}

bool BounceReportBudget::keep_listening(RelayClock::Moment now, std::size_t taken) {
    if (!began_ || now - interval_began_ >= kInterval) {
        began_ = true;
        interval_began_ = now;
        taken_ = 0;
    }
    taken_ += taken;
    return taken_ < kPerSecond;
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
    // Only a login's reply waits for the table to be on file.
    if (!save_before_reply_ || received.length == 0 || datagram[0] != kLoginMark) {
        handle_datagram(as_received_text(datagram, received.length), sender, out);
    } else {
        HeldSender held;
        handle_datagram(as_received_text(datagram, received.length), sender, held);
        save_now();
        held.send_all(out);
    }
    sends_left();
}

void RelayServer::handle_datagram(std::string_view datagram, const net::SocketAddress& sender,
                                  DatagramSender& out) {
    if (!datagram.empty() && datagram[0] == kLoginMark) {
        handle_login(datagram, sender, out);
        return;
    }
    // Looked up only when someone needs it: the window's relay asks nothing.
    const bool look_up = members_only_ || observer_ != nullptr || forget_after_.count() > 0 || watch_unreachable_;
    const int index = look_up ? table_.find_endpoint_index(sender) : -1;
    const ParticipantSlot* place = index >= 0 ? &table_.slot(index) : nullptr;
    if (index >= 0) heard_from(index);
    const bool leave = !datagram.empty() && datagram[0] == kLeaveMark;
    if (members_only_ && place == nullptr) {
        ++(leave ? drops_.leave_notices : drops_.lines);
        drops_.last_sender = sender;
        if (stranger_replies_.allow(sender.address_be, clock_->now())) out.send_datagram(sender, kNotAMemberReply);
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

    // Members only: an endpoint has one place, which a new login takes again.
    int index = members_only_ ? table_.find_endpoint_index(sender) : -1;
    const bool again = index >= 0;
    if (!again && table_.in_use() >= kMaxParticipants) {
        out.send_datagram(sender, text::kCapacityRefusal);
        return;
    }
    out.send_datagram(sender, text::kLoginAccepted);
    if (again) {
        table_.rename(index, request.name);
    } else {
        index = table_.add_at_lowest(sender, request.name);
    }
    if (index >= 0) {
        heard_from(index);
        bounces_[static_cast<std::size_t>(index)] = Bounces{};
    }
    table_changed();
    if (save_before_reply_) awaits_save_ = true;
    welcome(index, sender, out);
    // The name as stored, NUL-terminated for the observer.
    char name[kMaxStoredName + 1] = {};
    request.name.copy(name, kMaxStoredName);
    broadcast(HeardKind::Entry, compose_entry_notice(request.name).view(), sender, name, out);
    if (!again) view_.show_count(participant_count());
    broadcast(HeardKind::FirstLine, compose_first_line(request.name, request.text).view(), sender, name, out);
}

void RelayServer::welcome(int index, const net::SocketAddress& sender, DatagramSender& out) {
    if (history_.size() > 0) {
        const LocalTime now = clock_->local(clock_->wall_now());
        // The zone's offset is asked once per quarter of an hour of lines, the
        // finest step at which zones change it: a long history costs one
        // conversion to local time, not one per line.
        std::int64_t quarter = 0;
        int offset = 0;
        bool known = false;
        for (std::size_t i = 0; i < history_.size(); ++i) {
            const auto milliseconds =
                std::chrono::duration_cast<std::chrono::milliseconds>(history_.time(i).time_since_epoch()).count();
            LocalTime heard{floor_divide(milliseconds, 1000), 0, 0};
            heard.milliseconds = static_cast<int>(milliseconds - heard.seconds * 1000);
            if (!known || floor_divide(heard.seconds, 900) != quarter) {
                offset = clock_->local(history_.time(i)).utc_offset_seconds;
                quarter = floor_divide(heard.seconds, 900);
                known = true;
            }
            heard.utc_offset_seconds = offset;
            out.send_datagram(sender, history_line(heard, now, history_.line(i)).view());
        }
        out.send_datagram(sender, kHistoryEnd);
    }
    if (roster_ && index >= 0) out.send_datagram(sender, roster_line(table_).view());
}

void RelayServer::heard_from(int index) {
    const auto slot = static_cast<std::size_t>(index);
    last_heard_[slot] = clock_->now();
    bounces_[slot].count = 0;
}

void RelayServer::save_now() {
    if (!awaits_save_) return;
    awaits_save_ = false;
    if (observer_ != nullptr) observer_->on_save_due();
}

bool RelayServer::watch_unreachable() {
    watch_unreachable_ = socket_open_ && net::report_delivery_errors(socket_, true);
    reports_on_ = watch_unreachable_;
    return watch_unreachable_;
}

void RelayServer::take_delivery_errors() {
    if (!watch_unreachable_ || !socket_open_) return;
    net::SocketAddress bounced[kBouncesPerTurn];
    const std::size_t count =
        reports_on_ ? net::take_unreachable_destinations(socket_, bounced, kBouncesPerTurn) : 0;
    for (std::size_t i = 0; i < count; ++i) note_unreachable(bounced[i]);
    // Switching reports off drops those still queued; they were counted
    // against this second's budget anyway.
    const bool listen = bounce_budget_.keep_listening(clock_->now(), count);
    if (listen != reports_on_ && net::report_delivery_errors(socket_, listen)) reports_on_ = listen;
}

void RelayServer::note_unreachable(const net::SocketAddress& destination) {
    const int index = table_.find_endpoint_index(destination);
    if (index < 0) return;
    Bounces& bounces = bounces_[static_cast<std::size_t>(index)];
    const RelayClock::Moment now = clock_->now();
    if (bounces.count == 0) bounces.first = now;
    ++bounces.count;
    bounces.last = now;
}

int RelayServer::free_places_of_the_gone(DatagramSender& out) {
    const RelayClock::Moment now = clock_->now();
    int freed = 0;
    for (int index = 0; index < ParticipantTable::kSlots; ++index) {
        if (table_.slot(index).in_use == 0) continue;
        const auto slot = static_cast<std::size_t>(index);
        const Bounces& bounces = bounces_[slot];
        if (bounces.count >= kUnreachableReports && bounces.last - bounces.first >= kUnreachableSpan) {
            free_place(index, kReasonUnreachable, out);
            ++freed;
        } else if (forget_after_.count() > 0 && now - last_heard_[slot] >= forget_after_) {
            free_place(index, kReasonSilent, out);
            ++freed;
        }
    }
    return freed;
}

void RelayServer::free_place(int index, const char* reason, DatagramSender& out) {
    const ParticipantSlot& slot = table_.slot(index);
    const net::SocketAddress holder = slot.address;
    table_.free(index);
    bounces_[static_cast<std::size_t>(index)] = Bounces{};
    table_changed();
    view_.show_count(participant_count());
    // A freed slot keeps its name.
    broadcast(HeardKind::Exit, compose_exit_notice(slot.name).view(), holder, slot.name, out, reason);
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
                            const char* place, DatagramSender& out, const char* reason) {
    // The room first, its record after the datagram's sends have left:
    // recording adds nothing to the time a line takes to reach everyone.
    table_.broadcast(out, text);
    if (history_.capacity() > 0) history_.add(clock_->wall_now(), text);
    if (observer_ != nullptr && observer_->on_heard(kind, text, sender, place, reason)) awaits_sends_left_ = true;
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
    // Silence is counted from the restart: what was heard before is not known.
    last_heard_.fill(clock_->now());
    bounces_.fill(Bounces{});
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
