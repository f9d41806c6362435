// glibc iconv. "CP932" is Microsoft's Shift-JIS (with its ～ as 81 60 and
// the NEC and IBM extensions); plain "SHIFT_JIS" maps several bytes
// differently and must not be used.
#ifndef _WIN32

#include "text_codec.h"

#include <cerrno>
#include <iconv.h>

namespace conf {
namespace {

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(::iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) ::iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as it can; on a byte sequence it cannot convert it
    // stops and leaves `in` pointing at it.
    bool run(const char*& in, std::size_t& in_left, std::string* out) {
        char chunk[256];
        while (in_left > 0) {
            char* write = chunk;
            std::size_t room = sizeof chunk;
            const std::size_t rc = ::iconv(handle_, const_cast<char**>(&in), &in_left, &write, &room);
            out->append(chunk, sizeof chunk - room);
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
        }
        return true;
    }

private:
    iconv_t handle_;
};

}  // namespace

std::string cp932_to_utf8(std::string_view cp932) {
    Converter converter("UTF-8", "CP932");
    std::string out;
    if (!converter.valid()) return std::string(cp932);
    const char* in = cp932.data();
    std::size_t left = cp932.size();
    while (!converter.run(in, left, &out)) {
        out += "\xEF\xBF\xBD";  // U+FFFD
        // Skip one byte; a lead byte with a bad trail byte leaves the trail
        // byte to be read again on its own, as Windows does.
        ++in;
        --left;
    }
    return out;
}

bool utf8_to_cp932(std::string_view utf8, std::string* out) {
    Converter converter("CP932", "UTF-8");
    if (!converter.valid()) return false;
    std::string converted;
    const char* in = utf8.data();
    std::size_t left = utf8.size();
    if (!converter.run(in, left, &converted)) return false;
    *out = std::move(converted);
    return true;
}

// One converter for the whole text, given one character at a time: given
// all of it, glibc converts again from the start of its buffer to find each
// character it stops at, a time that grows with the square of the length.
std::vector<std::string_view> characters_without_cp932_form(std::string_view utf8) {
    std::vector<std::string_view> lacking;
    Converter converter("CP932", "UTF-8");
    if (!converter.valid()) return lacking;
    std::string converted;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::string_view character = utf8.substr(pos, utf8_character_length(utf8.substr(pos)));
        const char* in = character.data();
        std::size_t left = character.size();
        if (!converter.run(in, left, &converted)) lacking.push_back(character);
        converted.clear();
        pos += character.size();
    }
    return lacking;
}

std::string cp932_for_terminal(std::string_view cp932) { return cp932_to_utf8(cp932); }

}  // namespace conf

#endif  // !_WIN32
