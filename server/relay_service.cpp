#include "relay_service.h"

#include "address_text.h"
#include "relay_host.h"

namespace conf {
namespace {

constexpr auto kDropReportInterval = std::chrono::minutes(1);
// Records written to a removed transcript are lost for at most this long.
constexpr auto kRemovalCheckInterval = std::chrono::seconds(1);
// Silence is measured in hours; looking once a second is plenty.
constexpr auto kSilenceCheckInterval = std::chrono::seconds(1);

std::string plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

bool parse_duration(std::string_view text, std::chrono::seconds* duration) {
    if (text.size() < 2 || text.size() > 10) return false;
    std::int64_t unit = 0;
    switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return false;
    }
    std::int64_t number = 0;
    for (const char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    const std::int64_t seconds = number * unit;
    if (seconds <= 0 || seconds > 366 * 86400) return false;
    *duration = std::chrono::seconds(seconds);
    return true;
}

bool parse_count(std::string_view text, std::size_t largest, std::size_t* count) {
    if (text.empty() || text.size() > 9) return false;
    std::size_t number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<std::size_t>(c - '0');
    }
    if (number > largest) return false;
    *count = number;
    return true;
}

void CoalescedCount::changed(std::uint32_t count) {
    count_ = count;
    held_ = true;
    tick();
}

void CoalescedCount::tick(bool at_end) {
    if (!held_) return;
    const RelayClock::Moment now = clock_.now();
    if (!at_end && ever_printed_ && now - last_printed_ < std::chrono::seconds(1)) return;
    held_ = false;
    // A burst that ended where it began changes nothing worth a line.
    if (ever_printed_ && count_ == last_count_printed_) return;
    print_(count_);
    last_count_printed_ = count_;
    held_ = false;
    ever_printed_ = true;
    last_printed_ = now;
}

RelayService::RelayService(RelayServer& relay, const ServiceOptions& options, Report report,
                           const ServiceSurroundings& surroundings)
    : relay_(relay),
      report_(std::move(report)),
      clock_(surroundings.clock != nullptr ? *surroundings.clock : system_relay_clock()),
      signals_(surroundings.signals != nullptr ? *surroundings.signals : host::signal_flags()),
      out_(surroundings.out),
      free_unreachable_(options.free_unreachable),
      forgets_(options.forget_after.count() > 0),
      members_only_(options.members_only) {
    if (!options.transcript_path.empty()) transcript_ = std::make_unique<Transcript>(options.transcript_path, report_);
    if (!options.state_path.empty()) state_ = std::make_unique<StateFile>(options.state_path, report_, &clock_);
    relay_.set_clock(&clock_);
    relay_.set_members_only(members_only_);
    relay_.set_forget_after(options.forget_after);
    relay_.set_history(options.history);
    relay_.set_roster(options.roster);
    relay_.set_save_before_reply(state_ != nullptr);
    if (transcript_ || state_) relay_.set_observer(this);
    if (transcript_ && options.history > 0) take_history_from_transcript(options.transcript_path, options.history);
}

void RelayService::take_history_from_transcript(const std::string& path, std::size_t lines) {
    std::string tail;
    std::string error;
    const std::size_t limit = lines * kHistoryTailPerLine;
    switch (host::read_file_tail(path, limit, &tail, &error)) {
    case host::ReadStatus::Read:
        break;
    case host::ReadStatus::Missing:
        return;
    case host::ReadStatus::NotAFile:
    case host::ReadStatus::Failed:
        report_("transcript " + path + ": " + error + "; the history starts empty");
        return;
    }
    // A whole file begins with a whole record.
    if (tail.size() < limit) tail.insert(0, "\n");
    for (const HeardLine& heard : last_heard_lines(tail, lines)) relay_.add_history(heard.time, heard.text);
}

void RelayService::begin() {
    if (state_) relay_.restore_table(state_->load());
    if (transcript_) transcript_->open();
}

bool RelayService::watch_unreachable() { return !free_unreachable_ || relay_.watch_unreachable(); }

bool RelayService::on_heard(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                            const char* sender_place, const char* reason) {
    if (!transcript_) return false;
    held_.push_back({clock_.wall_now(), reason, kind, sender, sender_place != nullptr,
                     sender_place != nullptr ? sender_place : "", std::string(text)});
    return true;
}

void RelayService::on_save_due() {
    if (state_) state_->save_if_changed(relay_.table());
}

void RelayService::on_sends_left() {
    // A rotation between two datagrams of one batch: the next goes to the new file.
    reopen_if_asked();
    for (const Heard& heard : held_) {
        transcript_->append(transcript_record(clock_.local(heard.time), heard.kind, heard.sender,
                                              heard.has_place ? heard.place.c_str() : nullptr, heard.text,
                                              heard.reason));
    }
    held_.clear();
}

void RelayService::on_table_changed() {
    if (state_) state_->changed();
}

void RelayService::tick() {
    reopen_if_asked();
    free_places_of_the_gone();
    if (transcript_) {
        const Moment now = clock_.now();
        if (now >= next_removal_check_) {
            transcript_->check_not_removed();
            next_removal_check_ = now + kRemovalCheckInterval;
        }
    }
    if (state_) state_->save_if_changed(relay_.table());
    if (members_only_) report_drops(false);
}

void RelayService::finish() {
    if (state_) state_->save_if_changed(relay_.table());
    if (members_only_) report_drops(true);
    if (transcript_) transcript_->finish();
}

void RelayService::free_places_of_the_gone() {
    if (!free_unreachable_ && !forgets_) return;
    if (!free_unreachable_) {
        const Moment now = clock_.now();
        if (now < next_silence_check_) return;
        next_silence_check_ = now + kSilenceCheckInterval;
    }
    if (!relay_.socket_open() && out_ == nullptr) return;
    ImmediateSender immediate(relay_.socket());
    if (relay_.free_places_of_the_gone(out_ != nullptr ? *out_ : immediate) > 0) relay_.sends_left();
}

void RelayService::reopen_if_asked() {
    if (signals_.reopen == 0) return;
    signals_.reopen = 0;
    if (transcript_) transcript_->reopen();
}

void RelayService::report_drops(bool at_end) {
    const MembersOnlyDrops& drops = relay_.members_only_drops();
    const std::uint64_t total = drops.lines + drops.leave_notices;
    if (total == drops_reported_) return;
    const Moment now = clock_.now();
    if (!at_end && drops_ever_reported_ && now - last_drop_report_ < kDropReportInterval) return;
    report_("members only: dropped " + plural(total - drops_reported_, "datagram", "datagrams") + " (" +
            plural(drops.lines, "line", "lines") + " and " +
            plural(drops.leave_notices, "leave notice", "leave notices") +
            " since the start); the last from " + net::endpoint_text(drops.last_sender));
    drops_reported_ = total;
    drops_ever_reported_ = true;
    last_drop_report_ = now;
}

}  // namespace conf
