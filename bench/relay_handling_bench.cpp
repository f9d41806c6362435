// What the relay's own code costs per datagram, apart from the system calls:
// the handling of a line for 100 participants into the batch that sendmmsg
// takes, and the same with the batch turned into sendmmsg's headers.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "batched_relay_linux.h"
#include "protocol.h"
#include "relay_server.h"

namespace {

class SilentView final : public conf::RelayView {
public:
    void show_report(const char*, const char*, conf::ReportOwner) override {}
    void show_count(std::uint32_t) override {}
    bool register_read_events(conf::net::SocketHandle) override { return true; }
};

class DiscardingSender final : public conf::DatagramSender {
public:
    void send_datagram(const conf::net::SocketAddress&, std::string_view bytes) override {
        benchmark::DoNotOptimize(bytes.data());
    }
};

// A relay whose table holds `participants` logged-in participants.
void fill(conf::RelayServer& relay, int participants) {
    DiscardingSender discard;
    for (int i = 0; i < participants; ++i) {
        const std::string name = "p" + std::to_string(i);
        relay.handle_datagram(conf::compose_login_request(name, "hi").view(),
                              conf::net::make_address(0x7F000001u, static_cast<std::uint16_t>(20000 + i)), discard);
    }
}

const std::string kLine(64, 'x');
const conf::net::SocketAddress kSender = conf::net::make_address(0x7F000001u, 19999);

void HandleLineForEveryParticipant(benchmark::State& state) {
    SilentView view;
    conf::RelayServer relay(view);
    fill(relay, static_cast<int>(state.range(0)));
    DiscardingSender discard;
    for (auto _ : state) relay.handle_datagram(kLine, kSender, discard);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(HandleLineForEveryParticipant)->Arg(100);

void CollectLinesIntoSendBatch(benchmark::State& state) {
    SilentView view;
    conf::RelayServer relay(view);
    fill(relay, static_cast<int>(state.range(0)));
    conf::OutgoingBatch batch;
    std::vector<mmsghdr> messages;
    std::vector<iovec> vectors;
    const int lines_per_batch = 9;  // about one sendmmsg call's worth
    for (auto _ : state) {
        for (int i = 0; i < lines_per_batch; ++i) relay.handle_datagram(kLine, kSender, batch);
        batch.prepare(&messages, &vectors);
        benchmark::DoNotOptimize(messages.data());
        batch.clear();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * lines_per_batch);
}
BENCHMARK(CollectLinesIntoSendBatch)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
