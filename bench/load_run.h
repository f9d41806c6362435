// The load on one relay: receivers log in through the real protocol, senders
// push fixed-size lines through it, and every receiver's copy of every line
// is counted.
//
// Throughput is measured in slices of a fixed number of lines, timed from the
// first send until the last line has reached every receiver. Each sender
// keeps at most `window` lines on their way that are not yet everywhere, which
// keeps the relay busy without overrunning its receive queue, so a slice
// shows what the relay sustains and any loss is a real one. Latency is
// measured apart, at a light fixed rate, from the send to the moment the
// kernel queued the last receiver's copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "load_target.h"

namespace conf::bench {

// The lines of the load: "Lss:nnnnnnnnnn" (sender, line number), then '.'
// up to the payload size, so that every copy says which line it is.
constexpr std::size_t kLineHeader = 14;
void compose_load_line(char* out, std::size_t payload, int sender, std::int64_t number);
// False for anything but such a line of exactly `payload` bytes.
bool parse_load_line(const char* bytes, std::size_t length, std::size_t payload, int* sender, std::int64_t* number);

// Where the relay's time went, as the scheduler counts it; -1 when unknown.
struct ProcessorTime {
    std::int64_t running_ns = -1;  // on a core, in its code or the kernel's on its behalf
    std::int64_t waiting_ns = -1;  // ready to run, but the core was busy with other work
};

struct LoadSettings {
    int receivers = 100;
    int senders = 1;
    std::size_t payload = 64;         // bytes per line
    int window = 256;                 // lines in flight per sender
    std::int64_t slice_lines = 600;   // lines per sender in one throughput slice
    double slice_limit_seconds = 20;  // a slice that takes longer is abandoned
    double latency_rate = 200;        // lines per second
    int stall_ms = 250;               // a line not everywhere by then counts as lost
};

class LoadSession final : public LoadTarget {
public:
    // `relay_time` reads the relay's processor time; `relay_alive` says
    // whether it still runs.
    LoadSession(std::uint16_t port, const LoadSettings& settings, std::function<ProcessorTime()> relay_time,
                std::function<bool()> relay_alive);
    ~LoadSession() override;

    // Opens the sockets and logs every receiver in.
    bool start(std::string* error) override;

    ThroughputSlice push_slice() override;
    void measure_latency(double seconds, std::vector<double>* latencies_us) override;

    // Closes the sockets of the last `count` receivers without a leave notice,
    // as a program that is killed would: the relay still holds their places
    // and its datagrams to them bounce. The figures count the others only.
    // Done once every session has opened its sockets, so that no receiver of
    // ours is given a port just closed.
    void close_receivers(int count);

    // Leave notices for every receiver, for a relay that keeps running.
    void leave();
    LoadTally tally() const override;
    // Datagrams give no sign of a receiver cut off: a lost line says it.
    std::string trouble() const override { return {}; }

private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace conf::bench
