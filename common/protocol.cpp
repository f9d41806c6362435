#include "protocol.h"

#include <cstring>

namespace conf {

std::size_t cp932_fit(std::string_view bytes, std::size_t limit) {
    std::size_t end = bytes.size() < limit ? bytes.size() : limit;
    std::size_t pos = 0;
    // Lead bytes can only be told apart from trail bytes by walking from the
    // start: 0x81-0x9F also occur as second bytes.
    while (pos < end) {
        const bool lead = is_cp932_lead_byte(static_cast<unsigned char>(bytes[pos]));
        const std::size_t width = lead ? 2 : 1;
        if (pos + width > end) break;
        pos += width;
    }
    return pos;
}

Line& Line::append(std::string_view text) {
    const std::size_t room = kMaxDatagram - length_;
    const std::size_t take = cp932_fit(text, room);
    if (take < text.size()) cut_ = true;
    std::memcpy(bytes_ + length_, text.data(), take);
    length_ += take;
    bytes_[length_] = '\0';
    return *this;
}

Line compose_login_request(std::string_view name, std::string_view text) {
    Line line;
    line.append(std::string_view(&kLoginMark, 1)).append(name);
    line.append(std::string_view(&kNameEnd, 1)).append(text);
    return line;
}

Line compose_chat_line(std::string_view name, std::string_view text) {
    Line line;
    line.append(name).append(": ").append(text);
    return line;
}

Line compose_leave_notice(std::string_view name) {
    Line line;
    line.append(std::string_view(&kLeaveMark, 1)).append(name);
    return line;
}

Line compose_entry_notice(std::string_view name) {
    Line line;
    line.append(name).append(text::kEntrySuffix);
    return line;
}

Line compose_exit_notice(std::string_view name) {
    Line line;
    line.append(name).append(text::kExitSuffix);
    return line;
}

Line compose_first_line(std::string_view name, std::string_view text) {
    Line line;
    line.append(name).append(" :").append(text);
    return line;
}

std::string_view stored_name(std::string_view name) {
    return name.substr(0, cp932_fit(name, kMaxStoredName));
}

bool parse_login_request(std::string_view datagram, LoginRequest* request) {
    if (datagram.empty() || datagram[0] != kLoginMark) return false;
    const std::size_t name_start = datagram.find_first_not_of(kNameEnd, 1);
    if (name_start == std::string_view::npos) return false;
    const std::size_t name_end = datagram.find(kNameEnd, name_start);
    if (name_end == std::string_view::npos) return false;
    request->name = stored_name(datagram.substr(name_start, name_end - name_start));
    // A name that was only half a double-byte character is no name at all.
    if (request->name.empty()) return false;
    request->text = datagram.substr(name_end + 1);
    return true;
}

std::string_view leave_notice_name(std::string_view datagram) {
    if (datagram.empty() || datagram[0] != kLeaveMark) return {};
    return stored_name(datagram.substr(1));
}

std::string_view as_received_text(const char* bytes, std::size_t length) {
    const void* nul = std::memchr(bytes, '\0', length);
    if (nul != nullptr) length = static_cast<std::size_t>(static_cast<const char*>(nul) - bytes);
    return {bytes, length};
}

}  // namespace conf
