// Where the relay's rules read the time: the system's clocks in the program,
// a clock moved by hand in the tests, so that intervals of seconds, hours
// and days are checked without waiting for them.
#pragma once

#include <chrono>
#include <cstdint>

namespace conf {

// A moment as people read it: seconds since 1970-01-01T00:00:00Z with the
// local zone's offset from UTC at that moment.
struct LocalTime {
    std::int64_t seconds = 0;         // since 1970-01-01T00:00:00Z
    int milliseconds = 0;             // 0..999
    int utc_offset_seconds = 0;       // local time minus UTC
};

class RelayClock {
public:
    using Moment = std::chrono::steady_clock::time_point;
    using WallTime = std::chrono::system_clock::time_point;

    // For intervals: never jumps when the date is set.
    virtual Moment now() const = 0;
    // For when a line was heard.
    virtual WallTime wall_now() const = 0;
    // The relay's local zone.
    virtual LocalTime local(WallTime moment) const = 0;

protected:
    ~RelayClock() = default;
};

const RelayClock& system_relay_clock();

LocalTime local_time_at(std::chrono::system_clock::time_point moment);
LocalTime local_time_now();

// The local calendar day of a moment, as days since 1970-01-01, and its
// month (1..12), day of month, hour and minute.
struct LocalClockFace {
    std::int64_t day = 0;
    int month = 1;
    int day_of_month = 1;
    int hour = 0;
    int minute = 0;
};
LocalClockFace clock_face(const LocalTime& time);

// Dates of the proleptic Gregorian calendar as days since 1970-01-01, and
// back (H. Hinnant's algorithms): plain arithmetic, the same everywhere.
struct CivilDate {
    std::int64_t year;
    int month;
    int day;
};
std::int64_t days_from_civil(std::int64_t year, int month, int day);
CivilDate civil_from_days(std::int64_t days);
std::int64_t floor_divide(std::int64_t value, std::int64_t divisor);

}  // namespace conf
