// One browser tab as a participant of the conference, without sockets: the
// gateway feeds it the tab's requests and what its UDP socket hears, and it
// answers through ParticipantHost. It follows the client's rules
// (ClientSession): the first line after a join is the login request, the
// accepted reply logs in, a refusal before that returns to not joined, the
// leave notice goes out once logged in (and, unlike the client's, while the
// login request waits for its answer). The messages to the tab are described in
// web/README.md.
#pragma once

#include <cstddef>
#include <deque>
#include <cstdint>
#include <string>
#include <string_view>

#include "address_rates.h"
#include "client_session.h"
#include "heard_frames.h"
#include "participant_registry.h"
#include "tab_messages.h"
#include "token_bucket.h"

namespace conf::web {

enum class DatagramSend { Sent, Unreachable, Failed };
enum class ReceiveTrouble { TooLong, Unreachable, Failed };

// What the gateway does for one participant.
class ParticipantHost {
public:
    // A new UDP socket connected to the relay, in place of any open one.
    virtual bool open_relay_socket() = 0;
    virtual DatagramSend send_datagram(std::string_view bytes) = 0;
    virtual void close_relay_socket() = 0;
    virtual void send_to_tab(Frame frame) = 0;
    // A token the page may resume this participant with later, or empty.
    virtual std::string resume_token() = 0;

protected:
    ~ParticipantHost() = default;
};

// What all the participants of one gateway share.
struct GatewayState {
    explicit GatewayState(std::string relay_shown, std::size_t max_participants = kMaxParticipants)
        : relay(std::move(relay_shown)), registry(max_participants), heard(1024) {}

    std::string relay;  // the relay as the page shows it
    // A joined participant that has not entered the room (sent its first
    // line) within this time gives up its name and place.
    std::chrono::steady_clock::duration enter_limit = std::chrono::seconds(600);
    ParticipantRegistry registry;
    HeardFrames heard;
    AddressRates rates;
};

class BrowserParticipant final : public NameHolder {
public:
    // `address`: the tab's remote IPv4 address (host order), whose rate
    // limits it shares with every other tab of that address.
    BrowserParticipant(ParticipantHost& host, GatewayState& gateway, std::uint32_t address = 0)
        : host_(host), gateway_(gateway), address_(address) {}
    // Frees a name still held; the gateway calls tab_gone() first.
    ~BrowserParticipant();
    BrowserParticipant(const BrowserParticipant&) = delete;
    BrowserParticipant& operator=(const BrowserParticipant&) = delete;

    // The tab's requests.
    void join(std::string_view name_utf8, Clock::time_point now = Clock::now());
    void send(std::string_view text_utf8, Clock::time_point now);
    void leave();

    // The UDP socket's events: a datagram as received, or a failed receive.
    // `time_ms`: when it was received, milliseconds since the Unix epoch.
    void heard(std::string_view datagram, std::int64_t time_ms = 0);
    void receive_failed(ReceiveTrouble trouble);

    // The tab closed, its connection broke or the gateway stops: as leave,
    // with nothing left to tell the tab.
    void tab_gone();

    bool joined() const { return joined_; }
    bool logged_in() const { return session_.logged_in(); }
    bool holds_name() const { return holds_name_; }
    std::string name_utf8() const;

    // NameHolder
    bool entered() const override { return entered_; }
    void name_taken() override;
    void check_enter_deadline(Clock::time_point now) override;

private:
    void to_tab(std::string message);
    void notice(std::string_view code, std::string_view text_utf8);
    void unsent(std::string_view code, std::string_view text_utf8);
    std::string unreachable_text() const;
    void release_name();
    // Leave notice when due, socket closed.
    void end_session();
    // The session ended, name freed.
    void finish();

    ParticipantHost& host_;
    GatewayState& gateway_;
    ClientSession session_;
    std::uint32_t address_;
    std::string name_;  // code page 932, as it goes into every line
    bool joined_ = false;
    bool socket_open_ = false;
    bool login_in_flight_ = false;  // sent, neither accepted nor refused yet
    bool holds_name_ = false;
    bool entered_ = false;  // the login request went out
    Clock::time_point joined_at_{};
    // What the relay will send back of the lines this participant sent,
    // oldest first, to tell its own lines from others'.
    std::deque<std::string> echoes_;
};

}  // namespace conf::web
