// The gateway's stderr log. Remote peers decide how often something is worth
// a line, so neither may they decide how much is written, nor may a log that
// nobody reads (a full pipe) hold up serving: lines go to a writer thread
// through a bounded queue, and what does not fit is counted and said later;
// a peer's repeated reason is written once a while and counted meanwhile.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace conf::web {

// Writes a line (without its end) as given; set before the first line.
void log_line(const std::string& text);
// A line caused by a remote peer (its IPv4 address, host order) for a
// reason (a fixed text): the first in each period is written, the rest
// counted and summed up at the period's end.
void log_peer(std::uint32_t address, std::string_view reason, const std::string& text);
// The counts of periods that have ended, and at the gateway's end all.
void log_summaries(bool all);

// A stranger's text as it may go into the log: no control characters (C0,
// DEL, C1 as UTF-8 or as single bytes), not too long.
std::string loggable(std::string_view text);

// Counts repeated (address, reason) pairs. The time is given with each call,
// so tests need no clock.
class RepeatLimiter {
public:
    using Clock = std::chrono::steady_clock;

    RepeatLimiter(Clock::duration period, std::size_t max_keys) : period_(period), max_keys_(max_keys) {}

    // True when this one is to be written.
    bool admit(std::uint32_t address, std::string_view reason, Clock::time_point now);
    // A line for each pair whose period has ended (or every pair when `all`)
    // with repeats in it.
    std::vector<std::string> summaries(Clock::time_point now, bool all);

private:
    struct Count {
        Clock::time_point since;
        std::size_t repeats = 0;
    };

    static std::string summary(const std::pair<std::uint32_t, std::string>& key, std::size_t repeats);

    Clock::duration period_;
    std::size_t max_keys_;
    std::vector<std::string> flushed_;  // counts of ended periods, not yet said
    std::map<std::pair<std::uint32_t, std::string>, Count> counts_;
    std::size_t unkept_ = 0;  // repeats not counted per pair: too many pairs
};

// Lines handed over without waiting; a thread writes them to `sink`.
class LogWriter {
public:
    LogWriter(std::function<void(const std::string&)> sink, std::size_t max_bytes);
    ~LogWriter();  // writes what waits, then ends the thread
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void write(std::string line);

private:
    void run();

    std::function<void(const std::string&)> sink_;
    std::size_t max_bytes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> lines_;
    std::size_t bytes_ = 0;
    std::size_t dropped_ = 0;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace conf::web
