#include "resume_desk.h"
#include "secure_random.h"

namespace conf::web {

std::string new_resume_token() {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    unsigned char bytes[33] = {};  // 256 bits, and a zero byte to make whole groups of three
    if (!secure_random(bytes, 32)) return {};
    std::string token;
    for (std::size_t i = 0; i < 33; i += 3) {
        const unsigned group = static_cast<unsigned>(bytes[i]) << 16 | static_cast<unsigned>(bytes[i + 1]) << 8 |
                               static_cast<unsigned>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) token += kAlphabet[(group >> shift) & 0x3F];
    }
    token.resize(43);  // 256 bits in 6-bit characters
    return token;
}

}  // namespace conf::web
