// The conference's datagram protocol: one line of code-page-932 text per UDP
// datagram, with no header. Everything both programs need to agree on lives
// here: the fixed texts, the limits and the formats of the composed lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace conf {

// Limits ------------------------------------------------------------------

// Receivers read at most this many bytes and keep a NUL after them.
constexpr std::size_t kMaxDatagram = 1023;
constexpr std::size_t kDatagramBuffer = kMaxDatagram + 1;
constexpr int kMaxParticipants = 100;
// The server keeps names in 32-byte fields.
constexpr std::size_t kMaxStoredName = 31;
// The client reads its name and server fields into 64-byte buffers.
constexpr std::size_t kMaxClientName = 63;
constexpr std::size_t kMaxServerName = 63;
constexpr std::size_t kMaxInput = kMaxDatagram;

// Window message that carries socket events (WM_USER + 1). Defined here so
// that both programs and the test driver agree on it without <windows.h>.
constexpr unsigned kConfSocketMessage = 0x0401;
// Event code of a read event in the low 16 bits of the message's lParam.
constexpr unsigned kReadEvent = 1;

// Message kinds by first byte.
constexpr char kLoginMark = '!';
constexpr char kNameEnd = '+';
constexpr char kLeaveMark = '#';

// Fixed texts, as code-page-932 bytes. The source file is UTF-8, so each
// text is spelled out byte by byte; a test checks every one of them.
namespace text {
// "ログインしました"
inline constexpr std::string_view kLoginAccepted{
    "\x83\x8D\x83\x4F\x83\x43\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD", 16};
// "定員オーバーでログインできません"
inline constexpr std::string_view kCapacityRefusal{
    "\x92\xE8\x88\xF5\x83\x49\x81\x5B\x83\x6F\x81\x5B\x82\xC5\x83\x8D"
    "\x83\x4F\x83\x43\x83\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1",
    32};
// "さんが入室しました"
inline constexpr std::string_view kEntrySuffix{
    "\x82\xB3\x82\xF1\x82\xAA\x93\xFC\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD", 18};
// "さんが退室しました"
inline constexpr std::string_view kExitSuffix{
    "\x82\xB3\x82\xF1\x82\xAA\x91\xDE\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD", 18};
}  // namespace text

// Code page 932 ------------------------------------------------------------

// True for the first byte of a double-byte character.
constexpr bool is_cp932_lead_byte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The longest prefix of `bytes` that is at most `limit` bytes long and does
// not end in the first half of a double-byte character. A lead byte with no
// trail byte at the very end of the input is dropped as well.
std::size_t cp932_fit(std::string_view bytes, std::size_t limit);

// Composed lines ------------------------------------------------------------

// A line as it travels: at most kMaxDatagram bytes, always NUL-terminated.
class Line {
public:
    Line() { bytes_[0] = '\0'; }
    explicit Line(std::string_view text) { append(text); }

    // Appends as much of `text` as fits, never splitting a character.
    Line& append(std::string_view text);

    std::string_view view() const { return {bytes_, length_}; }
    const char* c_str() const { return bytes_; }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    // True when an append had to drop bytes to stay within the limit.
    bool cut() const { return cut_; }

private:
    char bytes_[kDatagramBuffer];
    std::size_t length_ = 0;
    bool cut_ = false;
};

// Client to server.
Line compose_login_request(std::string_view name, std::string_view text);  // "!name+text"
Line compose_chat_line(std::string_view name, std::string_view text);      // "name: text"
Line compose_leave_notice(std::string_view name);                          // "#name"
// Server to participants.
Line compose_entry_notice(std::string_view name);  // "name" + entry suffix
Line compose_exit_notice(std::string_view name);   // "name" + exit suffix
Line compose_first_line(std::string_view name, std::string_view text);  // "name :text"

// Parsing at the server -------------------------------------------------------

struct LoginRequest {
    std::string_view name;  // cut to kMaxStoredName bytes at a character boundary
    std::string_view text;  // everything after the '+' that ends the name
};

// Splits "!name+text". Any '+' bytes right after the '!' are skipped; the
// name is the run of bytes up to the next '+'. Returns false for a datagram
// that has no name (also one that cutting leaves empty) or no '+' after it,
// which the server ignores.
bool parse_login_request(std::string_view datagram, LoginRequest* request);

// The name of a leave notice "#name", cut the same way as a stored name so
// that it compares equal to the slot it was stored in.
std::string_view leave_notice_name(std::string_view datagram);

// Cuts a name to what the server stores.
std::string_view stored_name(std::string_view name);

// A received datagram is held as a C string, so it ends at its first NUL.
std::string_view as_received_text(const char* bytes, std::size_t length);

}  // namespace conf
