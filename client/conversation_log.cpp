#include "conversation_log.h"

#include <cstring>

namespace conf {

bool ConversationLog::append_line(std::string_view datagram) {
    const std::size_t room = kCapacity - 1 - length_;
    if (datagram.size() > room || kLineBreak.size() > room - datagram.size()) return false;
    std::memcpy(text_ + length_, datagram.data(), datagram.size());
    length_ += datagram.size();
    std::memcpy(text_ + length_, kLineBreak.data(), kLineBreak.size());
    length_ += kLineBreak.size();
    text_[length_] = '\0';
    return true;
}

void ConversationLog::clear() {
    length_ = 0;
    text_[0] = '\0';
}

}  // namespace conf
