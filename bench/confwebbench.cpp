// confwebbench: load benchmark for the web gateway (confweb), on 127.0.0.1.
//
// A relay and confweb in front of it are started; tabs open the gateway's
// WebSocket, join under names of their own and log in, and one UDP
// participant sends lines to that relay, so that each line reaches every tab
// as a WebSocket message through the gateway's own UDP sockets. A second
// relay carries the same lines to as many UDP receivers: the yardstick, the
// road without the gateway. The two take turns, one slice each per run, so
// that the machine's other work weighs on both alike, and the gateway's
// processor time per delivery is given as a ratio to the relay's, run by run.
//
// The relay's road has no WebSocket at all, so that ratio depends on how dear
// TCP is against UDP on the host. A third road takes turns with them: a bare
// broadcast gateway (bare_gateway, beside confwebbench) with a relay of its
// own, one UDP participant and the same Beast writes to every tab. What
// confweb costs beyond it is confweb's own doing.
//
// Cores: with two or more available, confweb, the bare gateway and the
// yardstick relay (never busy at once) are pinned to the first, confwebbench
// and the relays behind the gateways to the second. On loopback the sender's core pays for the whole
// road to the receiver's queue, so the gateway's core carries its TCP sends
// to the tabs as the yardstick relay's carries its datagrams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_figures.h"
#include "gnu_command_line.h"
#include "load_driver.h"
#include "load_run.h"
#include "protocol.h"
#include "relay_process.h"
#include "tab_load.h"

// Where confweb and confrelay are, relative to confwebbench's own folder:
// comma-separated string literals (see bench/CMakeLists.txt).
#ifndef CONF_WEB_CANDIDATES
#define CONF_WEB_CANDIDATES "confweb"
#endif
#ifndef CONF_RELAY_CANDIDATES
#define CONF_RELAY_CANDIDATES "confrelay"
#endif
#ifndef CONF_BARE_CANDIDATES
#define CONF_BARE_CANDIDATES "bare_gateway"
#endif

namespace {

using namespace conf::bench;

// What the gateway is to reach with 100 tabs.
constexpr double kTargetMessagesPerSecond = 150000;
constexpr double kTargetCpuRatio = 3;
constexpr double kTargetP99Us = 10000;

struct Options {
    LoadSettings load;
    std::string confweb;
    std::string confrelay;
    std::string bare_gateway;
    std::uint16_t web_port = 0;    // a gateway already running
    std::uint16_t web_relay = 0;   // and the relay it is in front of
    long web_pid = 0;              // and its process, when known
    int runs = 10;
    int latency_runs = 2;
    double latency_seconds = 2;
    bool pin = true;
    bool check = false;
};

// What help2man would turn into a man page, so kept in its layout.
constexpr char kHelp[] =
    "Usage: confwebbench [OPTION]...\n"
    "Measure the web gateway (confweb) under load on 127.0.0.1: WebSocket\n"
    "messages delivered, loss, latency and the gateway's processor time per\n"
    "delivery, beside confrelay's own figures with as many UDP receivers.\n"
    "\n"
    "It starts a relay and confweb in front of it (or uses running ones, with\n"
    "--web and --web-relay); N tabs open the gateway's WebSocket, join under names\n"
    "of their own and log in. The lines come from one UDP participant, sent to\n"
    "that relay, so a tab's own rate limit is not what is measured. In turns\n"
    "with the gateway, a second relay carries the same slices to N UDP\n"
    "receivers, and a bare broadcast gateway (one UDP participant, the same\n"
    "WebSocket writes to every tab) with a relay of its own to N tabs: the\n"
    "yardsticks.\n"
    "\n"
    "      --confweb PROGRAM       the gateway to start (default: the one beside\n"
    "                              confwebbench)\n"
    "      --confrelay PROGRAM     the relay to start, behind the gateway and as the\n"
    "                              yardstick (default: the one beside confwebbench)\n"
    "      --bare-gateway PROGRAM  the bare broadcast gateway (default: the one\n"
    "                              beside confwebbench)\n"
    "      --web PORT              use a confweb already running on 127.0.0.1:PORT\n"
    "      --web-relay PORT        the relay that running confweb is in front of\n"
    "      --web-pid PID           that confweb's process, to read its processor time\n"
    "      --tabs N                tabs, and receivers of the yardstick, 1 to 100\n"
    "                              (default 100)\n"
    "      --payload BYTES         bytes per line, 14 to 1023 (default 64)\n"
    "      --window LINES          lines in flight (default 256)\n"
    "      --lines N               lines in one throughput slice (default 2000)\n"
    "      --runs N                throughput slices of each, taken in turns\n"
    "                              (default 10)\n"
    "      --latency-rate LINES    lines per second while measuring latency\n"
    "                              (default 100)\n"
    "      --latency-seconds S     length of one latency turn (default 2)\n"
    "      --latency-runs N        latency turns of each (default 2)\n"
    "      --no-pin                leave the placement on cores to the system\n"
    "      --check                 exit 1 on any lost, duplicated or malformed line\n"
    "                              or message, a tab cut off, or an implausible figure\n"
    "      --help                  display this help and exit\n"
    "      --version               output version information and exit\n"
    "\n"
    "Exit status:\n"
    " 0  measured (and with --check, every check passed)\n"
    " 1  a check failed, or the load could not be set up\n"
    " 2  a usage error\n";

// Returns -1 to go on with `options`, else the exit status for main.
int parse_options(int argc, char** argv, Options* options) {
    using conf::gnu::Option;
    using Kind = Option::Kind;
    auto usage_error = [](const std::string& problem) { return conf::gnu::usage_error("confwebbench", problem); };
    options->load.slice_lines = 2000;
    options->load.latency_rate = 100;
    // A line that is late at the gateway is not lost: TCP to the tabs loses
    // nothing, so only a stall this long gives it up.
    options->load.stall_ms = 1000;
    auto count = [](int* field) { return [field](double n) { *field = static_cast<int>(n); }; };
    auto port = [](std::uint16_t* field) { return [field](double n) { *field = static_cast<std::uint16_t>(n); }; };
    auto text = [](std::string* field) {
        return [field](std::string_view value) -> std::string {
            *field = std::string(value);
            return {};
        };
    };
    LoadSettings& load = options->load;
    const std::vector<Option> table = {
        {"--confweb", Kind::Text, 0, 0, {}, {}, text(&options->confweb)},
        {"--confrelay", Kind::Text, 0, 0, {}, {}, text(&options->confrelay)},
        {"--bare-gateway", Kind::Text, 0, 0, {}, {}, text(&options->bare_gateway)},
        {"--web", Kind::Port, 0, 0, {}, port(&options->web_port)},
        {"--web-relay", Kind::Port, 0, 0, {}, port(&options->web_relay)},
        {"--no-pin", Kind::Flag, 0, 0, [options] { options->pin = false; }},
        {"--check", Kind::Flag, 0, 0, [options] { options->check = true; }},
        {"--tabs", Kind::Number, 1, conf::kMaxParticipants, {}, count(&load.receivers)},
        {"--payload", Kind::Number, 14, 1023, {}, [&load](double n) { load.payload = static_cast<std::size_t>(n); }},
        {"--window", Kind::Number, 1, 4000, {}, count(&load.window)},
        {"--lines", Kind::Number, 1, 1e7, {}, [&load](double n) { load.slice_lines = static_cast<std::int64_t>(n); }},
        {"--runs", Kind::Number, 1, 10000, {}, count(&options->runs)},
        {"--latency-rate", Kind::Number, 1, 100000, {}, [&load](double n) { load.latency_rate = n; }},
        {"--latency-seconds", Kind::Number, 0.01, 600, {}, [options](double n) { options->latency_seconds = n; }},
        {"--latency-runs", Kind::Number, 1, 1000, {}, count(&options->latency_runs)},
        {"--web-pid", Kind::Number, 1, 4194304, {}, [options](double n) { options->web_pid = static_cast<long>(n); }},
    };
    if (const int status = conf::gnu::parse_options("confwebbench", kHelp, table, argc, argv); status >= 0)
        return status;
    if ((options->web_port != 0) != (options->web_relay != 0))
        return usage_error("--web and --web-relay go together");
    if (options->confweb.empty()) {
        const char* const candidates[] = {CONF_WEB_CANDIDATES};
        options->confweb = conf::bench::program_near_us(candidates, std::size(candidates));
    }
    if (options->bare_gateway.empty()) {
        const char* const candidates[] = {CONF_BARE_CANDIDATES};
        options->bare_gateway = conf::bench::program_near_us(candidates, std::size(candidates));
    }
    if (options->confrelay.empty()) {
        const char* const candidates[] = {CONF_RELAY_CANDIDATES};
        options->confrelay = conf::bench::program_near_us(candidates, std::size(candidates));
    }
    return -1;
}

// Waits until something has bound the UDP port: the relay is up. A login
// through the gateway before that would only meet a closed port.
bool wait_for_udp_port(std::uint16_t port, RelayProcess& process) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < give_up && process.running()) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool taken = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                           errno == EADDRINUSE;
        if (fd >= 0) ::close(fd);
        if (taken) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

double cpu_us_per_delivery(const ThroughputSlice& slice) {
    return slice.relay_running_seconds >= 0 && slice.deliveries > 0
               ? slice.relay_running_seconds * 1e6 / static_cast<double>(slice.deliveries)
               : -1;
}
double running_share(const ThroughputSlice& slice) { return slice.relay_running_seconds / slice.seconds; }
double waiting_share(const ThroughputSlice& slice) { return slice.relay_waiting_seconds / slice.seconds; }
double bench_share(const ThroughputSlice& slice) { return slice.bench_seconds / slice.seconds; }

std::string problems_of(const Contender& road, int receivers, bool processor_time_known) {
    std::string problems = road.failure;
    if (processor_time_known && !(median_of(road.slices, cpu_us_per_delivery) > 0))
        add_problem(&problems, "no processor time per delivery");
    check_figures(road, receivers, "messages", &problems);
    return problems;
}

void print_row(const Contender& road, int receivers) {
    if (road.slices.empty()) {
        std::printf("%-30s failed: %s\n", road.label.c_str(), road.failure.c_str());
        return;
    }
    const double per_second = median_of(road.slices, deliveries_per_second);
    std::printf("%-30s %8s %12s %8s %5lld %4lld %4lld %6s %6s %7s %7s %6s\n", road.label.c_str(),
                format_number(per_second / receivers, "%.0f").c_str(), format_number(per_second, "%.0f").c_str(),
                format_number(median_of(road.slices, cpu_us_per_delivery), "%.2f").c_str(),
                static_cast<long long>(road.tally.lines_lost), static_cast<long long>(road.tally.duplicates),
                static_cast<long long>(road.tally.malformed),
                format_share(median_of(road.slices, running_share)).c_str(),
                format_share(median_of(road.slices, waiting_share)).c_str(),
                format_number(percentile(road.latencies_us, 0.5), "%.0f").c_str(),
                format_number(percentile(road.latencies_us, 0.99), "%.0f").c_str(),
                format_share(median_of(road.slices, bench_share)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse_options(argc, argv, &options); status >= 0) return status;
    const int tabs = options.load.receivers;

    int near_cpu = -1, far_cpu = -1;
    std::string placement = "placement on cores left to the system";
    const std::vector<int> cpus = conf::bench::available_cpus();
    if (options.pin && cpus.size() >= 2 && conf::bench::pin_to_cpu(cpus[1])) {
        near_cpu = cpus[1];
        far_cpu = cpus[0];
        placement = "confweb, the bare gateway and the yardstick relay pinned to CPU " + std::to_string(far_cpu) +
                    ", confwebbench and the relays behind the gateways to CPU " + std::to_string(near_cpu) + " (of " +
                    std::to_string(cpus.size()) + "; other work on the machine shares them)";
    }

    // The gateway's road: a relay, confweb in front of it, the tabs.
    RelayProcess web_relay_process, gateway_process;
    std::uint16_t web_port = options.web_port, web_relay = options.web_relay;
    const bool own_gateway = web_port == 0;
    std::string error;
    if (own_gateway) {
        web_relay = conf::bench::free_udp_port();
        web_port = conf::bench::free_tcp_port();
        if (!web_relay_process.start({options.confrelay}, web_relay, near_cpu, &error) ||
            !wait_for_udp_port(web_relay, web_relay_process)) {
            std::fprintf(stderr, "confwebbench: the relay behind the gateway did not start%s%s\n",
                         error.empty() ? "" : ": ", error.c_str());
            return 1;
        }
        const std::vector<std::string> command = {options.confweb, "--relay", "127.0.0.1:" + std::to_string(web_relay),
                                                  "--listen", "127.0.0.1:" + std::to_string(web_port)};
        if (!gateway_process.start_command(command, far_cpu, &error)) {
            std::fprintf(stderr, "confwebbench: %s\n", error.c_str());
            return 1;
        }
    }
    const long web_pid = options.web_pid;
    auto gateway_time = [&gateway_process, own_gateway, web_pid] {
        if (own_gateway) return gateway_process.processor_time();
        return web_pid > 0 ? conf::bench::processor_time_of(static_cast<pid_t>(web_pid)) : ProcessorTime{};
    };
    auto gateway_alive = [&gateway_process, own_gateway] { return !own_gateway || gateway_process.running(); };
    auto tab_load = std::make_unique<TabLoadSession>(web_port, web_relay, options.load, gateway_time, gateway_alive);
    if (!tab_load->start(&error)) {
        std::fprintf(stderr, "confwebbench: %s\n", error.c_str());
        return 1;
    }

    // The yardstick of Beast's cost: a bare gateway with a relay of its own.
    // Its port is taken only now that confweb listens on its own.
    RelayProcess bare_relay_process, bare_process;
    const std::uint16_t bare_relay = conf::bench::free_udp_port();
    if (!bare_relay_process.start({options.confrelay}, bare_relay, near_cpu, &error) ||
        !wait_for_udp_port(bare_relay, bare_relay_process)) {
        std::fprintf(stderr, "confwebbench: the relay behind the bare gateway did not start%s%s\n",
                     error.empty() ? "" : ": ", error.c_str());
        return 1;
    }
    const std::uint16_t bare_port = conf::bench::free_tcp_port();
    if (!bare_process.start_command({options.bare_gateway, std::to_string(bare_relay), std::to_string(bare_port)},
                                    far_cpu, &error)) {
        std::fprintf(stderr, "confwebbench: %s\n", error.c_str());
        return 1;
    }
    auto bare_load = std::make_unique<TabLoadSession>(
        bare_port, bare_relay, options.load, [&bare_process] { return bare_process.processor_time(); },
        [&bare_process] { return bare_process.running(); });
    if (!bare_load->start(&error)) {
        std::fprintf(stderr, "confwebbench: the bare gateway: %s\n", error.c_str());
        return 1;
    }

    // The yardstick: a relay of its own with as many UDP receivers.
    RelayProcess yardstick_process;
    const std::uint16_t yardstick_port = conf::bench::free_udp_port();
    if (!yardstick_process.start({options.confrelay}, yardstick_port, far_cpu, &error)) {
        std::fprintf(stderr, "confwebbench: %s\n", error.c_str());
        return 1;
    }
    auto udp_load = std::make_unique<LoadSession>(
        yardstick_port, options.load, [&yardstick_process] { return yardstick_process.processor_time(); },
        [&yardstick_process] { return yardstick_process.running(); });
    if (!udp_load->start(&error)) {
        std::fprintf(stderr, "confwebbench: the yardstick relay: %s\n", error.c_str());
        return 1;
    }

    Contender gateway, bare, relay;
    gateway.label = "confweb, " + std::to_string(tabs) + " tabs";
    gateway.target = tab_load.get();
    bare.label = "bare gateway, " + std::to_string(tabs) + " tabs";
    bare.target = bare_load.get();
    relay.label = "confrelay, " + std::to_string(tabs) + " UDP receivers";
    relay.target = udp_load.get();
    // The relay behind the gateway: its share of each gateway slice.
    std::vector<double> behind_shares;
    ProcessorTime behind_before;
    gateway.before_slice = [&] { behind_before = web_relay_process.processor_time(); };
    gateway.after_slice = [&](const ThroughputSlice& slice, bool counted) {
        const ProcessorTime after = web_relay_process.processor_time();
        if (counted && behind_before.running_ns >= 0 && after.running_ns >= behind_before.running_ns)
            behind_shares.push_back(static_cast<double>(after.running_ns - behind_before.running_ns) / 1e9 /
                                    slice.seconds);
    };
    take_turns({&gateway, &bare, &relay},
               {options.runs, options.latency_runs, options.latency_seconds, options.load.slice_limit_seconds});
    tab_load.reset();  // the tabs close: the gateway's participants leave
    bare_load.reset();
    udp_load.reset();
    std::string how;
    if (!yardstick_process.stop(&how)) relay.failure += (relay.failure.empty() ? "relay " : "; relay ") + how;
    if (!bare_process.stop(&how)) bare.failure += (bare.failure.empty() ? "bare gateway " : "; bare gateway ") + how;
    bare_relay_process.stop(&how);
    if (own_gateway && !gateway_process.stop(&how))
        gateway.failure += (gateway.failure.empty() ? "confweb " : "; confweb ") + how;
    if (own_gateway) web_relay_process.stop(&how);

    // Ratios are taken run by run, a moment apart on the same machine.
    auto cpu_ratio_of = [](const Contender& mine, const Contender& theirs) {
        return median_ratio(per_run(mine.slices, cpu_us_per_delivery), per_run(theirs.slices, cpu_us_per_delivery));
    };
    const double cpu_ratio = cpu_ratio_of(gateway, relay);
    const double beast_ratio = cpu_ratio_of(gateway, bare);

    std::printf("confwebbench: %d tabs, %zu-byte lines from one UDP sender; throughput: %d runs of %lld lines "
                "(window %d), confweb, bare gateway and yardstick relay in turns; latency: %d turns of %.1f s at %.0f lines/s\n",
                tabs, options.load.payload, options.runs, static_cast<long long>(options.load.slice_lines),
                options.load.window, options.latency_runs, options.latency_seconds, options.load.latency_rate);
    std::printf("cores: %s\n", placement.c_str());
    std::printf("medians over the runs\n\n");
    std::printf("%-30s %8s %12s %8s %5s %4s %4s %6s %6s %7s %7s %6s\n", "", "", "", "CPU us", "", "", "", "", "", "latency",
                "", "bench");
    std::printf("%-30s %8s %12s %8s %5s %4s %4s %6s %6s %7s %7s %6s\n", "", "lines/s", "deliveries/s", "per dlv", "lost",
                "dup", "bad", "CPU", "waits", "p50 us", "p99 us", "CPU");
    print_row(gateway, tabs);
    print_row(bare, tabs);
    print_row(relay, tabs);
    std::printf("\nCPU per delivery, medians of the per-run ratios: confweb / bare gateway (Beast's own cost) %s;"
                " confweb / confrelay %s; bare gateway / confrelay %s\n",
                format_number(beast_ratio, "%.2f").c_str(), format_number(cpu_ratio, "%.2f").c_str(),
                format_number(cpu_ratio_of(bare, relay), "%.2f").c_str());
    if (!behind_shares.empty())
        std::printf("the relay behind confweb ran %s of the gateway's slices\n", format_share(median(behind_shares)).c_str());

    if (tabs == conf::kMaxParticipants && !gateway.slices.empty()) {
        const double per_second = median_of(gateway.slices, deliveries_per_second);
        const double p99 = percentile(gateway.latencies_us, 0.99);
        auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
        const bool no_loss = gateway.tally.lines_lost == 0 && gateway.tally.duplicates == 0 && gateway.tally.malformed == 0;
        std::printf("targets: no loss: %s; >= %.0f messages/s: %.0f, %s; CPU per delivery <= %.0fx the relay's: %s, %s;"
                    " p99 <= %.0f ms at %.0f lines/s: %.1f ms, %s\n",
                    verdict(no_loss), kTargetMessagesPerSecond, per_second,
                    verdict(per_second >= kTargetMessagesPerSecond), kTargetCpuRatio,
                    format_number(cpu_ratio, "%.2fx").c_str(), verdict(cpu_ratio <= kTargetCpuRatio),
                    kTargetP99Us / 1000, options.load.latency_rate, p99 / 1000, verdict(p99 <= kTargetP99Us));
    }
    std::printf("\nbare gateway: one UDP participant of its own relay and the same WebSocket writes to every tab,\n"
                "no participant per tab; what confweb costs beyond it is its own.\n"
                "deliveries/s: copies received per second, all receivers together (WebSocket messages for the\n"
                "gateways, datagrams for the relay), from a slice's first send to its last copy. CPU us per dlv:\n"
                "the process's own processor time per delivery. lost: lines of all runs that missed a receiver; dup, bad: copies\n"
                "received twice, messages that are no line of ours. CPU / waits: share of a slice the process ran,\n"
                "and spent ready to run while other work held its core. latency: from the send to the last tab's\n"
                "copy read by confwebbench (gateways), or to the kernel queueing the last receiver's copy (relay).\n"
                "bench CPU: confwebbench's own share of its core during a slice.\n");
    if (options.check) {
        int failures = 0;
        for (const Contender* road : {&gateway, &bare, &relay}) {
            const bool processor_time_known = road != &gateway || own_gateway || web_pid > 0;
            const std::string problems = problems_of(*road, tabs, processor_time_known);
            if (!problems.empty()) {
                std::fprintf(stderr, "check: %s: %s\n", road->label.c_str(), problems.c_str());
                ++failures;
            }
        }
        if ((own_gateway || web_pid > 0) && !gateway.slices.empty() && !bare.slices.empty() && !(beast_ratio > 0)) {
            std::fprintf(stderr, "check: no processor time per delivery to compare with the bare gateway's\n");
            ++failures;
        }
        std::printf("check: %s\n", failures == 0 ? "passed" : "FAILED (see above)");
        return failures == 0 ? 0 : 1;
    }
    return 0;
}
