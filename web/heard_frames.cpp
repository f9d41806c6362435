#include "heard_frames.h"

#include "text_codec.h"

namespace conf::web {

Frame HeardFrames::frame_for(std::string_view datagram) {
    const auto found = frames_.find(datagram);
    if (found != frames_.end()) return found->second->frame;

    if (frames_.size() >= capacity_) frames_.clear();
    auto entry = std::make_unique<Entry>();
    entry->bytes.assign(datagram.data(), datagram.size());
    entry->frame = std::make_shared<const std::string>(frame::line(cp932_to_utf8(datagram)));
    ++built_;
    Frame frame = entry->frame;
    const std::string_view key = entry->bytes;
    frames_.emplace(key, std::move(entry));
    return frame;
}

}  // namespace conf::web
