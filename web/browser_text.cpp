#include "browser_text.h"

#include <vector>

#include "protocol.h"
#include "text_codec.h"

namespace conf::web {
namespace {

std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

std::string_view first_characters(std::string_view utf8, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t taken = 0; taken < count && pos < utf8.size(); ++taken)
        pos += utf8_character_length(utf8.substr(pos));
    return utf8.substr(0, pos);
}

// The characters each in 「」, the same one once, at most `limit` of them.
std::string named(const std::vector<std::string_view>& characters, std::size_t limit = 5) {
    std::vector<std::string_view> distinct;
    for (const std::string_view character : characters) {
        if (distinct.size() == limit) break;
        bool seen = false;
        for (const std::string_view earlier : distinct) seen = seen || earlier == character;
        if (!seen) distinct.push_back(character);
    }
    std::string text;
    for (const std::string_view character : distinct) {
        text += u8"「";
        text += character;
        text += u8"」";
    }
    return text;
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

bool typed_to_cp932(std::string_view utf8, std::size_t max_bytes, std::string* out, std::string* lacking) {
    utf8 = first_characters(up_to_nul(utf8), max_bytes);
    std::string cp932;
    if (!utf8_to_cp932(utf8, &cp932)) {
        *lacking = named(characters_without_cp932_form(utf8));
        return false;
    }
    cp932.resize(cp932_fit(cp932, max_bytes));
    *out = std::move(cp932);
    return true;
}

}  // namespace conf::web
