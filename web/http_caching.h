// The request headers that decide how a page file is sent: compressed or
// not, or not at all because the browser has it already.
#pragma once

#include <string_view>

namespace conf::web {

// Whether an Accept-Encoding value accepts gzip; "gzip;q=0" refuses it, and
// "*" accepts it unless gzip is named with q=0.
bool accepts_gzip(std::string_view accept_encoding);

// Whether an If-None-Match value names `etag` (quoted) or is "*"; a weak tag
// (W/"...") matches too, as the weak comparison of a GET wants.
bool etag_matches(std::string_view if_none_match, std::string_view etag);

}  // namespace conf::web
