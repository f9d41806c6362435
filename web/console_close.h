// Windows ends a console program when its console window is closed, and at
// Ctrl+Break, log-off and shutdown, with no signal that the C runtime (and so
// Asio's signal_set) knows of: the gateway would end without its
// participants' leave notices. Elsewhere signals cover all of it and this
// does nothing.
#pragma once

#include <functional>

namespace conf::web {

// While it lives, those events call `stop` (on a thread of their own, so it
// must be safe to call from any thread) and hold the program's end back
// until the guard is destroyed, or for a few seconds at most: Windows ends a
// closed console's program about five seconds after the close.
class ConsoleCloseGuard {
public:
    explicit ConsoleCloseGuard(std::function<void()> stop);
    ~ConsoleCloseGuard();
    ConsoleCloseGuard(const ConsoleCloseGuard&) = delete;
    ConsoleCloseGuard& operator=(const ConsoleCloseGuard&) = delete;
};

}  // namespace conf::web
