#include "core/sample_statistics.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SampleStatistics, StudentTQuantilesMatchTheTables) {
    const struct {
        int64_t degrees;
        double quantile;  // t(0.975, degrees), three decimals as tables print it
    } cases[] = {{1, 12.706}, {2, 4.303},  {4, 2.776},  {9, 2.262},
                 {29, 2.045}, {99, 1.984}, {999, 1.962}};
    for (const auto& c : cases) {
        EXPECT_NEAR(student_t_quantile(0.975, c.degrees), c.quantile, 0.0005) << c.degrees;
    }
    // Symmetric, and the normal distribution's in the limit.
    EXPECT_NEAR(student_t_quantile(0.025, 4), -2.776, 0.0005);
    EXPECT_NEAR(student_t_quantile(0.975, 1000000), 1.960, 0.0005);
}

struct SampleCase {
    const char* name;
    std::vector<double> samples;
    double mean;
    double min;
    double max;
    double stdev;  // negative: none
    double half_width;
};

// Worked by hand: stdev with n - 1, half width t(0.975, n - 1) * stdev / sqrt(n).
TEST(SampleStatistics, SummariesOfKnownSamples) {
    const SampleCase cases[] = {
        {"five", {10, 12, 14, 16, 18}, 14, 10, 18, 3.16228, 2.776445 * 3.16228 / 2.23607},
        {"two", {100, 110}, 105, 100, 110, 7.07107, 12.706205 * 7.07107 / 1.41421},
        {"all alike", {7, 7, 7}, 7, 7, 7, 0, 0},
        {"one", {42}, 42, 42, 42, -1, 0},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.name);
        const SampleStatistics statistics = summarize_samples(c.samples);
        EXPECT_EQ(statistics.count, static_cast<int64_t>(c.samples.size()));
        EXPECT_NEAR(statistics.mean, c.mean, 1e-9);
        EXPECT_EQ(statistics.min, c.min);
        EXPECT_EQ(statistics.max, c.max);
        if (c.stdev < 0) {
            EXPECT_FALSE(statistics.stdev);
            EXPECT_FALSE(statistics.ci_low);
            EXPECT_FALSE(statistics.ci_high);
            continue;
        }
        ASSERT_TRUE(statistics.stdev && statistics.ci_low && statistics.ci_high);
        EXPECT_NEAR(*statistics.stdev, c.stdev, 1e-4);
        EXPECT_NEAR(*statistics.ci_low, c.mean - c.half_width, 1e-3);
        EXPECT_NEAR(*statistics.ci_high, c.mean + c.half_width, 1e-3);
    }
    EXPECT_EQ(summarize_samples({}).count, 0);
}

}  // namespace
