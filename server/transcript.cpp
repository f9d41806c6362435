#include "transcript.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "address_text.h"
#include "json.h"
#include "protocol.h"
#include "text_codec.h"

namespace conf {
namespace {

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

bool take_digits(std::string_view text, std::size_t* at, std::size_t count, int* value) {
    if (*at + count > text.size()) return false;
    int result = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[*at + i];
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    *at += count;
    *value = result;
    return true;
}

bool take_char(std::string_view text, std::size_t* at, char expected) {
    if (*at >= text.size() || text[*at] != expected) return false;
    ++*at;
    return true;
}

// The code-page-932 form of a UTF-8 text, with '?' for what has none.
std::string lossy_cp932(std::string_view utf8) {
    std::string out;
    if (utf8_to_cp932(utf8, &out)) return out;
    std::string fixed;
    const char* begin = utf8.data();
    for (const std::string_view missing : characters_without_cp932_form(utf8)) {
        fixed.append(begin, missing.data());
        fixed += '?';
        begin = missing.data() + missing.size();
    }
    fixed.append(begin, utf8.data() + utf8.size());
    out.clear();
    return utf8_to_cp932(fixed, &out) ? out : std::string();
}

}  // namespace

bool parse_rfc3339(std::string_view text, LocalTime* time) {
    std::size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0, offset_hours = 0,
        offset_minutes = 0;
    if (!take_digits(text, &at, 4, &year) || !take_char(text, &at, '-') || !take_digits(text, &at, 2, &month) ||
        !take_char(text, &at, '-') || !take_digits(text, &at, 2, &day) || !take_char(text, &at, 'T') ||
        !take_digits(text, &at, 2, &hour) || !take_char(text, &at, ':') || !take_digits(text, &at, 2, &minute) ||
        !take_char(text, &at, ':') || !take_digits(text, &at, 2, &second) || !take_char(text, &at, '.') ||
        !take_digits(text, &at, 3, &milliseconds) || at >= text.size()) {
        return false;
    }
    const char sign = text[at++];
    if ((sign != '+' && sign != '-') || !take_digits(text, &at, 2, &offset_hours) || !take_char(text, &at, ':') ||
        !take_digits(text, &at, 2, &offset_minutes) || at != text.size()) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        offset_hours > 23 || offset_minutes > 59) {
        return false;
    }
    const int offset = (sign == '-' ? -1 : 1) * (offset_hours * 3600 + offset_minutes * 60);
    const std::int64_t local = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    *time = {local - offset, milliseconds, offset};
    return true;
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
                              const char* member, std::string_view text, const char* reason) {
    nlohmann::ordered_json record;
    record["time"] = format_rfc3339(time);
    record["kind"] = kind_name(kind);
    record["from"] = net::endpoint_text(from);
    record["member"] = member != nullptr ? nlohmann::ordered_json(cp932_to_utf8(member)) : nullptr;
    record["text"] = cp932_to_utf8(text);
    if (reason != nullptr) record["reason"] = reason;
    // The conversion already yields UTF-8; should it ever not, the dump
    // replaces what is not UTF-8 instead of throwing.
    std::string line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line += '\n';
    return line;
}

std::vector<HeardLine> last_heard_lines(std::string_view tail, std::size_t count) {
    std::vector<HeardLine> lines;
    // The tail may begin inside a record: only what follows a line feed is
    // whole for sure.
    const std::size_t first_break = tail.find('\n');
    if (first_break == std::string_view::npos) return lines;
    std::size_t end = tail.size();
    while (lines.size() < count && end > first_break + 1) {
        const std::size_t start = tail.rfind('\n', end - 1) + 1;
        const std::string_view record = tail.substr(start, end - start);
        end = start - 1;
        try {
            const nlohmann::json parsed = nlohmann::json::parse(record.begin(), record.end(), nullptr, false);
            if (!parsed.is_object()) continue;
            const auto time = parsed.find("time");
            const auto text = parsed.find("text");
            LocalTime heard;
            if (time == parsed.end() || text == parsed.end() || !time->is_string() || !text->is_string() ||
                !parse_rfc3339(time->get_ref<const std::string&>(), &heard)) {
                continue;
            }
            std::string bytes = lossy_cp932(text->get_ref<const std::string&>());
            bytes.resize(cp932_fit(bytes, kMaxDatagram));
            const auto since_epoch = std::chrono::seconds(heard.seconds) + std::chrono::milliseconds(heard.milliseconds);
            lines.push_back({RelayClock::WallTime(std::chrono::duration_cast<RelayClock::WallTime::duration>(since_epoch)),
                             std::move(bytes)});
        } catch (const std::exception&) {
            continue;
        }
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
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
