// The participant table kept on file, so that a relay that restarts (after a
// crash, an upgrade or a reboot) goes on with the same room: the clients
// cannot tell that it restarted. The file is a small versioned JSON document:
//   {"format":"confrelay participant table","version":1,"participants":[
//     {"slot":0,"address":"192.0.2.7","port":50211,"name":"佐藤","name_cp932":"8db293a1"}]}
// The code-page-932 bytes of a name are kept in hexadecimal, so any name
// comes back exactly; "name" beside them is for people and is not read.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "participant_table.h"
#include "transcript.h"

namespace conf {

std::string table_document(const ParticipantTable& table);

// Fills `table` from a document and returns true, or returns false with the
// reason in `fault` when the document is not a whole, valid table of this
// version. Never throws.
bool read_table_document(std::string_view document, ParticipantTable* table, std::string* fault);

class StateFile {
public:
    // `clock` null is the system's.
    StateFile(std::string path, Report report, const RelayClock* clock = nullptr)
        : path_(std::move(path)), report_(std::move(report)), clock_(clock != nullptr ? *clock : system_relay_clock()) {}

    // The table on file; an empty one when there is no file yet. A file
    // that cannot be read or is not a valid table is reported and renamed
    // aside (to FILE.bad-<local time>), and the relay starts empty.
    ParticipantTable load();

    void changed() { dirty_ = true; }
    // Writes the table if it changed since it was last written. A failed
    // write is reported once and tried again, at most once a second.
    void save_if_changed(const ParticipantTable& table);

private:
    void set_aside(const std::string& why);

    std::string path_;
    Report report_;
    const RelayClock& clock_;
    bool dirty_ = false;
    bool failing_ = false;
    RelayClock::Moment next_attempt_{};
};

}  // namespace conf
