// Conversions between code page 932, the conference's wire and screen
// encoding, and UTF-8, which Linux terminals speak.
#pragma once

#include <string>
#include <string_view>

namespace conf {

// Bytes that are not valid code page 932 come out as U+FFFD, so a stranger's
// datagram can always be shown.
std::string cp932_to_utf8(std::string_view cp932);

// Returns false, leaving `out` untouched, when the text is not valid UTF-8
// or holds a character that code page 932 cannot represent.
bool utf8_to_cp932(std::string_view utf8, std::string* out);

// A code-page-932 text in the form this platform's terminal shows: UTF-8 on
// Linux, unchanged on Windows, whose Japanese console is itself code page 932.
std::string cp932_for_terminal(std::string_view cp932);

}  // namespace conf
