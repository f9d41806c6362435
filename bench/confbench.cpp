// confbench: load benchmark for the conference relay, on 127.0.0.1.
//
// All relays under test, the reference relay among them, are started side by
// side, each with its own receivers logged in. They then take turns: in each
// run every relay carries one slice of a fixed number of lines, one relay
// after another, so that the machine's other work weighs on all of them alike.
// Every figure is also given as the median of its per-run ratios to the
// reference relay, because this machine is shared and absolute figures drift
// by the second.
//
// Cores: with two or more available, the relays are pinned to the first and
// confbench (senders and receivers in one thread) to the second. Only the
// relay whose turn it is has work. On loopback the kernel queues each
// datagram at its receiver within the relay's send call, so the relay's core
// pays for the whole road to the receiver's queue and confbench's core for
// taking the datagrams out. Whatever else runs on the machine shares both.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bench_figures.h"
#include "catch_up.h"
#include "gnu_command_line.h"
#include "load_driver.h"
#include "load_run.h"
#include "relay_process.h"

// Where the relays are, relative to confbench's own folder: comma-separated
// string literals, the installed place first (see bench/CMakeLists.txt).
#ifndef CONF_RELAY_CANDIDATES
#define CONF_RELAY_CANDIDATES "confrelay"
#endif
#ifndef CONF_REFERENCE_CANDIDATES
#define CONF_REFERENCE_CANDIDATES "reference_relay"
#endif

namespace {

using namespace conf::bench;

struct Subject {
    std::string label;
    std::vector<std::string> command;  // empty: a relay already running on `port`
    std::uint16_t port = 0;
    int closed = 0;             // receivers that close without leaving
    int alive_sibling = -1;     // for those: the same relay with every receiver alive
};

struct Options {
    LoadSettings load;
    std::vector<Subject> subjects;  // the reference relay first, when there is one
    std::string reference_program;  // empty: the one installed or built with confbench
    bool with_reference = true;
    int closed_receivers = 0;
    int runs = 20;
    int latency_runs = 4;
    double latency_seconds = 0.4;
    bool pin = true;
    bool check = false;
    int catch_ups = 0;
};

// What help2man turns into the man page, so kept in its layout.
constexpr char kHelp[] =
    "Usage: confbench [OPTION]...\n"
    "Measure conference relays under load on 127.0.0.1: throughput, loss and\n"
    "latency, with receivers that log in through the real protocol.\n"
    "\n"
    "All relays under test are started side by side and take turns, one slice of\n"
    "lines each per run, so that the machine's other work weighs on all of them\n"
    "alike; every figure is also given as the median of its per-run ratios to the\n"
    "reference relay. Without --relay or --port it measures confrelay and\n"
    "confrelay --per-datagram, found beside confbench.\n"
    "\n"
    "      --relay \"PROGRAM [ARGS]\"  a relay to measure, started as PROGRAM ARGS PORT;\n"
    "                              repeatable\n"
    "      --port PORT             measure a relay already running on 127.0.0.1:PORT\n"
    "      --reference PROGRAM     the reference relay (default: the one installed\n"
    "                              with confbench)\n"
    "      --no-reference          measure without the reference relay (no ratios)\n"
    "      --receivers N           participants that log in and receive (default 100)\n"
    "      --senders N             sockets that send lines (default 1)\n"
    "      --payload BYTES         bytes per line, 14 to 1023 (default 64)\n"
    "      --closed-receivers N    also measure each relay started here with N of\n"
    "                              its receivers closed without leaving, their\n"
    "                              lines bouncing, beside its run with all alive\n"
    "      --window LINES          lines in flight per sender (default 256)\n"
    "      --lines N               lines per sender in one throughput slice\n"
    "                              (default 600)\n"
    "      --runs N                throughput slices per relay, taken in turns\n"
    "                              (default 20)\n"
    "      --latency-rate LINES    lines per second while measuring latency\n"
    "                              (default 200)\n"
    "      --latency-seconds S     length of one latency turn (default 0.4)\n"
    "      --latency-runs N        latency turns per relay (default 4)\n"
    "      --catch-ups N           also time N late joiners' catch-up on each relay\n"
    "                              started here, run once more with --history 500\n"
    "      --no-pin                leave the placement on cores to the system\n"
    "      --check                 exit 1 on any lost, duplicated or malformed line\n"
    "                              or an implausible figure\n"
    "      --help                  display this help and exit\n"
    "      --version               output version information and exit\n"
    "\n"
    "Exit status:\n"
    " 0  measured (and with --check, every check passed)\n"
    " 1  a check failed\n"
    " 2  a usage error\n";

std::vector<std::string> split_words(const std::string& text) {
    std::istringstream words(text);
    std::vector<std::string> result;
    for (std::string word; words >> word;) result.push_back(word);
    return result;
}

std::string label_of(const std::vector<std::string>& command) {
    std::string label;
    for (std::size_t i = 0; i < command.size(); ++i) {
        std::string word = command[i];
        if (i == 0) {
            const std::size_t slash = word.rfind('/');
            if (slash != std::string::npos) word = word.substr(slash + 1);
        }
        label += (i == 0 ? "" : " ") + word;
    }
    return label;
}

// The relays of an installed confbench are beside it (confrelay) and in the
// package's own folder (the reference relay); in the build tree, in the
// folders they are built in. The first that exists is taken.
std::string default_relay() {
    const char* const candidates[] = {CONF_RELAY_CANDIDATES};
    return program_near_us(candidates, std::size(candidates));
}

std::string default_reference() {
    const char* const candidates[] = {CONF_REFERENCE_CANDIDATES};
    return program_near_us(candidates, std::size(candidates));
}

// Returns -1 to go on with `options`, else the exit status for main.
int parse_options(int argc, char** argv, Options* options) {
    using conf::gnu::Option;
    using Kind = Option::Kind;
    std::vector<Subject> relays;
    auto count = [](int* field) { return [field](double n) { *field = static_cast<int>(n); }; };
    LoadSettings& load = options->load;
    const std::vector<Option> table = {
        {"--relay", Kind::Text, 0, 0, {}, {}, [&relays](std::string_view value) -> std::string {
             Subject subject;
             subject.command = split_words(std::string(value));
             if (subject.command.empty()) return "--relay needs a program";
             subject.label = label_of(subject.command);
             relays.push_back(subject);
             return {};
         }},
        {"--port", Kind::Port, 0, 0, {}, [&relays](double port) {
             Subject subject;
             subject.port = static_cast<std::uint16_t>(port);
             subject.label = "relay on port " + std::to_string(subject.port);
             relays.push_back(subject);
         }},
        {"--reference", Kind::Text, 0, 0, {}, {}, [options](std::string_view value) -> std::string {
             options->reference_program = std::string(value);
             return {};
         }},
        {"--no-reference", Kind::Flag, 0, 0, [options] { options->with_reference = false; }},
        {"--no-pin", Kind::Flag, 0, 0, [options] { options->pin = false; }},
        {"--check", Kind::Flag, 0, 0, [options] { options->check = true; }},
        {"--receivers", Kind::Number, 1, 1000, {}, count(&load.receivers)},
        {"--senders", Kind::Number, 1, 99, {}, count(&load.senders)},
        {"--closed-receivers", Kind::Number, 1, 999, {}, count(&options->closed_receivers)},
        {"--payload", Kind::Number, 14, 1023, {}, [&load](double n) { load.payload = static_cast<std::size_t>(n); }},
        {"--window", Kind::Number, 1, 100000, {}, count(&load.window)},
        {"--lines", Kind::Number, 1, 1e7, {}, [&load](double n) { load.slice_lines = static_cast<std::int64_t>(n); }},
        {"--runs", Kind::Number, 1, 10000, {}, count(&options->runs)},
        {"--latency-rate", Kind::Number, 1, 100000, {}, [&load](double n) { load.latency_rate = n; }},
        {"--latency-seconds", Kind::Number, 0.01, 600, {}, [options](double n) { options->latency_seconds = n; }},
        {"--latency-runs", Kind::Number, 1, 1000, {}, count(&options->latency_runs)},
        {"--catch-ups", Kind::Number, 1, 1000, {}, count(&options->catch_ups)},
    };
    if (const int status = conf::gnu::parse_options("confbench", kHelp, table, argc, argv); status >= 0)
        return status;
    if (options->closed_receivers >= load.receivers)
        return conf::gnu::usage_error("confbench", "--closed-receivers must leave at least one receiver alive");
    if (relays.empty()) {
        const std::string relay = default_relay();
        relays.push_back({"confrelay", {relay}, 0});
        relays.push_back({"confrelay --per-datagram", {relay, "--per-datagram"}, 0});
    }
    if (options->reference_program.empty()) options->reference_program = default_reference();
    if (options->with_reference) options->subjects.push_back({"reference relay", {options->reference_program}, 0});
    // A relay that is already running cannot be had twice: its places for
    // the closed receivers would weigh on its all-alive run too.
    for (const Subject& relay : relays) {
        options->subjects.push_back(relay);
        if (options->closed_receivers == 0 || relay.command.empty()) continue;
        Subject closed = relay;
        closed.closed = options->closed_receivers;
        closed.alive_sibling = static_cast<int>(options->subjects.size()) - 1;
        closed.label += " (" + std::to_string(closed.closed) + " closed)";
        options->subjects.push_back(closed);
    }
    return -1;
}

// One relay under measurement: how it runs, and what is measured of it.
struct Contestant {
    Subject subject;
    conf::bench::RelayProcess process;
    std::unique_ptr<LoadSession> session;
    Contender measured;
    std::string stop_problem;
};

void start_contestant(Contestant& contestant, const Options& options, int relay_cpu) {
    const Subject& subject = contestant.subject;
    Contender& measured = contestant.measured;
    measured.label = subject.label;
    std::uint16_t port = subject.port;
    if (!subject.command.empty()) {
        port = conf::bench::free_udp_port();
        if (!contestant.process.start(subject.command, port, relay_cpu, &measured.failure)) return;
    }
    conf::bench::RelayProcess* process = subject.command.empty() ? nullptr : &contestant.process;
    contestant.session = std::make_unique<LoadSession>(
        port, options.load,
        [process] { return process != nullptr ? process->processor_time() : conf::bench::ProcessorTime{}; },
        [process] { return process == nullptr || process->running(); });
    measured.target = contestant.session.get();
    std::string error;
    if (!contestant.session->start(&error)) measured.failure = error;
}

void finish_contestant(Contestant& contestant) {
    if (contestant.session != nullptr) {
        if (contestant.subject.command.empty()) contestant.session->leave();
        contestant.measured.target = nullptr;
        contestant.session.reset();
    }
    if (!contestant.subject.command.empty()) {
        std::string how;
        if (!contestant.process.stop(&how)) contestant.stop_problem = how;
    }
}

double deliveries_per_relay_second(const ThroughputSlice& slice) {
    return slice.relay_running_seconds > 0 ? static_cast<double>(slice.deliveries) / slice.relay_running_seconds : -1;
}
double relay_share(const ThroughputSlice& slice) { return slice.relay_running_seconds / slice.seconds; }
double waiting_share(const ThroughputSlice& slice) { return slice.relay_waiting_seconds / slice.seconds; }
double bench_share(const ThroughputSlice& slice) { return slice.bench_seconds / slice.seconds; }

// `alive_ratio`: the closed run's lines per second against the all-alive
// run's, NaN for a relay with every receiver alive.
std::string check_problems(const Contestant& contestant, int receivers, double alive_ratio) {
    const Contender& measured = contestant.measured;
    if (!measured.failure.empty()) return measured.failure;
    std::string problems;
    check_figures(measured, receivers, "datagrams", &problems);
    if (!contestant.stop_problem.empty()) add_problem(&problems, "relay " + contestant.stop_problem);
    if (contestant.subject.closed > 0 && !(alive_ratio > 0))
        add_problem(&problems, "no throughput to compare with all receivers alive");
    if (measured.tally.exit_notices % receivers != 0)
        add_problem(&problems, std::to_string(measured.tally.exit_notices) + " exit notices for " +
                                   std::to_string(receivers) + " receivers");
    return problems;
}

// Each relay started here (the reference relay keeps no history) runs once
// more on its own, with a full history, for late joiners to be timed.
// Returns how many could not be measured.
int report_catch_ups(const Options& options, int relay_cpu) {
    constexpr int kHistory = 500;
    std::printf("\ncatch-up of a late joiner: %d logins, history of %d lines of %zu bytes; from the login reply\n"
                "to the closing line, as the kernel stamped their arrival\n\n",
                options.catch_ups, kHistory, options.load.payload);
    std::printf("%-40s %6s %8s %8s %8s\n", "relay --history 500", "lines", "min ms", "med ms", "max ms");
    int failures = 0;
    for (const Subject& subject : options.subjects) {
        if (subject.command.empty() || subject.closed > 0 || subject.label == "reference relay") continue;
        std::vector<std::string> command = subject.command;
        command.insert(command.end(), {"--history", std::to_string(kHistory)});
        conf::bench::RelayProcess process;
        std::string error, how;
        conf::bench::CatchUpFigures figures;
        const std::uint16_t port = conf::bench::free_udp_port();
        if (process.start(command, port, relay_cpu, &error))
            figures = conf::bench::measure_catch_ups(port, kHistory, options.load.payload, options.catch_ups);
        else
            figures.failure = error;
        if (figures.failure.empty() && figures.fewest_lines != kHistory)
            figures.failure = "a login was sent " + std::to_string(figures.fewest_lines) + " history lines";
        if (!process.stop(&how) && figures.failure.empty()) figures.failure = "relay " + how;
        if (!figures.failure.empty()) {
            std::printf("%-40s failed: %s\n", subject.label.c_str(), figures.failure.c_str());
            ++failures;
            continue;
        }
        const auto [fastest, slowest] = std::minmax_element(figures.milliseconds.begin(), figures.milliseconds.end());
        std::printf("%-40s %6d %8.2f %8.2f %8.2f\n", subject.label.c_str(), figures.fewest_lines, *fastest,
                    median(figures.milliseconds), *slowest);
    }
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse_options(argc, argv, &options); status >= 0) return status;

    int relay_cpu = -1;
    std::string placement = "placement on cores left to the system";
    const std::vector<int> cpus = available_cpus();
    if (options.pin && cpus.size() >= 2 && conf::bench::pin_to_cpu(cpus[1])) {
        relay_cpu = cpus[0];
        placement = "relays pinned to CPU " + std::to_string(cpus[0]) + ", confbench to CPU " +
                    std::to_string(cpus[1]) + " (of " + std::to_string(cpus.size()) +
                    "; other work on the machine shares them)";
    }

    const std::size_t count = options.subjects.size();
    std::vector<Contestant> contestants(count);
    std::vector<Contender*> contenders;
    for (std::size_t i = 0; i < count; ++i) {
        Contestant& contestant = contestants[i];
        contestant.subject = options.subjects[i];
        start_contestant(contestant, options, relay_cpu);
        if (!contestant.measured.failure.empty())
            std::fprintf(stderr, "%s: %s\n", contestant.subject.label.c_str(), contestant.measured.failure.c_str());
        contenders.push_back(&contestant.measured);
    }

    // Only now, with every receiver's port taken: no later socket of ours
    // can be given a port that a relay still sends to.
    for (Contestant& contestant : contestants)
        if (contestant.measured.usable() && contestant.subject.closed > 0)
            contestant.session->close_receivers(contestant.subject.closed);

    take_turns(contenders,
               {options.runs, options.latency_runs, options.latency_seconds, options.load.slice_limit_seconds});
    for (Contestant& contestant : contestants) finish_contestant(contestant);

    // Ratios are taken run by run against the reference relay's slice of the
    // same run, a moment apart on the same machine.
    const Contender& reference = contestants[0].measured;
    const bool with_reference = options.with_reference && reference.failure.empty();
    auto ratios = [&](const Contender& measured, const SliceFigure& figure) {
        if (!with_reference || measured.slices.size() != reference.slices.size()) return std::nan("");
        return median_ratio(per_run(measured.slices, figure), per_run(reference.slices, figure));
    };
    auto alive = [&](const Contestant& contestant) { return options.load.receivers - contestant.subject.closed; };
    // Lines per second, not deliveries: the closed run has fewer receivers
    // to count, but the relay still sends to every place.
    auto alive_ratio = [&](const Contestant& contestant) {
        if (contestant.subject.alive_sibling < 0) return std::nan("");
        const Contestant& sibling = contestants[static_cast<std::size_t>(contestant.subject.alive_sibling)];
        auto lines_per_second = [&alive](const Contestant& of) {
            return per_run(of.measured.slices,
                           [receivers = alive(of)](const ThroughputSlice& slice) {
                               return deliveries_per_second(slice) / receivers;
                           });
        };
        return median_ratio(lines_per_second(contestant), lines_per_second(sibling));
    };
    auto latency_ratio = [&](const Contender& measured, double fraction) {
        if (!with_reference) return std::nan("");
        return percentile(measured.latencies_us, fraction) / percentile(reference.latencies_us, fraction);
    };

    std::printf("confbench: %d receivers, %d sender%s, %zu-byte lines; throughput: %d runs of %lld lines per sender "
                "(window %d), relays in turns; latency: %d turns of %.1f s at %.0f lines/s\n",
                options.load.receivers, options.load.senders, options.load.senders == 1 ? "" : "s",
                options.load.payload, options.runs, static_cast<long long>(options.load.slice_lines),
                options.load.window, options.latency_runs, options.latency_seconds, options.load.latency_rate);
    std::printf("cores: %s\n", placement.c_str());
    std::printf("medians over the runs; x ref: median of the per-run ratios to the reference relay's slice of the "
                "same run\n\n");
    int width = 26;
    for (const Contestant& contestant : contestants)
        width = std::max(width, static_cast<int>(contestant.subject.label.size()));
    std::printf("%-*s %8s %6s %5s %12s %6s %12s %6s %5s %6s %6s %7s %6s %7s %6s %6s\n", width, "", "", "x all", "", "", "",
                "deliveries/s", "", "", "relay", "relay", "latency", "", "", "", "bench");
    std::printf("%-*s %8s %6s %5s %12s %6s %12s %6s %5s %6s %6s %7s %6s %7s %6s %6s\n", width, "relay", "lines/s", "alive",
                "freed", "deliveries/s", "x ref", "per CPU s", "x ref", "lost", "CPU", "waits", "p50 us", "x ref",
                "p99 us", "x ref", "CPU");
    int failures = 0;
    for (const Contestant& contestant : contestants) {
        const Contender& measured = contestant.measured;
        const char* label = contestant.subject.label.c_str();
        if (measured.slices.empty()) {
            std::printf("%-*s failed: %s\n", width, label, measured.failure.c_str());
        } else {
            const double lines_per_second = median_of(measured.slices, deliveries_per_second) / alive(contestant);
            // Each closed receiver the relay gave up is announced to every other.
            const std::string freed = contestant.subject.closed > 0
                                          ? std::to_string(measured.tally.exit_notices / alive(contestant))
                                          : std::string("-");
            std::printf("%-*s %8s %6s %5s %12s %6s %12s %6s %5lld %6s %6s %7s %6s %7s %6s %6s\n", width, label,
                        format_number(lines_per_second, "%.0f").c_str(),
                        format_number(alive_ratio(contestant), "%.2f").c_str(), freed.c_str(),
                        format_number(median_of(measured.slices, deliveries_per_second), "%.0f").c_str(),
                        format_number(ratios(measured, deliveries_per_second), "%.2f").c_str(),
                        format_number(median_of(measured.slices, deliveries_per_relay_second), "%.0f").c_str(),
                        format_number(ratios(measured, deliveries_per_relay_second), "%.2f").c_str(),
                        static_cast<long long>(measured.tally.lines_lost),
                        format_share(median_of(measured.slices, relay_share)).c_str(),
                        format_share(median_of(measured.slices, waiting_share)).c_str(),
                        format_number(percentile(measured.latencies_us, 0.5), "%.0f").c_str(),
                        format_number(latency_ratio(measured, 0.5), "%.2f").c_str(),
                        format_number(percentile(measured.latencies_us, 0.99), "%.0f").c_str(),
                        format_number(latency_ratio(measured, 0.99), "%.2f").c_str(),
                        format_share(median_of(measured.slices, bench_share)).c_str());
        }
        if (options.check) {
            const std::string problems = check_problems(contestant, alive(contestant), alive_ratio(contestant));
            if (!problems.empty()) {
                std::fprintf(stderr, "check: %s: %s\n", label, problems.c_str());
                ++failures;
            }
        }
    }
    std::printf("\nlines/s: each line counted once it reached every receiver still open. x all alive: for a relay\n"
                "with receivers closed without leaving, the median per-run ratio of its lines/s to the same relay's\n"
                "with all alive; freed: the closed receivers it announced as gone.\n"
                "deliveries/s: copies received per second, all receivers still open together, from a slice's first\n"
                "send to its last copy. per CPU s: deliveries per second of the relay's own processor time, what it would\n"
                "carry with a core to itself. lost: lines of all runs that missed a receiver. relay CPU / waits:\n"
                "share of a slice the relay ran, and spent ready to run while other work held its core. latency:\n"
                "from the send to the kernel queueing the last receiver's copy (all turns together). bench CPU:\n"
                "confbench's own share of its core during a slice; well below 100%%, it is not the bottleneck.\n");
    if (options.catch_ups > 0) failures += report_catch_ups(options, relay_cpu);
    if (options.check) {
        std::printf("check: %s\n", failures == 0 ? "passed" : "FAILED (see above)");
        return failures == 0 ? 0 : 1;
    }
    return 0;
}
