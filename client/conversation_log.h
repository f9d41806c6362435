// Everything the client has received, one datagram per line, as the log
// field shows it.
#pragma once

#include <cstddef>
#include <string_view>

#include "protocol.h"

namespace conf {

class ConversationLog {
public:
    // Past this many bytes the log is emptied.
    static constexpr std::size_t kClearAbove = 65536 - 1024;
    static constexpr std::string_view kLineBreak{"\r\n", 2};
    // A log at the clearing limit still takes the longest datagram with its
    // line break, and the NUL after it.
    static constexpr std::size_t kCapacity = kClearAbove + kMaxDatagram + kLineBreak.size() + 1;

    ConversationLog() { text_[0] = '\0'; }

    // Adds the datagram's bytes and CR LF, always whole. Returns false and
    // leaves the log as it was when that would pass the capacity, which only
    // a log that was not emptied when it asked to be can reach.
    bool append_line(std::string_view datagram);

    bool needs_clearing() const { return length_ > kClearAbove; }
    void clear();

    const char* c_str() const { return text_; }
    std::string_view view() const { return {text_, length_}; }
    std::size_t size() const { return length_; }

private:
    char text_[kCapacity];
    std::size_t length_ = 0;
};

}  // namespace conf
