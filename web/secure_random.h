// Bytes from the operating system's cryptographic random source (getrandom
// on Linux, BCryptGenRandom on Windows), one file per platform.
#pragma once

#include <cstddef>

namespace conf::web {

// False if the source failed; `out` is then not to be used.
bool secure_random(unsigned char* out, std::size_t size);

}  // namespace conf::web
