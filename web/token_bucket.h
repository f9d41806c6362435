// A token bucket: `rate` tokens a second, holding at most `burst`, full at
// the start. The time is given with each call, so tests need no clock.
#pragma once

#include <chrono>

namespace conf::web {

using Clock = std::chrono::steady_clock;

class TokenBucket {
public:
    TokenBucket(double rate_per_second, double burst) : rate_(rate_per_second), burst_(burst), tokens_(burst) {}

    // Takes one token if there is one.
    bool take(Clock::time_point now) {
        if (started_) {
            const double elapsed = std::chrono::duration<double>(now - last_).count();
            // A clock that went back adds nothing.
            if (elapsed > 0) tokens_ = tokens_ + elapsed * rate_ < burst_ ? tokens_ + elapsed * rate_ : burst_;
        }
        if (!started_ || now > last_) last_ = now;
        started_ = true;
        if (tokens_ < 1.0) return false;
        tokens_ -= 1.0;
        return true;
    }

private:
    double rate_;
    double burst_;
    double tokens_;
    Clock::time_point last_{};
    bool started_ = false;
};

}  // namespace conf::web
