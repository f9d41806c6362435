// A clock for the relay's rules that moves only when a test moves it; its
// local zone is Japan's (UTC+9, no daylight saving).
#pragma once

#include <chrono>

#include "relay_clock.h"

namespace conf::testing {

class FakeRelayClock final : public RelayClock {
public:
    static constexpr int kOffset = 9 * 3600;

    // 2026-12-07T09:15:00+09:00 unless told otherwise.
    explicit FakeRelayClock(std::int64_t wall_seconds = 1796602500) : wall_start_(std::chrono::seconds(wall_seconds)) {}

    // Far from the clock's zero, as a real steady clock is.
    Moment now() const override {
        return Moment(std::chrono::duration_cast<Moment::duration>(std::chrono::hours(1) + elapsed_));
    }
    WallTime wall_now() const override {
        return WallTime(std::chrono::duration_cast<WallTime::duration>(wall_start_ + elapsed_));
    }
    LocalTime local(WallTime moment) const override {
        const auto milliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count();
        return {floor_divide(milliseconds, 1000), static_cast<int>(milliseconds - floor_divide(milliseconds, 1000) * 1000),
                kOffset};
    }

    void advance(std::chrono::milliseconds by) { elapsed_ += by; }

private:
    std::chrono::milliseconds wall_start_;
    std::chrono::milliseconds elapsed_{0};
};

}  // namespace conf::testing
