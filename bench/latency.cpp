#include "latency.h"

#include <algorithm>
#include <cmath>

namespace bench {

uint64_t percentile(std::vector<uint64_t>& samples, double fraction)
{
    if (samples.empty())
        return 0;
    fraction = std::min(std::max(fraction, 0.0), 1.0);
    // Rank counted from 1; a tiny allowance keeps 0.99 * 100 from becoming
    // 99.00000000000001 and so rank 100.
    size_t rank = size_t(std::ceil(fraction * double(samples.size()) - 1e-9));
    rank = std::min(std::max<size_t>(rank, 1), samples.size());
    const auto nth = samples.begin() + std::ptrdiff_t(rank - 1);
    std::nth_element(samples.begin(), nth, samples.end());
    return *nth;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

LatencySummary summarise(std::vector<uint64_t>& samples)
{
    LatencySummary summary;
    summary.count = samples.size();
    if (samples.empty())
        return summary;
    summary.p50Us = double(percentile(samples, 0.50)) / 1000.0;
    summary.p99Us = double(percentile(samples, 0.99)) / 1000.0;
    summary.p999Us = double(percentile(samples, 0.999)) / 1000.0;
    summary.maxUs = double(*std::max_element(samples.begin(), samples.end())) / 1000.0;
    return summary;
}

} // namespace bench
