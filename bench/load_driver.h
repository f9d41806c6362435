// The turns both load benchmarks take: every contender is up and idle, then
// each carries one slice per run, one after another, so that the machine's
// other work weighs on all of them alike. Also what is checked of every
// contender and how its slices become figures.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "load_target.h"

namespace conf::bench {

// One road under measurement, with everything measured of it.
struct Contender {
    std::string label;
    LoadTarget* target = nullptr;  // none: it could not be set up; `failure` says why
    // Around each of its slices, the warm-up's too; `after_slice` only for a
    // slice that completed.
    std::function<void()> before_slice;
    std::function<void(const ThroughputSlice&, bool counted)> after_slice;

    std::vector<ThroughputSlice> slices;  // complete and counted ones, in run order
    std::vector<double> latencies_us;
    LoadTally tally;
    std::string failure;  // once set, the contender sits out

    bool usable() const { return target != nullptr && failure.empty(); }
};

struct TurnPlan {
    int runs = 1;
    int latency_runs = 1;
    double latency_seconds = 0.1;
    double slice_limit_seconds = 20;  // only named in the failure
    std::FILE* progress = stderr;     // a line per run; none if null
};

// A warm-up turn that is not counted, `runs` counted ones and the latency
// turns; each turn starts with the next contender, so that none is always
// first. Then every contender's tally and, unless it failed already, its
// trouble.
void take_turns(const std::vector<Contender*>& contenders, const TurnPlan& plan);

// Appends to `problems` ("; " between them) what is wrong with a contender's
// figures: loss, duplicates, copies that were no line (`malformed_what`), a
// slice whose copies do not add up to its lines times `receivers`, and an
// implausible latency.
void check_figures(const Contender& contender, int receivers, const char* malformed_what, std::string* problems);
void add_problem(std::string* problems, const std::string& problem);

using SliceFigure = std::function<double(const ThroughputSlice&)>;
std::vector<double> per_run(const std::vector<ThroughputSlice>& slices, const SliceFigure& figure);
double median_of(const std::vector<ThroughputSlice>& slices, const SliceFigure& figure);
// The median of mine / theirs, run by run, over the runs both have and in
// which both figures are positive: a moment apart on the same machine, so
// the machine's drift cancels out.
double median_ratio(const std::vector<double>& mine, const std::vector<double>& theirs);

double deliveries_per_second(const ThroughputSlice& slice);

}  // namespace conf::bench
