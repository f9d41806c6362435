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

// `utf8` in code page 932, cut to at most `max_bytes` bytes on a character
// boundary, as the client reads a field into a buffer of that size. Returns
// false, with `out` untouched, when a character has no code-page-932 form.
bool typed_to_cp932(std::string_view utf8, std::size_t max_bytes, std::string* out);

// The characters of `utf8` that code page 932 cannot encode, each in 「」, in
// the order they first appear and at most `limit` of them, for a message
// that names them.
std::string characters_cp932_lacks(std::string_view utf8, std::size_t limit = 5);

}  // namespace conf::web
