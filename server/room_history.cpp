#include "room_history.h"

#include <cstdio>


namespace conf {
namespace {

constexpr std::string_view kRosterHead{"\x8E\x51\x89\xC1\x8E\xD2\x20", 7};  // "参加者 "
constexpr std::string_view kPeople{"\x90\x6C", 2};                         // "人"
constexpr std::string_view kNameSeparator{"\x81\x41", 2};                  // "、"
constexpr std::string_view kAndOthers{"\x81\x63\x82\xD9\x82\xA9", 6};      // "…ほか"

}  // namespace

void RoomHistory::set_capacity(std::size_t capacity) {
    entries_.assign(capacity < kLargest ? capacity : kLargest, Entry{});
    first_ = 0;
    count_ = 0;
}

void RoomHistory::add(RelayClock::WallTime heard, std::string_view line) {
    if (entries_.empty()) return;
    Entry* slot;
    if (count_ < entries_.size()) {
        slot = &entries_[(first_ + count_) % entries_.size()];
        ++count_;
    } else {
        slot = &entries_[first_];
        first_ = (first_ + 1) % entries_.size();
    }
    slot->time = heard;
    slot->line.assign(line.data(), line.size());
}

Line history_line(const LocalTime& heard, const LocalTime& now, std::string_view line) {
    const LocalClockFace face = clock_face(heard);
    char stamp[40];
    if (face.day < clock_face(now).day) {
        std::snprintf(stamp, sizeof stamp, "[%d/%d %02d:%02d] ", face.month, face.day_of_month, face.hour,
                      face.minute);
    } else {
        std::snprintf(stamp, sizeof stamp, "[%02d:%02d] ", face.hour, face.minute);
    }
    Line composed(stamp);
    composed.append(line);
    return composed;
}

Line roster_line(const ParticipantTable& table) {
    std::vector<std::string_view> names;
    for (int index = 0; index < ParticipantTable::kSlots; ++index) {
        if (table.slot(index).in_use != 0) names.emplace_back(table.slot(index).name);
    }
    std::string head(kRosterHead);
    head += std::to_string(names.size());
    head += kPeople;
    head += ": ";
    auto others = [](std::size_t left) {
        return std::string(kAndOthers) + std::to_string(left) + std::string(kPeople);
    };
    // As many names as fit together with the note of how many do not.
    std::size_t shown = 0;
    std::size_t length = head.size();
    for (; shown < names.size(); ++shown) {
        const std::size_t added = (shown > 0 ? kNameSeparator.size() : 0) + names[shown].size();
        const std::size_t left_after = names.size() - shown - 1;
        const std::size_t note = left_after > 0 ? others(left_after).size() : 0;
        if (length + added + note > kMaxDatagram) break;
        length += added;
    }
    std::string text = head;
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) text += kNameSeparator;
        text += names[i];
    }
    if (shown < names.size()) text += others(names.size() - shown);
    return Line(text);
}

}  // namespace conf
