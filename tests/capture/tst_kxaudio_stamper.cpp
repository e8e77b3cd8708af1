// Time stamps of audio packets: strictly increasing, spaced like the sound,
// on the recording clock (at the capture of their sound, a known delay
// before their arrival), for the arrival patterns libVoxtap produces.

#include <AudioCapImpl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <random>
#include <vector>

using KxAudioModule::KxAudioStamper;

namespace {

constexpr double kUnitMs = 1024.0 * 1000.0 / 44100.0;

struct Arrival {
    int64_t clockMs;   ///< when the unit reached the module
    double soundMs;    ///< when its sound ended (the ideal stamp plus a constant)
};

/// Units as a 10 ms block capture produces them: 441 samples per block at
/// 44.1 kHz, a unit whenever 1024 have gathered, delivered at the end of
/// the block plus scheduling jitter (seeded), now and then two blocks late.
/// The capture begins a little after the recording clock, as the module
/// starts it, so no unit's sound lies before the clock's start.
std::vector<Arrival> blockCapture(int seconds, int jitterMs, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(0, jitterMs);
    std::uniform_int_distribution<int> late(0, 30);
    std::vector<Arrival> out;
    int waiting = 0;
    int64_t samples = 0;
    int64_t heldUntil = -1;
    for (int b = 0; b < seconds * 100; ++b) {
        const int64_t blockEnd = 80 + (b + 1) * 10;
        waiting += 441;
        while (waiting >= 1024) {
            waiting -= 1024;
            samples += 1024;
            int64_t at = blockEnd + jitter(rng);
            if (late(rng) == 0)
                heldUntil = blockEnd + 20;
            if (heldUntil >= at)
                at = heldUntil;
            if (!out.empty())
                at = std::max(at, out.back().clockMs);
            out.push_back({at, samples * 1000.0 / 44100.0});
        }
    }
    return out;
}

/// When the first sound of a unit that arrived at arrivalMs was captured.
double captureTime(const KxAudioStamper &s, int64_t arrivalMs)
{
    return std::max(0.0, double(arrivalMs) - s.deliveryDelayMs());
}

struct Figures {
    double minSpacing = 1e9;
    double maxSpacing = 0;
    double maxOffClock = 0; ///< |stamp - arrival|
    bool increasing = true;
};

Figures run(KxAudioStamper &s, const std::vector<Arrival> &arrivals, std::vector<int64_t> *stamps = nullptr)
{
    Figures f;
    int64_t last = -1;
    for (const Arrival &a : arrivals) {
        const int64_t t = s.next(a.clockMs, true);
        if (last >= 0) {
            f.increasing = f.increasing && t > last;
            f.minSpacing = std::min(f.minSpacing, double(t - last));
            f.maxSpacing = std::max(f.maxSpacing, double(t - last));
        }
        f.maxOffClock = std::max(f.maxOffClock, std::fabs(t - captureTime(s, a.clockMs)));
        last = t;
        if (stamps)
            stamps->push_back(t);
    }
    return f;
}

} // namespace

class KxAudioStamperJitter : public ::testing::TestWithParam<int> {};

// Realistic arrivals with up to N ms of jitter, bursts included: the
// stamps rise strictly, spaced within a quarter of a unit of the sound's
// spacing, and stay close to the arrival times.
TEST_P(KxAudioStamperJitter, SteadyCapture)
{
    const int jitterMs = GetParam();
    KxAudioStamper s;
    s.reset(44100);
    const std::vector<Arrival> arrivals = blockCapture(60, jitterMs, 1234u + jitterMs);
    int sameMillisecond = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        sameMillisecond += arrivals[i].clockMs == arrivals[i - 1].clockMs;
    ASSERT_GT(sameMillisecond, 0) << "the pattern must contain bursts";

    const Figures f = run(s, arrivals);
    std::cout << "jitter " << jitterMs << " ms: spacing " << f.minSpacing << ".." << f.maxSpacing
              << " ms (unit " << kUnitMs << "), max distance to arrival " << f.maxOffClock << " ms, "
              << sameMillisecond << " same-millisecond arrivals" << std::endl;
    EXPECT_TRUE(f.increasing);
    EXPECT_GE(f.minSpacing, std::floor(kUnitMs * (1 - KxAudioStamper::kMaxStep)));
    EXPECT_LE(f.maxSpacing, std::ceil(kUnitMs * (1 + KxAudioStamper::kMaxStep)));
    EXPECT_LE(f.maxOffClock, jitterMs + 35.0);
}

INSTANTIATE_TEST_SUITE_P(Jitter, KxAudioStamperJitter, ::testing::Values(0, 5, 15));

// Several units in the same millisecond never share a stamp.
TEST(KxAudioStamper, SameMillisecondBurst)
{
    KxAudioStamper s;
    s.reset(44100);
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 10; ++i)
        arrivals.push_back({1000 + i * 23, 0});
    for (int i = 0; i < 6; ++i)
        arrivals.push_back({1300, 0});
    const Figures f = run(s, arrivals);
    EXPECT_TRUE(f.increasing);
    EXPECT_GE(f.minSpacing, std::floor(kUnitMs * (1 - KxAudioStamper::kMaxStep)));
}

// Sound missing for half a second (paused, or the server lost it): the
// stamps jump to the clock in one step, so the gap stays a gap in the file.
// A capture thread held up for 300 ms, whose units then arrive in a burst,
// is no gap: the stamps stay on the sound's time line.
TEST(KxAudioStamper, GapJumpsButAStallDoesNot)
{
    struct Case {
        int64_t shiftFrom, shiftMs; // arrivals from unit shiftFrom on come shiftMs later
        int64_t stallFrom, stallTo; // units held and delivered with unit stallTo
        double wantJump;            // largest step between stamps, at least
        double wantOffMax;          // largest distance of a stamp to its sound, at most
    };
    for (const Case &c : {Case{50, 500, -1, -1, 450.0, 1e9}, Case{0, 0, 100, 113, 0.0, 2.0}}) {
        KxAudioStamper s;
        s.reset(44100);
        const int64_t base = 40; // the clock ran before the first unit
        double maxStep = 0, maxOff = 0;
        int64_t last = -1;
        for (int64_t i = 0; i < 200; ++i) {
            const double sound = base + i * kUnitMs; // capture of the unit's sound
            int64_t arrival = std::llround(sound + s.deliveryDelayMs()) + (i >= c.shiftFrom ? c.shiftMs : 0);
            if (i >= c.stallFrom && i <= c.stallTo)
                arrival = std::llround(base + c.stallTo * kUnitMs + s.deliveryDelayMs());
            const int64_t t = s.next(arrival, true);
            if (last >= 0)
                maxStep = std::max(maxStep, double(t - last));
            if (i >= 1)
                maxOff = std::max(maxOff, std::fabs(t - sound));
            last = t;
        }
        EXPECT_GE(maxStep, c.wantJump);
        EXPECT_LE(maxOff, c.wantOffMax);
        EXPECT_NEAR(double(last), base + 199 * kUnitMs + (c.shiftFrom >= 0 ? c.shiftMs : 0), 2.0);
    }
}

// A second of backlog read at once after a resume: strictly increasing,
// and back within reach of the clock after a few seconds.
TEST(KxAudioStamper, BacklogCatchesUp)
{
    KxAudioStamper s;
    s.reset(44100);
    std::vector<Arrival> arrivals;
    for (int i = 0; i < 40; ++i)
        arrivals.push_back({std::llround(i * kUnitMs), 0});
    const int64_t resume = 3000;
    for (int i = 0; i < 43; ++i)
        arrivals.push_back({resume + i / 20, 0});
    for (int i = 1; i <= 400; ++i)
        arrivals.push_back({resume + std::llround(i * kUnitMs), 0});
    std::vector<int64_t> stamps;
    const Figures f = run(s, arrivals, &stamps);
    EXPECT_TRUE(f.increasing);
    EXPECT_GE(f.minSpacing, std::floor(kUnitMs * (1 - KxAudioStamper::kMaxStep)));
    EXPECT_LE(std::fabs(stamps.back() - captureTime(s, arrivals.back().clockMs)), 30.0);
}

// Without a clock the stamps count the sound from 0.
TEST(KxAudioStamper, NoClockCountsSamples)
{
    KxAudioStamper s;
    s.reset(48000);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(s.next(0, false), std::llround(i * 1024 * 1000.0 / 48000)) << i;
}
