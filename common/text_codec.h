// Conversions between code page 932, the conference's wire and screen
// encoding, and UTF-8, which Linux terminals speak.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace conf {

// Bytes that are not valid code page 932 come out as U+FFFD, so a stranger's
// datagram can always be shown.
std::string cp932_to_utf8(std::string_view cp932);

// Returns false, leaving `out` untouched, when the text is not valid UTF-8
// or holds a character that code page 932 cannot represent.
bool utf8_to_cp932(std::string_view utf8, std::string* out);

// The characters of `utf8` that code page 932 cannot represent, in order,
// each as the piece of `utf8` it takes (a byte that begins no UTF-8 character
// is one). A single pass, however many there are.
std::vector<std::string_view> characters_without_cp932_form(std::string_view utf8);

// The length in bytes of the UTF-8 character at the start of `text`; a
// sequence cut short ends before the first byte that cannot continue it, so
// that a walk always moves on and never swallows the next character.
inline std::size_t utf8_character_length(std::string_view text) {
    if (text.empty()) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    for (std::size_t i = 1; i < length; ++i)
        if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return i;
    return length;
}

// A code-page-932 text in the form this platform's terminal shows: UTF-8 on
// Linux, unchanged on Windows, whose Japanese console is itself code page 932.
std::string cp932_for_terminal(std::string_view cp932);

}  // namespace conf
