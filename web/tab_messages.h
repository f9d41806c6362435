// The JSON messages between the page and the gateway, one per WebSocket
// text frame. web/README.md describes every message; this is the one place
// that reads or writes them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace conf::web {

// A message for a tab, ready to go out as one text frame. Shared: a line
// heard by many tabs is built once.
using Frame = std::shared_ptr<const std::string>;

// The largest message a tab may send; a larger one closes its connection.
constexpr std::size_t kMaxTabMessage = 16 * 1024;

struct TabRequest {
    enum class Kind { Join, Send, Leave, Resume };
    Kind kind = Kind::Leave;
    std::string text;  // the name of a join, the line of a send (UTF-8), a resume's token
};

// False for anything but one of the three requests with its fields;
// `problem` then says what was wrong, for the gateway's log.
bool parse_tab_request(std::string_view message, TabRequest* request, std::string* problem);

namespace frame {
std::string hello(std::string_view relay, std::int64_t resume_seconds);
// `token` is left out when empty.
std::string joined(std::string_view name_utf8, std::string_view token);
std::string resumed(std::string_view name_utf8, std::string_view token, bool entered, std::size_t missed);
std::string not_joined();
// `own`: the echo of a line this participant sent.
std::string line(std::string_view utf8, std::int64_t time_ms, bool own);
std::string entered();
std::string sent();
std::string unsent(std::string_view code, std::string_view text_utf8);
std::string notice(std::string_view code, std::string_view text_utf8);
}  // namespace frame

}  // namespace conf::web
