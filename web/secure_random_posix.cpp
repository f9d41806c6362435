#ifndef _WIN32
#include <sys/random.h>

#include <cerrno>

#include "secure_random.h"

namespace conf::web {

bool secure_random(unsigned char* out, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(out + got, size - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace conf::web
#endif
