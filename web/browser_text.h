// Text between a browser (UTF-8) and the conference (code page 932 on the
// wire), with the Windows input field's habits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace conf::web {

// A text typed in the browser as the Windows field holds it: it ends at a NUL
// like any C string, and every line break (the textarea's LF, a CR LF, a lone
// CR) is CR LF.
std::string with_windows_line_breaks(std::string_view utf8);

// `utf8` in code page 932 as the client reads a field into a buffer of
// `max_bytes` bytes: cut to that many bytes on a character boundary. Every
// character takes at least one byte, so the characters past the first
// `max_bytes` could never be sent: they are dropped before anything is
// converted. Returns false when a character has no code-page-932 form, with
// `out` untouched and `lacking` naming those characters, each in 「」, in the
// order they first appear and at most five of them.
bool typed_to_cp932(std::string_view utf8, std::size_t max_bytes, std::string* out, std::string* lacking);

}  // namespace conf::web
