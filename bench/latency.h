#pragma once

#include <cstdint>
#include <vector>

namespace bench {

struct LatencySummary
{
    uint64_t count = 0;
    double p50Us = 0;
    double p99Us = 0;
    double p999Us = 0;
    double maxUs = 0;
};

// Nearest-rank percentile (0 < fraction <= 1) of latencies in nanoseconds:
// the smallest sample that at least `fraction` of all samples do not exceed.
// Reorders `samples`. 0 for no samples.
uint64_t percentile(std::vector<uint64_t>& samples, double fraction);

// The middle value (the mean of the two middle ones for an even count); 0
// for none.
double median(std::vector<double> values);

// p50, p99, p99.9 and the largest sample, in microseconds. Reorders `samples`.
LatencySummary summarise(std::vector<uint64_t>& samples);

} // namespace bench
