// The system's own code page 932 tables.
#ifdef _WIN32

#include "text_codec.h"

#include "protocol.h"

#include <windows.h>

namespace conf {
namespace {

constexpr UINT kCodePage932 = 932;

std::wstring widen(UINT code_page, DWORD flags, std::string_view text, bool* ok) {
    *ok = true;
    if (text.empty()) return {};
    const int needed = ::MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (needed <= 0) {
        *ok = false;
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), &wide[0], needed);
    return wide;
}

// glibc's CP932 takes these characters to the bytes of their look-alikes,
// which Windows keeps for the look-alikes alone and refuses the others (with
// WC_NO_BEST_FIT_CHARS). Mac and iPhone Japanese input types 〜 as U+301C and
// ¥ as U+00A5. Taken to the look-alikes first, every character gives
// glibc's bytes, so a line is sent alike from Windows and Linux.
wchar_t as_glibc_takes_it(wchar_t character) {
    switch (character) {
    case 0x301C: return 0xFF5E;  // 〜 as ～, 81 60
    case 0x2212: return 0xFF0D;  // − as －, 81 7C
    case 0x2016: return 0x2225;  // ‖ as ∥, 81 61
    case 0x00A2: return 0xFFE0;  // ¢ as ￠, 81 91
    case 0x00A3: return 0xFFE1;  // £ as ￡, 81 92
    case 0x00AC: return 0xFFE2;  // ¬ as ￢, 81 CA
    case 0x00A5: return 0x005C;  // ¥ as the backslash, 5C
    case 0x203E: return 0x007E;  // ‾ as ~, 7E
    case 0x2014: return 0x2015;  // — as ―, 81 5C
    default: return character;
    }
}

// Windows alone takes U+0080 and U+F8F0-F8F3 to the single bytes 80, A0 and
// FD-FF, which no receiver shows (see cp932_to_utf8); glibc refuses them.
bool only_windows_encodes(wchar_t character) {
    return character == 0x0080 || (character >= 0xF8F0 && character <= 0xF8F3);
}

}  // namespace

// Windows shows a byte it cannot map as its default character (・) and maps
// the stray single bytes 80, A0 and FD-FF to U+0080 and private-use
// characters; glibc's CP932 has none of them. Each is shown as U+FFFD here,
// as on Linux, so a stranger's datagram reads the same on both.
std::string cp932_to_utf8(std::string_view cp932) {
    std::wstring wide;
    wide.reserve(cp932.size());
    std::size_t pos = 0;
    while (pos < cp932.size()) {
        const auto byte = static_cast<unsigned char>(cp932[pos]);
        if (byte < 0x80) {
            wide += static_cast<wchar_t>(byte);
            ++pos;
        } else if (byte >= 0xA1 && byte <= 0xDF) {  // half-width katakana
            wide += static_cast<wchar_t>(0xFF61 + (byte - 0xA1));
            ++pos;
        } else {
            bool ok = false;
            std::wstring character;
            if (is_cp932_lead_byte(byte) && pos + 1 < cp932.size())
                character = widen(kCodePage932, MB_ERR_INVALID_CHARS, cp932.substr(pos, 2), &ok);
            if (ok && character.size() == 1) {
                wide += character;
                pos += 2;
            } else {
                // A lead byte with a bad trail byte leaves the trail byte to
                // be read again on its own.
                wide += L'\xFFFD';
                ++pos;
            }
        }
    }
    if (wide.empty()) return {};
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], needed, nullptr,
                          nullptr);
    return out;
}

bool utf8_to_cp932(std::string_view utf8, std::string* out) {
    bool ok;
    std::wstring wide = widen(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, &ok);
    if (!ok) return false;
    for (wchar_t& character : wide) {
        if (only_windows_encodes(character)) return false;
        character = as_glibc_takes_it(character);
    }
    if (wide.empty()) {
        out->clear();
        return true;
    }
    BOOL lossy = FALSE;
    const int needed = ::WideCharToMultiByte(kCodePage932, WC_NO_BEST_FIT_CHARS, wide.data(),
                                             static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
    if (needed <= 0 || lossy) return false;
    std::string converted(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(kCodePage932, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                          &converted[0], needed, nullptr, nullptr);
    *out = std::move(converted);
    return true;
}

// Windows has no converter to set up: one character at a time costs little.
std::vector<std::string_view> characters_without_cp932_form(std::string_view utf8) {
    std::vector<std::string_view> lacking;
    std::string unused;
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::string_view character = utf8.substr(pos, utf8_character_length(utf8.substr(pos)));
        if (!utf8_to_cp932(character, &unused)) lacking.push_back(character);
        pos += character.size();
    }
    return lacking;
}

std::string cp932_for_terminal(std::string_view cp932) { return std::string(cp932); }

}  // namespace conf

#endif  // _WIN32
