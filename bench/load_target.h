// What a load benchmark drives, whatever carries the lines: a relay with its
// UDP receivers, or a gateway with its tabs. The turn-taking and the checks
// see only this, so every road is measured by the same rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace conf::bench {

struct ThroughputSlice {
    bool complete = false;
    double seconds = 0;
    std::int64_t deliveries = 0;    // copies received, all receivers together
    std::int64_t lines = 0;         // lines that reached every receiver
    double relay_running_seconds = -1;
    double relay_waiting_seconds = -1;
    double bench_seconds = 0;       // our own processor time
};

struct LoadTally {
    std::int64_t lines_sent = 0;
    std::int64_t lines_lost = 0;  // sent but missing at one receiver or more
    std::int64_t duplicates = 0;
    std::int64_t malformed = 0;   // datagrams that are no line of ours
    std::int64_t exit_notices = 0;  // the relay's notices that a closed receiver left
};

class LoadTarget {
public:
    virtual ~LoadTarget() = default;

    // Opens the connections and logs every receiver in. False with `error`
    // set when that fails.
    virtual bool start(std::string* error) = 0;
    virtual ThroughputSlice push_slice() = 0;
    // Sends lines at the light rate for `seconds`, waits for them, and adds
    // one latency (microseconds) per line that reached everyone.
    virtual void measure_latency(double seconds, std::vector<double>* latencies_us) = 0;
    virtual LoadTally tally() const = 0;
    // Why a receiver's connection ended before the bench closed it; empty
    // when none did, or when the target cannot tell.
    virtual std::string trouble() const = 0;

protected:
    LoadTarget() = default;
    LoadTarget(const LoadTarget&) = delete;
    LoadTarget& operator=(const LoadTarget&) = delete;
};

}  // namespace conf::bench
