#include "relay_clock.h"

#include <ctime>

namespace conf {
namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and
// back (H. Hinnant's algorithms): the offset from UTC and the printed date
// come from plain arithmetic, the same on every platform.
}  // namespace

std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

CivilDate civil_from_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t day_of_era = days - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_index = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
    return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

namespace {

// A broken-down time read as if it were UTC.
std::int64_t as_seconds(const std::tm& time) {
    return days_from_civil(std::int64_t{time.tm_year} + 1900, time.tm_mon + 1, time.tm_mday) * 86400 +
           time.tm_hour * 3600 + time.tm_min * 60 + time.tm_sec;
}

}  // namespace

std::int64_t floor_divide(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

namespace {

class SystemRelayClock final : public RelayClock {
public:
    Moment now() const override { return std::chrono::steady_clock::now(); }
    WallTime wall_now() const override { return std::chrono::system_clock::now(); }
    LocalTime local(WallTime moment) const override { return local_time_at(moment); }
};

}  // namespace

const RelayClock& system_relay_clock() {
    static const SystemRelayClock clock;
    return clock;
}

LocalClockFace clock_face(const LocalTime& time) {
    const std::int64_t local = time.seconds + time.utc_offset_seconds;
    LocalClockFace face;
    face.day = floor_divide(local, 86400);
    const CivilDate date = civil_from_days(face.day);
    const std::int64_t second_of_day = local - face.day * 86400;
    face.month = date.month;
    face.day_of_month = date.day;
    face.hour = static_cast<int>(second_of_day / 3600);
    face.minute = static_cast<int>(second_of_day / 60 % 60);
    return face;
}

LocalTime local_time_now() { return local_time_at(std::chrono::system_clock::now()); }

LocalTime local_time_at(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const std::int64_t milliseconds_now = duration_cast<milliseconds>(moment.time_since_epoch()).count();
    LocalTime now;
    now.seconds = floor_divide(milliseconds_now, 1000);
    now.milliseconds = static_cast<int>(milliseconds_now - now.seconds * 1000);
    // One thread: the C library's shared results are copied at once.
    const std::time_t whole = static_cast<std::time_t>(now.seconds);
    const std::tm* local = std::localtime(&whole);
    if (local == nullptr) return now;
    const std::tm local_copy = *local;
    const std::tm* utc = std::gmtime(&whole);
    if (utc == nullptr) return now;
    now.utc_offset_seconds = static_cast<int>(as_seconds(local_copy) - as_seconds(*utc));
    return now;
}

}  // namespace conf
