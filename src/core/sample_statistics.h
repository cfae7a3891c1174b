// What repeated samples of one figure say, and how far their mean can be trusted.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

struct SampleStatistics {
    int64_t count = 0;
    double mean = 0.0;
    double min = 0.0;
    double max = 0.0;
    // From two samples on: the sample standard deviation (n - 1) and the 95 % confidence
    // interval of the mean, Student's t with n - 1 degrees of freedom.
    std::optional<double> stdev;
    std::optional<double> ci_low;
    std::optional<double> ci_high;
};

// The quantile of Student's t distribution with degrees_of_freedom (at least 1).
double student_t_quantile(double probability, int64_t degrees_of_freedom);

// Empty samples give a count of 0 and nothing else.
SampleStatistics summarize_samples(const std::vector<double>& samples);
