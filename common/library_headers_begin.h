// Put around the includes of a well-kept library (Boost, nlohmann-json):
//
//     #include "library_headers_begin.h"
//     #include <boost/asio/ip/udp.hpp>
//     #include "library_headers_end.h"
//
// GCC's inliner finds warnings inside those headers at -O2 and with
// sanitizers (a null dereference, a value maybe uninitialised) that are about
// the library's code, not ours; they are silenced for the library's own lines
// only, so our code keeps every check. No include guard: it is meant to be
// included more than once.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
