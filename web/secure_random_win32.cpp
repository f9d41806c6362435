#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>

#include <climits>

#include "secure_random.h"

namespace conf::web {

bool secure_random(unsigned char* out, std::size_t size) {
    if (size > ULONG_MAX) return false;
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace conf::web
#endif
