#ifndef _WIN32

#include "console_close.h"

namespace conf::web {

// SIGINT, SIGTERM and SIGHUP's default cover what a console's end does here.
ConsoleCloseGuard::ConsoleCloseGuard(std::function<void()>) {}
ConsoleCloseGuard::~ConsoleCloseGuard() = default;

}  // namespace conf::web

#endif  // !_WIN32
