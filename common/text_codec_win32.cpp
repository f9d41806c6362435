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

// Strict conversion of the whole text first; only when it holds bytes that
// are not code page 932 is it taken apart character by character, so that
// each such byte becomes U+FFFD and everything else is kept, as glibc's
// conversion does on Linux.
std::wstring widen_replacing(std::string_view cp932) {
    bool ok;
    std::wstring wide = widen(kCodePage932, MB_ERR_INVALID_CHARS, cp932, &ok);
    if (ok) return wide;
    wide.clear();
    std::size_t pos = 0;
    while (pos < cp932.size()) {
        const bool lead = is_cp932_lead_byte(static_cast<unsigned char>(cp932[pos]));
        const std::size_t width = lead && pos + 1 < cp932.size() ? 2 : 1;
        const std::wstring character = widen(kCodePage932, MB_ERR_INVALID_CHARS, cp932.substr(pos, width), &ok);
        if (ok) {
            wide += character;
            pos += width;
        } else {
            // A lead byte with a bad trail byte (or none): the trail byte is
            // read again on its own.
            wide += L'\xFFFD';
            ++pos;
        }
    }
    return wide;
}

}  // namespace

std::string cp932_to_utf8(std::string_view cp932) {
    const std::wstring wide = widen_replacing(cp932);
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
    const std::wstring wide = widen(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, &ok);
    if (!ok) return false;
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

std::string cp932_for_terminal(std::string_view cp932) { return std::string(cp932); }

}  // namespace conf

#endif  // _WIN32
