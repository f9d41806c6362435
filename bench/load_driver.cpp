#include "load_driver.h"

#include "bench_figures.h"

namespace conf::bench {

namespace {

std::string whole_seconds(double seconds) { return std::to_string(static_cast<int>(seconds)); }

// Contender `k` of a turn that starts with contender `first`.
std::size_t in_turn(std::size_t k, std::size_t first, std::size_t count) { return (k + first) % count; }

void take_slice(Contender& contender, bool counted, const TurnPlan& plan) {
    if (contender.before_slice) contender.before_slice();
    const ThroughputSlice slice = contender.target->push_slice();
    if (!slice.complete) {
        // A cut-off receiver is the better reason: the time limit only
        // follows from it.
        const std::string trouble = contender.target->trouble();
        contender.failure = !trouble.empty() ? trouble
                                             : "a slice did not complete within " +
                                                   whole_seconds(plan.slice_limit_seconds) + " s";
        return;
    }
    if (contender.after_slice) contender.after_slice(slice, counted);
    if (counted) contender.slices.push_back(slice);
}

}  // namespace

void take_turns(const std::vector<Contender*>& contenders, const TurnPlan& plan) {
    const std::size_t count = contenders.size();
    if (count == 0) return;
    // The first turn warms caches and queues and is not counted.
    for (int run = -1; run < plan.runs; ++run) {
        const bool counted = run >= 0;
        const std::size_t first = static_cast<std::size_t>(run + 1);
        std::vector<bool> sliced(count, false);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t index = in_turn(k, first, count);
            Contender& contender = *contenders[index];
            if (!contender.usable()) continue;
            take_slice(contender, counted, plan);
            sliced[index] = counted && contender.failure.empty();
        }
        if (!counted || plan.progress == nullptr) continue;
        std::string line;
        for (std::size_t index = 0; index < count; ++index) {
            if (!sliced[index]) continue;
            char figure[32];
            std::snprintf(figure, sizeof figure, " %.0f", deliveries_per_second(contenders[index]->slices.back()));
            line += "  " + contenders[index]->label + figure;
        }
        std::fprintf(plan.progress, "run %d/%d deliveries/s:%s\n", run + 1, plan.runs, line.c_str());
    }
    for (int run = 0; run < plan.latency_runs; ++run) {
        for (std::size_t k = 0; k < count; ++k) {
            Contender& contender = *contenders[in_turn(k, static_cast<std::size_t>(run), count)];
            if (contender.usable()) contender.target->measure_latency(plan.latency_seconds, &contender.latencies_us);
        }
    }
    for (Contender* contender : contenders) {
        if (contender->target == nullptr) continue;
        contender->tally = contender->target->tally();
        if (contender->failure.empty()) contender->failure = contender->target->trouble();
    }
}

void add_problem(std::string* problems, const std::string& problem) {
    *problems += (problems->empty() ? "" : "; ") + problem;
}

void check_figures(const Contender& contender, int receivers, const char* malformed_what, std::string* problems) {
    const LoadTally& tally = contender.tally;
    if (tally.lines_lost > 0) add_problem(problems, std::to_string(tally.lines_lost) + " lines lost");
    if (tally.duplicates > 0) add_problem(problems, std::to_string(tally.duplicates) + " duplicate copies");
    if (tally.malformed > 0)
        add_problem(problems, std::to_string(tally.malformed) + " malformed " + malformed_what);
    if (contender.slices.empty()) add_problem(problems, "no throughput slice completed");
    for (const ThroughputSlice& slice : contender.slices) {
        if (slice.deliveries != slice.lines * receivers || !(slice.seconds > 0)) {
            add_problem(problems, "a slice counted " + std::to_string(slice.deliveries) + " copies of " +
                                      std::to_string(slice.lines) + " lines for " + std::to_string(receivers) +
                                      " receivers");
            break;
        }
    }
    const std::vector<double>& latencies = contender.latencies_us;
    const double p50 = percentile(latencies, 0.5), p99 = percentile(latencies, 0.99);
    if (latencies.empty() || !(p50 > 0) || p99 < p50 || p99 > 1e6) add_problem(problems, "implausible latency");
}

std::vector<double> per_run(const std::vector<ThroughputSlice>& slices, const SliceFigure& figure) {
    std::vector<double> values;
    values.reserve(slices.size());
    for (const ThroughputSlice& slice : slices) values.push_back(figure(slice));
    return values;
}

double median_of(const std::vector<ThroughputSlice>& slices, const SliceFigure& figure) {
    return median(per_run(slices, figure));
}

double median_ratio(const std::vector<double>& mine, const std::vector<double>& theirs) {
    std::vector<double> ratios;
    for (std::size_t run = 0; run < mine.size() && run < theirs.size(); ++run)
        if (mine[run] > 0 && theirs[run] > 0) ratios.push_back(mine[run] / theirs[run]);
    return median(ratios);
}

double deliveries_per_second(const ThroughputSlice& slice) {
    return static_cast<double>(slice.deliveries) / slice.seconds;
}

}  // namespace conf::bench
