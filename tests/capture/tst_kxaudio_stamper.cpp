// Time stamps of audio units: one continuous run of samples from the first
// unit's capture moment, started again on the clock only when the sound
// really went missing, for the capture moments an engine measures (server
// latency read at every block, with its noise, gaps and late readings).

#include <AudioCapImpl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using KxAudioModule::KxAudioStamper;

namespace {

constexpr int kRate = 44100;
constexpr int kFrame = 1024;

struct Case {
    const char *name;
    double seconds;
    double startMs;     ///< capture moment of the first unit on the clock
    double noiseMs;     ///< measurement noise, uniform in [0, noiseMs]
    double gapAtS;      ///< sound lost from here on (negative: none)
    double gapMs;       ///< how much (negative: the measurement moves back)
    double outlierAtS;  ///< one measurement this late (negative: none)
    double driftPpm;    ///< the sound's clock against the recording clock
    double wanderMs;    ///< the measurement's own error, reached over the first 3 s
    int reanchors;
};

// The capture moment of unit n: where its sound truly was on the clock,
// as the engine measures it.
double truth(const Case &c, int64_t n)
{
    double ms = c.startMs + n * kFrame * 1000.0 / kRate * (1.0 + c.driftPpm * 1e-6);
    if (c.gapAtS >= 0 && ms >= c.gapAtS * 1000.0)
        ms += c.gapMs;
    return ms;
}

class KxAudioStamperCase : public ::testing::TestWithParam<Case> {};

TEST_P(KxAudioStamperCase, OneRunOfSamplesOnTheClock)
{
    const Case c = GetParam();
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(0.0, c.noiseMs);
    KxAudioStamper s;
    s.reset(kRate, kFrame);
    const int64_t units = int64_t(c.seconds * kRate / kFrame);
    int64_t previous = 0;
    int jumps = 0;
    std::vector<double> offMs; // stamp minus truth
    for (int64_t n = 0; n < units; ++n) {
        const double t = n * double(kFrame) / kRate;
        double measured = truth(c, n) + noise(rng) + c.wanderMs * std::min(t / 3.0, 1.0);
        if (c.outlierAtS >= 0 && n == int64_t(c.outlierAtS * kRate / kFrame))
            measured += 80.0;
        const int64_t stamp = s.next(measured, true);
        if (n == 0) {
            EXPECT_NEAR(stamp * 1000.0 / kRate, measured, 0.05);
        } else if (stamp - previous != kFrame) {
            ++jumps;
        }
        previous = stamp;
        offMs.push_back(stamp * 1000.0 / kRate - truth(c, n));
    }
    EXPECT_EQ(s.reanchors(), c.reanchors);
    EXPECT_EQ(jumps, c.reanchors) << "every other step is exactly one frame";
    // Away from a jump, the stamps sit where the sound was: within the
    // noise, plus what a drift gathers (nothing corrects a drift below two
    // frames, by design: players hear it as it was captured).
    const double driftMs = std::fabs(c.driftPpm) * 1e-6 * c.seconds * 1000.0;
    for (size_t n = 0; n < offMs.size(); ++n) {
        const double at = c.startMs / 1000.0 + n * double(kFrame) / kRate;
        if (c.gapAtS >= 0 && at >= c.gapAtS && at < c.gapAtS + 0.1)
            continue;
        ASSERT_NEAR(offMs[n], 0.0, c.noiseMs + driftMs + 0.1) << "unit " << n;
    }
    // No drift of its own: the last minute sits where the first one did.
    if (c.seconds >= 180 && c.driftPpm == 0) {
        const size_t minute = size_t(60.0 * kRate / kFrame);
        double first = 0, last = 0;
        for (size_t n = 0; n < minute; ++n) {
            first += offMs[n] / minute;
            last += offMs[offMs.size() - minute + n] / minute;
        }
        EXPECT_NEAR(last, first, 5.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Captures, KxAudioStamperCase,
    ::testing::Values(
        Case{"Steady", 30, 37.5, 0, -1, 0, -1, 0, 0, 0},
        Case{"NoisyReadings", 30, 12.0, 8, -1, 0, -1, 0, 0, 0},
        Case{"LateReadingOnItsOwn", 30, 20.0, 3, -1, 0, 10, 0, 0, 0},
        Case{"GapOf300ms", 30, 20.0, 3, 12, 300, -1, 0, 0, 1},
        Case{"MeasurementMovesBack", 30, 300.0, 3, 12, -120, -1, 0, 0, 1},
        // A server's latency estimate settling after the stream starts:
        // the sound keeps time, the stamps must not follow.
        Case{"MeasurementSettlesEarlier", 60, 20.0, 3, -1, 0, -1, 0, -60, 0},
        Case{"MeasurementSettlesLater", 60, 20.0, 3, -1, 0, -1, 0, 60, 0},
        Case{"GapWhileTheMeasurementSettles", 30, 20.0, 3, 2, 200, -1, 0, -60, 1},
        Case{"ThreeMinutes", 180, 25.0, 4, -1, 0, -1, 0, 0, 0},
        Case{"ThreeMinutesSoundClock50ppmFast", 180, 25.0, 4, -1, 0, -1, -50, 0, 0},
        Case{"ThreeMinutesSoundClock1000ppmFast", 180, 25.0, 4, -1, 0, -1, -1000, 0, 1}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Without a clock the stamps count samples from 0, whatever is measured.
TEST(KxAudioStamper, NoClockCountsSamples)
{
    KxAudioStamper s;
    s.reset(48000, 1024);
    for (int64_t n = 0; n < 100; ++n)
        ASSERT_EQ(s.next(n % 7 == 0 ? 5000.0 : 10.0, false), n * 1024);
    EXPECT_EQ(s.reanchors(), 0);
}

} // namespace
