// Stamping of camera frames from the recording clock and the moment the
// camera took them.

#include "KxCamData.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct StampCase {
    const char *name;
    std::vector<int64_t> arrivalsMs;
    std::vector<int64_t> stamps;
};

class ClockStamps : public ::testing::TestWithParam<StampCase> {};

TEST_P(ClockStamps, FollowTheClock)
{
    const StampCase c = GetParam();
    int64_t last = -1;
    for (size_t i = 0; i < c.arrivalsMs.size(); ++i) {
        last = KxCamData::clockStamp(c.arrivalsMs[i], last);
        EXPECT_EQ(last, c.stamps[i]) << "frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClockStamps,
    ::testing::Values(
        // The first frame sits at the clock's time, not at 0; a frame that
        // came 7 ms late keeps its lateness instead of being rounded to a
        // frame period.
        StampCase{"first_frame_at_4000ms", {4000, 4047, 4080}, {4000, 4047, 4080}},
        // A camera delivering 10 of its advertised 15 frames per second:
        // the stamps leave gaps and keep to the clock.
        StampCase{"ten_of_fifteen", {0, 100, 200, 300, 1000}, {0, 100, 200, 300, 1000}},
        // Frames released in a burst after a stall never share a stamp.
        StampCase{"burst_after_stall", {1000, 1000, 1001, 1070, 1400}, {1000, 1001, 1002, 1070, 1400}},
        StampCase{"clock_not_started", {0, 0, -5}, {0, 1, 2}}),
    [](const ::testing::TestParamInfo<StampCase> &i) { return std::string(i.param.name); });

TEST(CaptureMoments, PlacedOnTheClockByTheirOwnStamp)
{
    const struct {
        int64_t capturedUs, expectedMs;
    } table[] = {
        {0, 5000},                   // not known: taken now
        {20000000 - 70000, 4930},    // 70 ms in the driver's queue
        {20000000 - 70600, 4929},    // in the clock's whole milliseconds
        {20000000 - 1800000, 3200},  // held while the encoder caught up
        {20000000 + 100, 5000},      // from the future: not believed
        {20000000 - 10000000, -5000}, // the oldest believed
        {20000000 - 10001000, 5000},  // older: not believed
    };
    for (const auto &row : table)
        // The clock started 5 s before now.
        EXPECT_EQ(KxCamData::captureClockMs(15000000, 20000000, row.capturedUs), row.expectedMs) << row.capturedUs;
    EXPECT_EQ(KxCamData::captureClockMs(-1, 20000000, 20000000 - 70000), 0); // not started
}

} // namespace
