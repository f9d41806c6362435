#include "heard_frames.h"

#include "text_codec.h"

namespace conf::web {

Frame HeardFrames::frame_for(std::string_view datagram, std::int64_t time_ms) {
    const auto found = frames_.find(datagram);
    if (found != frames_.end()) {
        Entry& entry = *found->second;
        if (entry.time_ms != time_ms) {
            entry.time_ms = time_ms;
            entry.frame = std::make_shared<const std::string>(frame::line(cp932_to_utf8(datagram), time_ms, false));
            ++built_;
        }
        return entry.frame;
    }

    if (frames_.size() >= capacity_) frames_.clear();
    auto entry = std::make_unique<Entry>();
    entry->bytes.assign(datagram.data(), datagram.size());
    entry->time_ms = time_ms;
    entry->frame = std::make_shared<const std::string>(frame::line(cp932_to_utf8(datagram), time_ms, false));
    ++built_;
    Frame frame = entry->frame;
    const std::string_view key = entry->bytes;
    frames_.emplace(key, std::move(entry));
    return frame;
}

}  // namespace conf::web
