// How long a relay that keeps the room's history takes to catch a late
// joiner up: from its login accepted reply to the history's closing line,
// both as the kernel stamped their arrival at the newcomer's socket, so that
// the figure is the relay's own work and not when confbench read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace conf::bench {

struct CatchUpFigures {
    std::vector<double> milliseconds;  // one per login that was caught up
    int fewest_lines = -1;             // history lines of the login given fewest
    std::string failure;
};

// Fills the history of the relay on 127.0.0.1:`port` with `lines` lines of
// `payload` bytes, then logs `logins` newcomers in one after another (each
// leaves again) and times their catch-up.
CatchUpFigures measure_catch_ups(std::uint16_t port, int lines, std::size_t payload, int logins);

}  // namespace conf::bench
