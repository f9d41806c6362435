// The frames of lines heard from the relay, built once per distinct line.
//
// The relay sends each line to every participant, so the gateway hears the
// same bytes once per joined tab, on as many sockets, in no fixed order. The
// frame is converted and serialised the first time and shared after that. The
// cache keeps the most recent distinct lines; when it is full it starts
// again, which costs one conversion per line and never a wrong frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tab_messages.h"

namespace conf::web {

class HeardFrames {
public:
    explicit HeardFrames(std::size_t capacity) : capacity_(capacity) { frames_.reserve(capacity); }

    // The "line" frame for a datagram's text (code page 932) heard at
    // `time_ms` (milliseconds since the Unix epoch). The copies of one line
    // arrive within the same millisecond as a rule, and share a frame.
    Frame frame_for(std::string_view datagram, std::int64_t time_ms);

    // How many frames were built: a measure of the cache for tests.
    std::size_t built() const { return built_; }

private:
    struct Entry {
        std::string bytes;
        std::int64_t time_ms = 0;
        Frame frame;
    };

    std::size_t capacity_;
    std::size_t built_ = 0;
    // Keyed by a view of the entry's own bytes, so that a look-up needs no
    // copy of the datagram.
    std::unordered_map<std::string_view, std::unique_ptr<Entry>> frames_;
};

}  // namespace conf::web
