#include "core/report.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

TEST(SizeLabel, RoundsOnlyAtAndJustBelowWholeKiB) {
    const struct {
        int32_t size;
        const char* label;
    } cases[] = {{1, "1"},       {1000, "1000"}, {1023, " 1k"},  {1024, " 1k"},
                 {1536, "1536"}, {2047, " 2k"},  {16384, "16k"}, {32767, "32k"},
                 {32768, "32k"}, {65536, "64k"}, {1025, "1025"}, {204800, "200k"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(make_size_label(c.size), c.label) << c.size;
    }
}

TEST(SizeLabel, EachThreadKeepsItsOwnText) {
    const char* mine = make_size_label(1024);
    std::string other_text;
    std::thread other([&] { other_text = make_size_label(32767); });
    other.join();
    EXPECT_STREQ(mine, " 1k");
    EXPECT_EQ(other_text, "32k");
}

std::string rate(int64_t bytes, int64_t ticks, UnitMode mode) {
    char text[RATE_TEXT_SIZE];
    format_rate(text, bytes, ticks, mode);
    return text;
}

TEST(Rate, AutomaticUnitFollowsTheByteCount) {
    const struct {
        int64_t bytes;
        int64_t ticks;
        const char* text;
    } cases[] = {
        {30000, 6144, " 5000 Byte/s"},
        {61439, 6144, " 10240 Byte/s"},
        {61440, 6144, " 10.00 KByte/s"},
        {62914559, 6144, " 10240.00 KByte/s"},
        {629145600, 6144, " 100.00 MByte/s"},
        {6442450943, 6144, " 1024.00 MByte/s"},
        {6442450944, 6144, " 1.000 GByte/s"},
        // The unit comes from the amount moved, not from the rate.
        {30000, 1, " 30720000 Byte/s"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rate(c.bytes, c.ticks, UNIT_AUTO), c.text) << c.bytes;
    }
}

TEST(Rate, ForcedUnits) {
    const struct {
        int64_t bytes;
        UnitMode mode;
        const char* text;
    } cases[] = {
        {6442450944, UNIT_KBYTES, " 1048576.00 KByte/s"},
        {6, UNIT_BYTES, " 1 Byte/s"},
        {6144, UNIT_MBYTES, " 0.00 MByte/s"},
        {629145600, UNIT_GBYTES, " 0.098 GByte/s"},
        {629145600, static_cast<UnitMode>(5), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rate(c.bytes, 6144, c.mode), c.text) << c.mode;
    }
}

TEST(Rate, ZeroTicksPrintsThePlatformText) {
    EXPECT_EQ(rate(1000, 0, UNIT_AUTO), " inf Byte/s");
    EXPECT_NE(rate(0, 0, UNIT_AUTO).find("nan Byte/s"), std::string::npos);
}

}  // namespace
