#include <gtest/gtest.h>

#include "support/process.h"

TEST(Smoke, BannerAndUsage) {
    const ProcessResult result = run_process({flenko_path()});
    EXPECT_EQ(result.exit_status, 1);
}
