// One measurement of a relay: receivers log in through the real protocol,
// senders push fixed-size lines through it, and every receiver's copy of
// every line is counted.
//
// Throughput is measured with a window: each sender keeps at most `window`
// lines on their way that have not yet reached every receiver. That keeps the
// relay busy without overrunning its receive queue, so the figure is what the
// relay sustains, and any loss is a real one. Latency is measured apart, at a
// light fixed rate, from the send to the moment the kernel queued the last
// receiver's copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace conf::bench {

// Where the relay's time went, as the scheduler counts it; -1 when unknown.
struct ProcessorTime {
    std::int64_t running_ns = -1;  // on a core, in our code or the kernel's on our behalf
    std::int64_t waiting_ns = -1;  // ready to run, but the core was busy with other work
};

struct LoadSettings {
    int receivers = 100;
    int senders = 1;
    std::size_t payload = 64;        // bytes per line
    int window = 512;                // lines in flight per sender
    double warmup_seconds = 0.3;
    double seconds = 2.0;            // throughput measurement
    std::int64_t max_lines = 2000000;  // per sender, bounds the throughput phase
    double latency_rate = 200;       // lines per second
    double latency_seconds = 1.5;
    int stall_ms = 250;              // a line not everywhere by then counts as lost
    bool leave_afterwards = false;   // send leave notices (a relay that keeps running)
};

struct LoadResult {
    bool ok = false;
    std::string error;

    double lines_per_second = 0;       // lines that reached every receiver
    double deliveries_per_second = 0;  // copies received, all receivers together
    std::int64_t lines_sent = 0;       // both phases
    std::int64_t lines_lost = 0;       // sent but missing at one receiver or more
    std::int64_t duplicates = 0;
    std::int64_t malformed = 0;        // datagrams that are no line of ours

    double relay_cpu_share = -1;       // of one core while measuring; < 0 unknown
    double relay_wait_share = -1;      // ready but kept off its core by other work
    double bench_cpu_share = 0;
    // What the relay would carry with a core of its own: deliveries per
    // second of its processor time. Steadier than deliveries_per_second on a
    // shared machine.
    double deliveries_per_relay_cpu_second = -1;

    std::int64_t latency_samples = 0;
    double latency_p50_us = 0;
    double latency_p99_us = 0;
};

LoadResult measure_relay(std::uint16_t port, const LoadSettings& settings,
                         const std::function<ProcessorTime()>& relay_time,
                         const std::function<bool()>& relay_alive);

}  // namespace conf::bench
