// nlohmann-json for the project's code. GCC's inliner finds warnings inside
// the library at -O2 and with sanitizers (null dereference, maybe
// uninitialised) that are about its code, not ours; they are silenced for the
// library's own lines only, so our code keeps every check.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <nlohmann/json.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
