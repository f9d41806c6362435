// The room's transcript: one JSON object per line for every line the room
// hears, in the order the relay sends them, e.g.
//   {"time":"2026-12-07T09:15:02.123+09:00","kind":"line","from":"192.0.2.7:50211",
//    "member":"佐藤","text":"鈴木: こんにちは"}
// "from" is the endpoint that sent the datagram; "member" is the name that
// endpoint holds a place under (null when it holds none), so a line sent
// under another participant's name shows whose it really is.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "relay_host.h"
#include "relay_server.h"
#include "udp.h"

namespace conf {

// A moment as the transcript writes it: RFC 3339 local time with its offset
// from UTC and milliseconds, e.g. 2026-12-07T09:15:02.123+09:00.
struct LocalTime {
    std::int64_t seconds = 0;         // since 1970-01-01T00:00:00Z
    int milliseconds = 0;             // 0..999
    int utc_offset_seconds = 0;       // local time minus UTC
};

LocalTime local_time_at(std::chrono::system_clock::time_point moment);
LocalTime local_time_now();
std::string format_rfc3339(const LocalTime& time);

// One line of the transcript, with its line feed. Texts are code page 932;
// bytes that do not convert show as U+FFFD. Never throws on any input.
std::string transcript_record(const LocalTime& time, HeardKind kind, const net::SocketAddress& from,
                              const char* member, std::string_view text);

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
