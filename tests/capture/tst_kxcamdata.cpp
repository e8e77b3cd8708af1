// Stamping of camera frames from the recording clock.

#include "KxCamData.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct StampCase {
    const char *name;
    double fps;
    std::vector<int64_t> arrivalsMs;
    std::vector<int64_t> stamps;
};

class ClockStamps : public ::testing::TestWithParam<StampCase> {};

TEST_P(ClockStamps, FollowTheClock)
{
    const StampCase c = GetParam();
    int64_t last = -1;
    for (size_t i = 0; i < c.arrivalsMs.size(); ++i) {
        last = KxCamData::clockStamp(c.arrivalsMs[i], KxCamData::timeBaseRate(c.fps), last);
        EXPECT_EQ(last, c.stamps[i]) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClockStamps,
    ::testing::Values(
        // The first frame sits at the clock's time, not at 0.
        StampCase{"first_frame_at_4000ms_25fps", 25.0, {4000, 4040, 4080}, {100, 101, 102}},
        // A camera delivering 10 of its advertised 15 frames per second:
        // the stamps leave gaps and keep to the clock.
        StampCase{"ten_of_fifteen", 15.0, {0, 100, 200, 300, 1000}, {0, 2, 3, 5, 15}},
        // Frames released in a burst after a stall never share a stamp.
        StampCase{"burst_after_stall", 15.0, {1000, 1000, 1001, 1070, 1400}, {15, 16, 17, 18, 21}},
        StampCase{"clock_not_started", 15.0, {0, 0}, {0, 1}},
        // 14.99999 fps is stamped in fifteenths, the encoder's time base.
        StampCase{"fractional_rate", 14.99999, {2000, 2033}, {30, 31}}),
    [](const ::testing::TestParamInfo<StampCase> &i) { return std::string(i.param.name); });

} // namespace
