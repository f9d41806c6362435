// The room's transcript: one JSON object per line for every line the room
// hears, in the order the relay sends them, e.g.
//   {"time":"2026-12-07T09:15:02.123+09:00","kind":"line","from":"192.0.2.7:50211",
//    "member":"佐藤","text":"鈴木: こんにちは"}
// "from" is the endpoint that sent the datagram; "member" is the name that
// endpoint holds a place under (null when it holds none), so a line sent
// under another participant's name shows whose it really is. An exit the
// relay made itself, for a place whose holder is gone, adds "reason":
// "silent" (nothing heard for the time allowed) or "unreachable" (sends to
// it bounced).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "relay_clock.h"
#include "relay_host.h"
#include "relay_server.h"
#include "udp.h"

namespace conf {

// RFC 3339 local time with its offset from UTC and milliseconds, e.g.
// 2026-12-07T09:15:02.123+09:00; and back, for any offset.
std::string format_rfc3339(const LocalTime& time);
bool parse_rfc3339(std::string_view text, LocalTime* time);


// One line of the transcript, with its line feed. Texts are code page 932;
// bytes that do not convert show as U+FFFD. `reason` (if any) says why the
// relay itself freed a place. Never throws on any input.
std::string transcript_record(const LocalTime& time, HeardKind kind, const net::SocketAddress& from,
                              const char* member, std::string_view text, const char* reason = nullptr);

// What the room heard last, from the end of a transcript: at most `count`
// records, oldest first, each with the moment it was heard and its text in
// code page 932 (characters that have no form there become '?'). A first
// line cut off by the tail and any line that is not a whole record are
// passed over. Never throws on any input.
struct HeardLine {
    RelayClock::WallTime time;
    std::string text;
};
std::vector<HeardLine> last_heard_lines(std::string_view transcript_tail, std::size_t count);

using Report = std::function<void(const std::string&)>;

// The transcript file. A record that cannot be written is counted as lost,
// and the relay goes on: the conference matters more than its record.
// Trouble is reported once when it begins and once when it ends, with the
// number of records lost in between.
class Transcript {
public:
    Transcript(std::string path, Report report) : path_(std::move(path)), report_(std::move(report)) {}

    void open();
    // Closes and opens the file again under its name, after a rotation.
    void reopen();
    void append(std::string_view record);
    // When the open file was removed: reports it with the number of records
    // written since the last check (the most that may have gone with it) and
    // begins a new file under the name.
    void check_not_removed();
    // Reports the records still lost at the end.
    void finish();

private:
    void lost(const std::string& why);
    void trouble(const std::string& why);

    std::string path_;
    Report report_;
    host::AppendFile file_;
    bool failing_ = false;
    std::uint64_t lost_ = 0;
    std::uint64_t written_since_check_ = 0;
};

}  // namespace conf
