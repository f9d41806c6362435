// What confrelay adds to the relay when it runs as an office service: the
// transcript, the participant table on file and the members-only report.
// None of it is part of the window's relay.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "relay_server.h"
#include "table_state.h"
#include "transcript.h"

namespace conf {

struct ServiceOptions {
    std::string transcript_path;  // empty: no transcript
    std::string state_path;       // empty: the table lives in memory only
    bool members_only = false;
    // Places of endpoints silent this long are freed; zero: never.
    std::chrono::seconds forget_after{0};
    // Places of endpoints whose sends keep bouncing are freed.
    bool free_unreachable = false;
    // Lines of before a newcomer is sent; with a transcript they survive a
    // restart.
    std::size_t history = 0;
    // A newcomer is told who holds a place.
    bool roster = false;
};

// The largest part of the transcript's end read at start for the history:
// room for the longest records, never the whole file.
constexpr std::size_t kHistoryTailPerLine = 8 * 1024;

// "90s", "15m", "12h", "2d": a positive whole number of seconds, minutes,
// hours or days, at most a year. Anything else is refused.
bool parse_duration(std::string_view text, std::chrono::seconds* duration);
// A whole number from 0 to `largest`, digits only.
bool parse_count(std::string_view text, std::size_t largest, std::size_t* count);

// The participant count as a line of output, at most one a second however
// fast it changes; the last count is always printed, a second late at most.
class CoalescedCount {
public:
    CoalescedCount(const RelayClock& clock, std::function<void(std::uint32_t)> print)
        : clock_(clock), print_(std::move(print)) {}
    void changed(std::uint32_t count);
    // Prints a held count once its second has passed; `at_end`: at once.
    void tick(bool at_end = false);

private:
    const RelayClock& clock_;
    std::function<void(std::uint32_t)> print_;
    bool held_ = false;
    bool ever_printed_ = false;
    std::uint32_t count_ = 0;
    std::uint32_t last_count_printed_ = 0;
    RelayClock::Moment last_printed_{};
};

// What the service takes from its surroundings; a null member is the
// system's own (its clocks, the signal handlers' flags, the relay's socket).
struct ServiceSurroundings {
    const RelayClock* clock = nullptr;
    host::SignalFlags* signals = nullptr;
    // Where the service sends what it announces by itself (the exits of the
    // gone).
    DatagramSender* out = nullptr;
};

class RelayService final : public RelayObserver {
public:
    RelayService(RelayServer& relay, const ServiceOptions& options, Report report,
                 const ServiceSurroundings& surroundings = {});
    RelayService(const RelayService&) = delete;
    RelayService& operator=(const RelayService&) = delete;

    // Before the relay starts: puts the table on file back (the relay's view
    // then shows the count restored), takes the history from the
    // transcript's end and opens the transcript.
    void begin();
    // After the relay started: asks for bounce reports when the places of
    // unreachable endpoints are to be freed. Returns false where the system
    // cannot tell.
    bool watch_unreachable();
    // After every datagram or batch handled, and now and then while nothing
    // arrives: reopens the transcript when asked to or when it was removed
    // (looked at once a second), writes the table if it changed, reports
    // what members-only mode dropped (at most once a minute), frees the
    // places of the gone (silent ones looked for once a second).
    void tick();
    // When the relay stops.
    void finish();

    bool on_heard(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                  const char* sender_place, const char* reason) override;
    void on_sends_left() override;
    void on_table_changed() override;
    void on_save_due() override;

private:
    using Moment = RelayClock::Moment;

    void reopen_if_asked();
    void report_drops(bool at_end);
    void free_places_of_the_gone();
    void take_history_from_transcript(const std::string& path, std::size_t lines);

    RelayServer& relay_;
    Report report_;
    const RelayClock& clock_;
    host::SignalFlags& signals_;
    DatagramSender* out_;
    bool free_unreachable_;
    bool forgets_;
    Moment next_silence_check_{};
    std::unique_ptr<Transcript> transcript_;
    // What the room heard from the datagram being handled, made into records
    // (local time, UTF-8, JSON: microseconds each) once its sends have left.
    struct Heard {
        RelayClock::WallTime time;
        const char* reason;
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
    Moment last_drop_report_{};
    Moment next_removal_check_{};
};

}  // namespace conf
