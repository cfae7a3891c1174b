#include "core/sample_statistics.h"

#include <algorithm>
#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <numeric>

double student_t_quantile(double probability, int64_t degrees_of_freedom) {
    const boost::math::students_t distribution(static_cast<double>(degrees_of_freedom));
    return boost::math::quantile(distribution, probability);
}

SampleStatistics summarize_samples(const std::vector<double>& samples) {
    SampleStatistics statistics;
    statistics.count = static_cast<int64_t>(samples.size());
    if (samples.empty()) {
        return statistics;
    }
    const auto n = static_cast<double>(samples.size());
    statistics.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / n;
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    statistics.min = *low;
    statistics.max = *high;
    if (samples.size() < 2) {
        return statistics;
    }
    double squares = 0.0;
    for (const double sample : samples) {
        squares += (sample - statistics.mean) * (sample - statistics.mean);
    }
    const double stdev = std::sqrt(squares / (n - 1.0));
    const double half_width =
        student_t_quantile(0.975, statistics.count - 1) * stdev / std::sqrt(n);
    statistics.stdev = stdev;
    statistics.ci_low = statistics.mean - half_width;
    statistics.ci_high = statistics.mean + half_width;
    return statistics;
}
