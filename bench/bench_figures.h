// What both load benchmarks need beside the load itself: the programs they
// start, the cores they place them on, and the figures they print.
#pragma once

#include <string>
#include <vector>

namespace conf::bench {

// The first of `candidates` (paths relative to the running program's own
// folder) that exists, as a full path; the first one if none does.
std::string program_near_us(const char* const* candidates, std::size_t count);

// The available cores, in order.
std::vector<int> available_cpus();

double median(std::vector<double> values);
// The value at `fraction` (0 to 1) of the sorted values, nearest rank.
double percentile(std::vector<double> values, double fraction);

// "-" for a figure that is unknown (NaN or negative).
std::string format_number(double value, const char* format);
std::string format_share(double share);

}  // namespace conf::bench
