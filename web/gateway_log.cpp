#include "gateway_log.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace conf::web {
namespace {

constexpr std::chrono::seconds kRepeatPeriod{10};
constexpr std::size_t kMaxRepeatKeys = 4096;
constexpr std::size_t kMaxWaitingLogBytes = 256 * 1024;

std::string address_text(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

void to_stderr(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// Ends at the program's exit, after writing what waits.
LogWriter& writer() {
    static LogWriter the_writer(to_stderr, kMaxWaitingLogBytes);
    return the_writer;
}

RepeatLimiter& repeats() {
    static RepeatLimiter the_limiter(kRepeatPeriod, kMaxRepeatKeys);
    return the_limiter;
}

}  // namespace

bool RepeatLimiter::admit(std::uint32_t address, std::string_view reason, Clock::time_point now) {
    auto key = std::make_pair(address, std::string(reason));
    const auto found = counts_.find(key);
    if (found != counts_.end()) {
        if (now - found->second.since < period_) {
            ++found->second.repeats;
            return false;
        }
        // A new period: this one is written, and the last period's count
        // first.
        flushed_.push_back(summary(found->first, found->second.repeats));
        found->second = Count{now, 0};
        return true;
    }
    if (counts_.size() >= max_keys_) {
        ++unkept_;
        return false;
    }
    counts_.emplace(std::move(key), Count{now, 0});
    return true;
}

std::vector<std::string> RepeatLimiter::summaries(Clock::time_point now, bool all) {
    std::vector<std::string> lines;
    for (auto entry = counts_.begin(); entry != counts_.end();) {
        if (!all && now - entry->second.since < period_) {
            ++entry;
            continue;
        }
        lines.push_back(summary(entry->first, entry->second.repeats));
        entry = counts_.erase(entry);
    }
    for (std::string& line : flushed_) lines.push_back(std::move(line));
    flushed_.clear();
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    if (unkept_ > 0 && (all || counts_.size() < max_keys_)) {
        lines.push_back(std::to_string(unkept_) + " more lines from too many addresses");
        unkept_ = 0;
    }
    return lines;
}

std::string RepeatLimiter::summary(const std::pair<std::uint32_t, std::string>& key, std::size_t repeats) {
    if (repeats == 0) return {};
    return address_text(key.first) + ": " + std::to_string(repeats) + " more like the last \"" + key.second + "\"";
}

LogWriter::LogWriter(std::function<void(const std::string&)> sink, std::size_t max_bytes)
    : sink_(std::move(sink)), max_bytes_(max_bytes), thread_([this] { run(); }) {}

LogWriter::~LogWriter() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void LogWriter::write(std::string line) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (bytes_ + line.size() > max_bytes_) {
            ++dropped_;
            return;
        }
        bytes_ += line.size();
        lines_.push_back(std::move(line));
    }
    wake_.notify_one();
}

void LogWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return ending_ || !lines_.empty(); });
        if (lines_.empty()) return;  // ending, and nothing left
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        bytes_ -= line.size();
        // Said once there is room again, in its place among the lines.
        const std::size_t dropped = lines_.empty() ? std::exchange(dropped_, 0) : 0;
        lock.unlock();
        sink_(line);
        if (dropped > 0)
            sink_("confweb: " + std::to_string(dropped) + " log lines dropped: the log could not keep up\n");
        lock.lock();
    }
}

void log_line(const std::string& text) { writer().write("confweb: " + text + "\n"); }

void log_peer(std::uint32_t address, std::string_view reason, const std::string& text) {
    const auto now = RepeatLimiter::Clock::now();
    if (!repeats().admit(address, reason, now)) return;
    for (const std::string& line : repeats().summaries(now, false)) log_line(line);
    log_line(text);
}

void log_summaries(bool all) {
    for (const std::string& line : repeats().summaries(RepeatLimiter::Clock::now(), all)) log_line(line);
}

std::string loggable(std::string_view text) {
    constexpr std::size_t kShown = 100;
    std::string shown;
    std::size_t i = 0;
    while (i < text.size() && shown.size() < kShown) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                                                         : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        std::uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            code = code << 6 | (next & 0x3Fu);
        }
        // Overlong forms and surrogates are no characters either.
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            length = 0;
        // C0, DEL and C1 controls, and whatever is no UTF-8, show as '?'.
        if (length == 0 || code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            shown += '?';
            i += length == 0 ? 1 : length;
        } else {
            shown.append(text.substr(i, length));
            i += length;
        }
    }
    return i < text.size() ? shown + "..." : shown;
}

}  // namespace conf::web
