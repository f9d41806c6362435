// What confrelay adds to the relay when it runs as an office service: the
// transcript, the participant table on file and the members-only report.
// None of it is part of the window's relay.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "relay_server.h"
#include "table_state.h"
#include "transcript.h"

namespace conf {

struct ServiceOptions {
    std::string transcript_path;  // empty: no transcript
    std::string state_path;       // empty: the table lives in memory only
    bool members_only = false;
};

class RelayService final : public RelayObserver {
public:
    RelayService(RelayServer& relay, const ServiceOptions& options, Report report);
    RelayService(const RelayService&) = delete;
    RelayService& operator=(const RelayService&) = delete;

    // Before the relay starts: puts the table on file back (the relay's view
    // then shows the count restored) and opens the transcript.
    void begin();
    // After every datagram or batch handled, and now and then while nothing
    // arrives: reopens the transcript when asked to or when it was removed
    // (looked at once a second), writes the table if it changed, reports
    // what members-only mode dropped (at most once a minute).
    void tick();
    // When the relay stops.
    void finish();

    bool on_heard(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                  const char* sender_place) override;
    void on_sends_left() override;
    void on_table_changed() override;

private:
    using Clock = std::chrono::steady_clock;

    void reopen_if_asked();
    void report_drops(bool at_end);

    RelayServer& relay_;
    Report report_;
    std::unique_ptr<Transcript> transcript_;
    // What the room heard from the datagram being handled, made into records
    // (local time, UTF-8, JSON: microseconds each) once its sends have left.
    struct Heard {
        std::chrono::system_clock::time_point time;
        HeardKind kind;
        net::SocketAddress sender;
        bool has_place;
        std::string place;
        std::string text;
    };
    std::vector<Heard> held_;
    std::unique_ptr<StateFile> state_;
    bool members_only_;
    std::uint64_t drops_reported_ = 0;
    bool drops_ever_reported_ = false;
    Clock::time_point last_drop_report_;
    Clock::time_point next_removal_check_;
};

}  // namespace conf
