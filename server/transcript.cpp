#include "transcript.h"

#include <chrono>
#include <cstdio>

#include "address_text.h"
#include "json.h"
#include "text_codec.h"

namespace conf {
namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and
// back (H. Hinnant's algorithms): the offset from UTC and the printed date
// come from plain arithmetic, the same on every platform.
std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct CivilDate {
    std::int64_t year;
    int month;
    int day;
};

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

// A broken-down time read as if it were UTC.
std::int64_t as_seconds(const std::tm& time) {
    return days_from_civil(std::int64_t{time.tm_year} + 1900, time.tm_mon + 1, time.tm_mday) * 86400 +
           time.tm_hour * 3600 + time.tm_min * 60 + time.tm_sec;
}

std::int64_t floor_divide(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

const char* kind_name(HeardKind kind) {
    switch (kind) {
    case HeardKind::Entry:
        return "entry";
    case HeardKind::FirstLine:
        return "first";
    case HeardKind::Line:
        return "line";
    case HeardKind::Exit:
        return "exit";
    }
    return "line";
}

}  // namespace

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

std::string format_rfc3339(const LocalTime& time) {
    const std::int64_t local = time.seconds + time.utc_offset_seconds;
    const std::int64_t days = floor_divide(local, 86400);
    const std::int64_t second_of_day = local - days * 86400;
    const CivilDate date = civil_from_days(days);
    const int offset_minutes = (time.utc_offset_seconds < 0 ? -time.utc_offset_seconds : time.utc_offset_seconds) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  static_cast<long long>(date.year), date.month, date.day, static_cast<int>(second_of_day / 3600),
                  static_cast<int>(second_of_day / 60 % 60), static_cast<int>(second_of_day % 60), time.milliseconds,
                  time.utc_offset_seconds < 0 ? '-' : '+', offset_minutes / 60, offset_minutes % 60);
    return text;
}

std::string transcript_record(const LocalTime& time, HeardKind kind, const net::SocketAddress& from,
                              const char* member, std::string_view text) {
    nlohmann::ordered_json record;
    record["time"] = format_rfc3339(time);
    record["kind"] = kind_name(kind);
    record["from"] = net::endpoint_text(from);
    record["member"] = member != nullptr ? nlohmann::ordered_json(cp932_to_utf8(member)) : nullptr;
    record["text"] = cp932_to_utf8(text);
    // The conversion already yields UTF-8; should it ever not, the dump
    // replaces what is not UTF-8 instead of throwing.
    std::string line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line += '\n';
    return line;
}

void Transcript::open() {
    written_since_check_ = 0;
    std::string error;
    if (!file_.open(path_, &error)) trouble(error);
}

void Transcript::reopen() {
    file_.close();
    open();
}

void Transcript::append(std::string_view record) {
    std::string error;
    if (!file_.is_open() && !file_.open(path_, &error)) {
        lost(error);
        return;
    }
    if (!file_.append(record, &error)) {
        lost(error);
        return;
    }
    ++written_since_check_;
    if (failing_) {
        report_("transcript " + path_ + ": written again after " + std::to_string(lost_) + " lost records");
        failing_ = false;
        lost_ = 0;
    }
}

void Transcript::check_not_removed() {
    if (!file_.removed()) {
        written_since_check_ = 0;
        return;
    }
    report_("transcript " + path_ + ": the file was removed while in use; up to " +
            std::to_string(written_since_check_) +
            " records written since it was last seen in place went with it; a new file is begun");
    reopen();
}

void Transcript::finish() {
    if (lost_ > 0) report_("transcript " + path_ + ": " + std::to_string(lost_) + " records lost");
    file_.close();
}

void Transcript::lost(const std::string& why) {
    ++lost_;
    trouble(why);
}

void Transcript::trouble(const std::string& why) {
    if (failing_) return;
    failing_ = true;
    report_("transcript " + path_ + ": " + why + "; records are lost until it can be written again");
}

}  // namespace conf
