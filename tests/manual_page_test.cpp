#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/process.h"

namespace {

// The page renders without a warning and documents every option the program accepts.
TEST(ManualPage, RendersAndCoversEveryOption) {
    const std::string groff = "/usr/bin/groff";
    if (run_process({"/usr/bin/test", "-x", groff}).exit_status != 0) {
        GTEST_SKIP() << "groff is not installed";
    }
    const ProcessResult rendered =
        run_process({groff, "-man", "-ww", "-Tascii", "-P", "-cbou", FLENKO_MANUAL});
    EXPECT_EQ(rendered.exit_status, 0);
    EXPECT_EQ(rendered.err, "");
    const size_t start = rendered.out.find("\nOPTIONS\n");
    const size_t end = rendered.out.find("\nOUTPUT\n");
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << rendered.out;
    const std::string options = rendered.out.substr(start, end - start);
    for (const char* option :
         {"-s",        "-t",       "-u",           "-b",     "-B",       "-K",
          "-M",        "-G",       "-p",           "-h",     "-d",       "-?",
          "--json",    "--time",   "--interval",   "--rate", "--repeat", "--omit",
          "--verbose", "--window", "--congestion", "--allow", "--max-session", "--offload", "--help",
          "--version"}) {
        const std::regex documented(
            "(^|\\s)" + std::regex_replace(option, std::regex("\\?"), "\\?") + "(\\W|$)");
        EXPECT_TRUE(std::regex_search(options, documented)) << option;
    }
}

}  // namespace
