// Catch-up stamping of camera frames against the recording clock.

#include "KxCamData.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct StampCase {
    const char *name;
    int64_t clockMs;
    double fps;
    int64_t expectN0;
    std::vector<std::pair<int, int64_t>> frameStamps; // (k, stamp)
};

class CatchUpStamps : public ::testing::TestWithParam<StampCase> {};

// Stamps of frames 0..upTo, computed as the intake does, frame after frame.
std::vector<int64_t> stampRun(int64_t n0, int upTo)
{
    std::vector<int64_t> stamps;
    int64_t last = 0;
    for (int k = 0; k <= upTo; ++k) {
        last = KxCamData::catchUpStamp(k, n0, n0 / 2, last);
        stamps.push_back(last);
    }
    return stamps;
}

TEST_P(CatchUpStamps, FollowTheClock)
{
    const StampCase c = GetParam();
    const int64_t n0 = KxCamData::startOffset(c.clockMs, c.fps);
    EXPECT_EQ(n0, c.expectN0);
    int upTo = 0;
    for (const auto &fs : c.frameStamps)
        upTo = std::max(upTo, fs.first);
    const std::vector<int64_t> stamps = stampRun(n0, upTo);
    for (const auto &fs : c.frameStamps)
        EXPECT_EQ(stamps[size_t(fs.first)], fs.second) << "frame " << fs.first;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CatchUpStamps,
    ::testing::Values(
        StampCase{"clock_4000ms_25fps", 4000, 25.0, 100, {{0, 0}, {1, 3}, {2, 6}, {50, 150}, {51, 151}}},
        StampCase{"clock_30ms_25fps", 30, 25.0, 0, {{0, 0}, {1, 1}, {2, 2}}},
        StampCase{"one_period_late", 70, 15.0, 1, {{0, 0}, {1, 1}, {2, 2}, {9, 9}}},
        StampCase{"odd_offset_15fps", 1000, 15.0, 15, {{0, 0}, {1, 3}, {7, 22}, {8, 23}, {20, 35}}},
        StampCase{"clock_not_started", 0, 15.0, 0, {{0, 0}, {1, 1}}},
        StampCase{"fractional_rate", 2000, 14.99999, 29, {{0, 0}, {14, 43}, {15, 44}}}),
    [](const ::testing::TestParamInfo<StampCase> &i) { return std::string(i.param.name); });

// Whatever the offset, the time line strictly increases and, once caught
// up, sits exactly n0 periods ahead of the frame count (an offset of one
// period is below what the catch-up handles and is dropped).
TEST(CatchUpStampsProperty, IncreasingAndCaughtUp)
{
    for (int64_t n0 = 0; n0 <= 400; ++n0) {
        const int frames = int(n0) + 20;
        const std::vector<int64_t> stamps = stampRun(n0, frames);
        for (size_t k = 1; k < stamps.size(); ++k)
            ASSERT_GT(stamps[k], stamps[k - 1]) << "n0 " << n0 << " frame " << k;
        EXPECT_EQ(stamps.back() - frames, n0 >= 2 ? n0 : 0) << "n0 " << n0;
    }
}

} // namespace
