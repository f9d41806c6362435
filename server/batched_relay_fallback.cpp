// Systems without recvmmsg and sendmmsg: confrelay keeps to one receive per
// read event, as the window does.
#ifndef __linux__

#include "batched_path.h"

namespace conf {

bool batched_path_available() { return false; }

void serve_batched(RelayServer&, const volatile std::sig_atomic_t&, const std::function<void()>&) {}

}  // namespace conf

#endif  // !__linux__
