#include "browser_text.h"

#include <vector>

#include "protocol.h"
#include "text_codec.h"

namespace conf::web {
namespace {

std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

// The length of the UTF-8 sequence that starts with `lead`; a stray
// continuation byte counts as one, so that a walk always moves on.
std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

}  // namespace

std::string with_windows_line_breaks(std::string_view utf8) {
    utf8 = up_to_nul(utf8);
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 8);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

bool typed_to_cp932(std::string_view utf8, std::size_t max_bytes, std::string* out) {
    std::string cp932;
    if (!utf8_to_cp932(up_to_nul(utf8), &cp932)) return false;
    cp932.resize(cp932_fit(cp932, max_bytes));
    *out = std::move(cp932);
    return true;
}

std::string characters_cp932_lacks(std::string_view utf8, std::size_t limit) {
    std::vector<std::string_view> lacking;
    std::string unused;
    for (std::size_t pos = 0; pos < utf8.size() && lacking.size() < limit;) {
        const std::size_t length = utf8_sequence_length(static_cast<unsigned char>(utf8[pos]));
        const std::string_view character = utf8.substr(pos, length);
        pos += character.size();
        if (utf8_to_cp932(character, &unused)) continue;
        bool seen = false;
        for (const std::string_view earlier : lacking) seen = seen || earlier == character;
        if (!seen) lacking.push_back(character);
    }
    std::string named;
    for (const std::string_view character : lacking) {
        named += u8"「";
        named += character;
        named += u8"」";
    }
    return named;
}

}  // namespace conf::web
