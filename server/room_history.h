// What a late joiner is told on arrival: the lines the room heard before
// (each with the time it was heard) and who holds a place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "participant_table.h"
#include "relay_clock.h"

namespace conf {

// "（ここまでが入室前の発言です）": after the lines of before, if any.
inline constexpr std::string_view kHistoryEnd{
    "\x81\x69\x82\xB1\x82\xB1\x82\xDC\x82\xC5\x82\xAA\x93\xFC\x8E\xBA\x91\x4F\x82\xCC\x94\xAD\x8C\xBE\x82\xC5\x82\xB7"
    "\x81\x6A",
    30};

// The last lines the room heard, oldest first; a fixed ring, so that keeping
// a line never allocates once the ring has gone round.
class RoomHistory {
public:
    static constexpr std::size_t kLargest = 500;

    // Keeps the last `capacity` lines (at most kLargest); 0 keeps none.
    void set_capacity(std::size_t capacity);
    std::size_t capacity() const { return entries_.size(); }
    std::size_t size() const { return count_; }

    void add(RelayClock::WallTime heard, std::string_view line);
    // Oldest first.
    RelayClock::WallTime time(std::size_t index) const { return entry(index).time; }
    std::string_view line(std::size_t index) const { return entry(index).line; }

private:
    struct Entry {
        RelayClock::WallTime time;
        std::string line;
    };
    const Entry& entry(std::size_t index) const { return entries_[(first_ + index) % entries_.size()]; }

    std::vector<Entry> entries_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

// "[HH:MM] line", or "[M/D HH:MM] line" for a line of an earlier day than
// `now`, in local time; cut to a datagram on a character boundary.
Line history_line(const LocalTime& heard, const LocalTime& now, std::string_view line);

// "参加者 N人: 名前、名前、…", every place in slot order; when the names do
// not all fit a datagram, as many as fit followed by "…ほかK人".
Line roster_line(const ParticipantTable& table);

}  // namespace conf
