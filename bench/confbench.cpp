// confbench: load benchmark for the conference relay, on 127.0.0.1.
//
// Each run measures every relay once, the reference relay among them, one
// after another on the same machine; every figure is then also given as a
// ratio to the reference relay's figure from the same run, because this
// machine is shared and absolute figures drift from run to run. The table
// shows medians over the runs.
//
// Cores: with two or more available, the relay under test is pinned to the
// first and confbench (senders and receivers in one thread) to the second.
// On loopback the kernel queues each datagram at the receiver within the
// relay's send call, so the relay's core pays for the whole road to the
// receiver's queue, and confbench's core for taking the datagrams out.
// Whatever else runs on the machine shares both.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "load_run.h"
#include "port_number.h"
#include "relay_process.h"

#ifndef CONF_DEFAULT_RELAY
#define CONF_DEFAULT_RELAY "confrelay"
#endif
#ifndef CONF_DEFAULT_REFERENCE
#define CONF_DEFAULT_REFERENCE "reference_relay"
#endif

namespace {

using conf::bench::LoadResult;
using conf::bench::LoadSettings;

struct Subject {
    std::string label;
    std::vector<std::string> command;  // empty: a relay already running on `port`
    std::uint16_t port = 0;
    bool reference = false;
};

struct Options {
    LoadSettings load;
    std::vector<Subject> subjects;
    std::string reference_program = CONF_DEFAULT_REFERENCE;
    bool with_reference = true;
    int runs = 5;
    bool pin = true;
    bool check = false;
};

void print_usage() {
    std::fprintf(stderr,
                 "usage: confbench [options]\n"
                 "  --relay \"PROGRAM [ARGS]\"  a relay to measure, started as PROGRAM ARGS PORT; repeatable\n"
                 "                            (default: confrelay, then confrelay --per-datagram)\n"
                 "  --port PORT               measure a relay already running on 127.0.0.1:PORT\n"
                 "  --reference PROGRAM       the reference relay (default: reference_relay of this build)\n"
                 "  --no-reference            measure without the reference relay (no ratios)\n"
                 "  --receivers N             participants that log in and receive (default 100)\n"
                 "  --senders N               sockets that send lines (default 1)\n"
                 "  --payload BYTES           bytes per line, 14 to 1023 (default 64)\n"
                 "  --window LINES            lines in flight per sender (default 512)\n"
                 "  --warmup SECONDS          before the throughput measurement (default 0.3)\n"
                 "  --seconds SECONDS         throughput measurement per relay and run (default 2)\n"
                 "  --max-lines N             lines per sender and run, at most (default 2000000)\n"
                 "  --latency-rate LINES      lines per second while measuring latency (default 200)\n"
                 "  --latency-seconds S       (default 1.5)\n"
                 "  --runs N                  (default 5)\n"
                 "  --no-pin                  leave the placement on cores to the system\n"
                 "  --check                   exit 1 on any lost, duplicated or malformed line or an\n"
                 "                            implausible figure\n");
}

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

bool number_argument(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(parsed >= low && parsed <= high)) return false;
    *value = parsed;
    return true;
}

bool parse_options(int argc, char** argv, Options* options) {
    std::vector<Subject> relays;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool has_value = i + 1 < argc;
        double number = 0;
        auto numeric = [&](double low, double high) {
            return has_value && number_argument(argv[++i], low, high, &number);
        };
        if (option == "--relay" && has_value) {
            Subject subject;
            subject.command = split_words(argv[++i]);
            if (subject.command.empty()) return false;
            subject.label = label_of(subject.command);
            relays.push_back(subject);
        } else if (option == "--port" && has_value) {
            Subject subject;
            if (!conf::parse_port(argv[++i], &subject.port)) return false;
            subject.label = "relay on port " + std::to_string(subject.port);
            relays.push_back(subject);
        } else if (option == "--reference" && has_value) {
            options->reference_program = argv[++i];
        } else if (option == "--no-reference") {
            options->with_reference = false;
        } else if (option == "--receivers" && numeric(1, 1000)) {
            options->load.receivers = static_cast<int>(number);
        } else if (option == "--senders" && numeric(1, 99)) {
            options->load.senders = static_cast<int>(number);
        } else if (option == "--payload" && numeric(14, 1023)) {
            options->load.payload = static_cast<std::size_t>(number);
        } else if (option == "--window" && numeric(1, 100000)) {
            options->load.window = static_cast<int>(number);
        } else if (option == "--warmup" && numeric(0, 60)) {
            options->load.warmup_seconds = number;
        } else if (option == "--seconds" && numeric(0.05, 600)) {
            options->load.seconds = number;
        } else if (option == "--max-lines" && numeric(1, 1e9)) {
            options->load.max_lines = static_cast<std::int64_t>(number);
        } else if (option == "--latency-rate" && numeric(1, 100000)) {
            options->load.latency_rate = number;
        } else if (option == "--latency-seconds" && numeric(0.05, 600)) {
            options->load.latency_seconds = number;
        } else if (option == "--runs" && numeric(1, 1000)) {
            options->runs = static_cast<int>(number);
        } else if (option == "--no-pin") {
            options->pin = false;
        } else if (option == "--check") {
            options->check = true;
        } else {
            return false;
        }
    }
    if (relays.empty()) {
        relays.push_back({"confrelay", {CONF_DEFAULT_RELAY}, 0, false});
        relays.push_back({"confrelay --per-datagram", {CONF_DEFAULT_RELAY, "--per-datagram"}, 0, false});
    }
    if (options->with_reference)
        options->subjects.push_back({"reference relay", {options->reference_program}, 0, true});
    options->subjects.insert(options->subjects.end(), relays.begin(), relays.end());
    return true;
}

double median(std::vector<double> values) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The available cores, in order; the first two are the relay's and ours.
std::vector<int> available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(static_cast<std::size_t>(cpu), &set)) cpus.push_back(cpu);
    return cpus;
}

struct Measurement {
    LoadResult result;
    std::string stop_problem;
};

Measurement measure(const Subject& subject, const Options& options, int relay_cpu) {
    Measurement measurement;
    conf::bench::RelayProcess process;
    std::uint16_t port = subject.port;
    LoadSettings load = options.load;
    if (subject.command.empty()) {
        load.leave_afterwards = true;  // it keeps running after us
    } else {
        port = conf::bench::free_udp_port();
        if (!process.start(subject.command, port, relay_cpu, &measurement.result.error)) return measurement;
    }
    measurement.result = conf::bench::measure_relay(
        port, load, [&process] { return process.processor_time(); },
        [&process, &subject] { return subject.command.empty() || process.running(); });
    if (!subject.command.empty()) {
        std::string how;
        if (!process.stop(&how)) measurement.stop_problem = how;
    }
    return measurement;
}

std::string check_problems(const Measurement& measurement, int receivers) {
    const LoadResult& r = measurement.result;
    if (!r.ok) return r.error;
    std::string problems;
    auto add = [&problems](const std::string& problem) { problems += (problems.empty() ? "" : "; ") + problem; };
    if (r.lines_lost > 0) add(std::to_string(r.lines_lost) + " lines lost");
    if (r.duplicates > 0) add(std::to_string(r.duplicates) + " duplicate copies");
    if (r.malformed > 0) add(std::to_string(r.malformed) + " malformed datagrams");
    if (!(r.lines_per_second > 0) || !(r.deliveries_per_second > 0)) add("no throughput");
    const double per_line = r.lines_per_second > 0 ? r.deliveries_per_second / r.lines_per_second : 0;
    if (per_line < 0.8 * receivers || per_line > 1.25 * receivers)
        add("deliveries per line " + std::to_string(per_line) + " for " + std::to_string(receivers) + " receivers");
    if (r.latency_samples == 0 || !(r.latency_p50_us > 0) || r.latency_p99_us < r.latency_p50_us ||
        r.latency_p99_us > 1e6)
        add("implausible latency");
    if (!measurement.stop_problem.empty()) add("relay " + measurement.stop_problem);
    return problems;
}

std::string format_share(double share) {
    if (std::isnan(share) || share < 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", share * 100);
    return text;
}

std::string format_number(double value, const char* format) {
    if (std::isnan(value)) return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        print_usage();
        return 2;
    }

    int relay_cpu = -1;
    std::string placement = "placement on cores left to the system";
    const std::vector<int> cpus = available_cpus();
    if (options.pin && cpus.size() >= 2 && conf::bench::pin_to_cpu(cpus[1])) {
        relay_cpu = cpus[0];
        placement = "relay pinned to CPU " + std::to_string(cpus[0]) + ", confbench to CPU " + std::to_string(cpus[1]) +
                    " (of " + std::to_string(cpus.size()) + "; other work on the machine shares them)";
    }

    const std::size_t count = options.subjects.size();
    std::vector<std::vector<Measurement>> results(count);
    int failures = 0;
    for (int run = 0; run < options.runs; ++run) {
        // A different relay goes first in each run, so that none is always
        // measured right after the machine's other work has settled or grown.
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t index = (k + static_cast<std::size_t>(run)) % count;
            const Subject& subject = options.subjects[index];
            Measurement measurement = measure(subject, options, relay_cpu);
            const LoadResult& r = measurement.result;
            if (r.ok) {
                std::fprintf(stderr,
                             "run %d/%d %-26s %7.0f deliveries/s (%7.0f per relay CPU second)  lost %lld  "
                             "relay CPU %s, waiting %s  bench CPU %s  latency p50 %.0f us p99 %.0f us\n",
                             run + 1, options.runs, subject.label.c_str(), r.deliveries_per_second,
                             r.deliveries_per_relay_cpu_second, static_cast<long long>(r.lines_lost),
                             format_share(r.relay_cpu_share).c_str(), format_share(r.relay_wait_share).c_str(),
                             format_share(r.bench_cpu_share).c_str(), r.latency_p50_us, r.latency_p99_us);
            } else {
                std::fprintf(stderr, "run %d/%d %-26s failed: %s\n", run + 1, options.runs, subject.label.c_str(),
                             r.error.c_str());
            }
            if (options.check) {
                const std::string problems = check_problems(measurement, options.load.receivers);
                if (!problems.empty()) {
                    std::fprintf(stderr, "check: %s: %s\n", subject.label.c_str(), problems.c_str());
                    ++failures;
                }
            }
            results[index].push_back(std::move(measurement));
        }
    }

    // Per-run ratios to the reference relay of the same run.
    const std::size_t reference = options.with_reference ? 0 : count;
    auto ratios = [&](std::size_t subject, double LoadResult::*field) {
        std::vector<double> values;
        if (reference == count) return values;
        for (int run = 0; run < options.runs; ++run) {
            const LoadResult& mine = results[subject][static_cast<std::size_t>(run)].result;
            const LoadResult& theirs = results[reference][static_cast<std::size_t>(run)].result;
            if (mine.ok && theirs.ok && theirs.*field > 0 && mine.*field > 0)
                values.push_back(mine.*field / theirs.*field);
        }
        return values;
    };
    auto medians = [&](std::size_t subject, double LoadResult::*field) {
        std::vector<double> values;
        for (const Measurement& m : results[subject])
            if (m.result.ok && m.result.*field >= 0) values.push_back(m.result.*field);
        return median(values);
    };

    std::printf("confbench: %d receivers, %d sender%s, %zu-byte lines, window %d lines per sender, %.1f s per "
                "throughput measurement, latency at %.0f lines/s; %d run%s\n",
                options.load.receivers, options.load.senders, options.load.senders == 1 ? "" : "s",
                options.load.payload, options.load.window, options.load.seconds, options.load.latency_rate,
                options.runs, options.runs == 1 ? "" : "s");
    std::printf("cores: %s\n", placement.c_str());
    std::printf("medians over the runs; x ref: median of the per-run ratios to the reference relay of the same run\n\n");
    std::printf("%-26s %8s %12s %6s %12s %6s %5s %6s %6s %7s %6s %7s %6s\n", "", "", "", "", "deliveries/s", "", "",
                "relay", "relay", "latency", "", "", "");
    std::printf("%-26s %8s %12s %6s %12s %6s %5s %6s %6s %7s %6s %7s %6s\n", "relay", "lines/s", "deliveries/s",
                "x ref", "per CPU s", "x ref", "lost", "CPU", "waits", "p50 us", "x ref", "p99 us", "x ref");
    for (std::size_t s = 0; s < count; ++s) {
        std::int64_t lost = 0;
        int ok_runs = 0;
        for (const Measurement& m : results[s]) {
            if (!m.result.ok) continue;
            ++ok_runs;
            lost += m.result.lines_lost;
        }
        if (ok_runs == 0) {
            std::printf("%-26s every run failed\n", options.subjects[s].label.c_str());
            continue;
        }
        std::printf("%-26s %8s %12s %6s %12s %6s %5lld %6s %6s %7s %6s %7s %6s\n", options.subjects[s].label.c_str(),
                    format_number(medians(s, &LoadResult::lines_per_second), "%.0f").c_str(),
                    format_number(medians(s, &LoadResult::deliveries_per_second), "%.0f").c_str(),
                    format_number(median(ratios(s, &LoadResult::deliveries_per_second)), "%.2f").c_str(),
                    format_number(medians(s, &LoadResult::deliveries_per_relay_cpu_second), "%.0f").c_str(),
                    format_number(median(ratios(s, &LoadResult::deliveries_per_relay_cpu_second)), "%.2f").c_str(),
                    static_cast<long long>(lost), format_share(medians(s, &LoadResult::relay_cpu_share)).c_str(),
                    format_share(medians(s, &LoadResult::relay_wait_share)).c_str(),
                    format_number(medians(s, &LoadResult::latency_p50_us), "%.0f").c_str(),
                    format_number(median(ratios(s, &LoadResult::latency_p50_us)), "%.2f").c_str(),
                    format_number(medians(s, &LoadResult::latency_p99_us), "%.0f").c_str(),
                    format_number(median(ratios(s, &LoadResult::latency_p99_us)), "%.2f").c_str());
    }
    std::printf("\ndeliveries/s: copies received per second, all receivers together; per CPU s: deliveries per\n"
                "second of the relay's own processor time, what it carries with a core to itself. lost: lines\n"
                "of all runs that missed a receiver. relay CPU / waits: share of the measurement the relay ran,\n"
                "and spent ready to run while other work held its core. latency: from the send to the kernel\n"
                "queueing the last receiver's copy, at a light rate.\n");
    if (options.check) {
        std::printf("check: %s\n", failures == 0 ? "passed" : "FAILED (see above)");
        return failures == 0 ? 0 : 1;
    }
    return 0;
}
