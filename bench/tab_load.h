// The load on a web gateway (confweb): tabs open its WebSocket, each joins
// under a name of its own and logs in through it, and one UDP participant
// sends lines to the relay behind it, so that every line reaches every tab
// as one WebSocket message. Every tab's copy of every line is counted.
//
// The lines come from UDP rather than from a tab: a tab may send only 20
// lines a second, and what is measured is the gateway's way from the relay
// to the browsers. Slices and the window of lines in flight work as in
// LoadSession. Latency runs from the send to the moment the last tab's copy
// is read: TCP gives no receive stamps, so the bench's own wake-up counts
// too, a few microseconds at the light rate at which it is measured.
//
// The WebSocket client is the least a load generator needs and nothing for
// a program to copy: the upgrade request, the server's frames read as they
// come, masked frames for the few it sends, pongs for the gateway's pings.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "load_run.h"

namespace conf::bench {

class TabLoadSession final : public LoadTarget {
public:
    // The gateway listens on 127.0.0.1:`web_port` and is in front of the
    // relay on 127.0.0.1:`relay_port`, to which the lines are sent.
    // settings.receivers is the number of tabs; there is one sender.
    // `gateway_time` and `gateway_alive` as for LoadSession.
    TabLoadSession(std::uint16_t web_port, std::uint16_t relay_port, const LoadSettings& settings,
                   std::function<ProcessorTime()> gateway_time, std::function<bool()> gateway_alive);
    ~TabLoadSession() override;

    // Opens the tabs and logs every one in.
    bool start(std::string* error) override;

    // As LoadSession's; the processor times in the slice are the gateway's.
    ThroughputSlice push_slice() override;
    void measure_latency(double seconds, std::vector<double>* latencies_us) override;

    LoadTally tally() const override;
    // Why a tab's connection ended before the bench closed it.
    std::string trouble() const override;

private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace conf::bench
