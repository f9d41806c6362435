#include "relay_service.h"

#include "address_text.h"
#include "relay_host.h"

namespace conf {
namespace {

constexpr auto kDropReportInterval = std::chrono::minutes(1);
// Records written to a removed transcript are lost for at most this long.
constexpr auto kRemovalCheckInterval = std::chrono::seconds(1);

std::string plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

RelayService::RelayService(RelayServer& relay, const ServiceOptions& options, Report report)
    : relay_(relay), report_(std::move(report)), members_only_(options.members_only) {
    if (!options.transcript_path.empty()) transcript_ = std::make_unique<Transcript>(options.transcript_path, report_);
    if (!options.state_path.empty()) state_ = std::make_unique<StateFile>(options.state_path, report_);
    relay_.set_members_only(members_only_);
    if (transcript_ || state_) relay_.set_observer(this);
}

void RelayService::begin() {
    if (state_) relay_.restore_table(state_->load());
    if (transcript_) transcript_->open();
}

bool RelayService::on_heard(HeardKind kind, std::string_view text, const net::SocketAddress& sender,
                            const char* sender_place) {
    if (!transcript_) return false;
    held_.push_back({std::chrono::system_clock::now(), kind, sender, sender_place != nullptr,
                     sender_place != nullptr ? sender_place : "", std::string(text)});
    return true;
}

void RelayService::on_sends_left() {
    // A rotation between two datagrams of one batch: the next goes to the new file.
    reopen_if_asked();
    for (const Heard& heard : held_) {
        transcript_->append(transcript_record(local_time_at(heard.time), heard.kind, heard.sender,
                                              heard.has_place ? heard.place.c_str() : nullptr, heard.text));
    }
    held_.clear();
}

void RelayService::on_table_changed() {
    if (state_) state_->changed();
}

void RelayService::tick() {
    reopen_if_asked();
    if (transcript_) {
        const Clock::time_point now = Clock::now();
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

void RelayService::reopen_if_asked() {
    host::SignalFlags& flags = host::signal_flags();
    if (flags.reopen == 0) return;
    flags.reopen = 0;
    if (transcript_) transcript_->reopen();
}

void RelayService::report_drops(bool at_end) {
    const MembersOnlyDrops& drops = relay_.members_only_drops();
    const std::uint64_t total = drops.lines + drops.leave_notices;
    if (total == drops_reported_) return;
    const Clock::time_point now = Clock::now();
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
