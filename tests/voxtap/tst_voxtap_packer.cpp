// The AAC packer without a sound server: resampling, frame gathering,
// one delivery per access unit, and the set-up's refusals.

#include "KxAacProbe.h"
#include "Voxtap.h"
#include "VoxtapAacPacker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using voxtap::AacPacker;
using voxtap::MixFormat;

namespace {

constexpr VoxtapAudioParams kAac64k{86018, 64000, 2, 44100};

struct CollectingSink : voxtap::AccessUnitSink {
    std::vector<std::vector<uint8_t>> units;
    void accessUnit(const uint8_t *data, int length) override { units.emplace_back(data, data + length); }
};

/// Interleaved sine blocks in the mix format, with a running phase.
class ToneSource {
public:
    ToneSource(const MixFormat &mix, double frequency) : m_mix(mix), m_step(2 * M_PI * frequency / mix.sampleRate) {}

    std::vector<uint8_t> block(int frames)
    {
        std::vector<uint8_t> out(static_cast<size_t>(frames) * m_mix.blockAlign());
        uint8_t *p = out.data();
        for (int i = 0; i < frames; ++i, m_phase += m_step) {
            const double v = 0.5 * std::sin(m_phase);
            for (int c = 0; c < m_mix.channels; ++c) {
                const bool isFloat = m_mix.formatTag != MixFormat::TagPcm && m_mix.subFormat == MixFormat::SubIeeeFloat;
                if (isFloat && m_mix.bitsPerSample == 32) {
                    const float f = static_cast<float>(v);
                    std::memcpy(p, &f, 4);
                } else if (isFloat) {
                    std::memcpy(p, &v, 8);
                } else if (m_mix.bitsPerSample == 8) {
                    *p = static_cast<uint8_t>(128 + std::lround(v * 127));
                } else if (m_mix.bitsPerSample == 16) {
                    const int16_t s = static_cast<int16_t>(std::lround(v * 32767));
                    std::memcpy(p, &s, 2);
                } else if (m_mix.bitsPerSample == 32) {
                    const int32_t s = static_cast<int32_t>(std::lround(v * 2147483647.0));
                    std::memcpy(p, &s, 4);
                }
                p += m_mix.bitsPerSample / 8;
            }
        }
        return out;
    }

private:
    MixFormat m_mix;
    double m_step;
    double m_phase = 0;
};

MixFormat mix(uint16_t tag, MixFormat::SubFormat sub, int bits, int channels, int rate)
{
    MixFormat m;
    m.formatTag = tag;
    m.subFormat = sub;
    m.bitsPerSample = bits;
    m.channels = channels;
    m.sampleRate = rate;
    return m;
}

double decodeFrequency(const std::vector<std::vector<uint8_t>> &units, int rate, int channels, int *errors)
{
    KxAacProbe probe;
    EXPECT_TRUE(probe.open(rate, channels));
    for (const auto &u : units)
        probe.decode(u.data(), static_cast<int>(u.size()));
    *errors = probe.errors();
    return probe.frequency();
}

} // namespace

// A 48 kHz float stereo microphone in 10 ms blocks: each block yields at
// most one access unit, one every second or third block, and the units
// decode to the captured tone.
TEST(VoxtapPacker, TenMillisecondBlocksGiveOneUnitEverySecondOrThirdBlock)
{
    const MixFormat m = mix(MixFormat::TagExtensible, MixFormat::SubIeeeFloat, 32, 2, 48000);
    AacPacker packer;
    ASSERT_EQ(packer.setup(m, &kAac64k), VOXTAP_OK);
    EXPECT_EQ(packer.encoderSampleRate(), 44100);
    EXPECT_EQ(packer.frameSize(), 1024);
    ToneSource tone(m, 440.0);
    CollectingSink sink;
    std::vector<int> deliveringBlocks;
    const int blocks = 500; // 5 s
    for (int b = 0; b < blocks; ++b) {
        const size_t before = sink.units.size();
        const std::vector<uint8_t> data = tone.block(480);
        const int bytes = packer.pack(data.data(), 480, &sink);
        const size_t produced = sink.units.size() - before;
        ASSERT_LE(produced, 1u) << "block " << b;
        if (produced == 1) {
            EXPECT_EQ(bytes, static_cast<int>(sink.units.back().size()));
            deliveringBlocks.push_back(b);
        } else {
            EXPECT_EQ(bytes, 0);
        }
    }
    ASSERT_GT(deliveringBlocks.size(), 10u);
    for (size_t i = 1; i < deliveringBlocks.size(); ++i) {
        const int gap = deliveringBlocks[i] - deliveringBlocks[i - 1];
        EXPECT_TRUE(gap == 2 || gap == 3) << "gap " << gap << " before block " << deliveringBlocks[i];
    }
    // 5 s at 44.1 kHz are 215 frames of 1024; the encoder holds back a
    // frame or two of look-ahead.
    EXPECT_GE(packer.framesEncoded(), 214);
    EXPECT_GE(sink.units.size(), 212u);
    EXPECT_EQ(packer.dropped(), 0);
    int errors = -1;
    EXPECT_NEAR(decodeFrequency(sink.units, 44100, 2, &errors), 440.0, 1.0);
    EXPECT_EQ(errors, 0);
}

// A one-second backlog in one block (what a resumed capture reads at once)
// gives one delivery per access unit, never units laid end to end.
TEST(VoxtapPacker, BacklogBlockDeliversEachUnitOnItsOwn)
{
    const MixFormat m = mix(MixFormat::TagPcm, MixFormat::SubPcm, 16, 1, 48000);
    AacPacker packer;
    ASSERT_EQ(packer.setup(m, &kAac64k), VOXTAP_OK);
    ToneSource tone(m, 1000.0);
    CollectingSink sink;
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> data = tone.block(48000);
        packer.pack(data.data(), 48000, &sink);
    }
    EXPECT_EQ(static_cast<int64_t>(sink.units.size()), packer.packetsOut());
    EXPECT_GE(sink.units.size(), 125u);
    // An AAC-LC unit holds at most 6144 bits per channel.
    for (const auto &u : sink.units)
        EXPECT_LE(u.size(), 768u * 2);
    KxAacProbe probe;
    ASSERT_TRUE(probe.open(44100, 2));
    for (const auto &u : sink.units)
        EXPECT_TRUE(probe.decode(u.data(), static_cast<int>(u.size())));
    // Each unit decodes to exactly one frame.
    EXPECT_EQ(probe.samples(), static_cast<int64_t>(sink.units.size()) * 1024);
    EXPECT_NEAR(probe.frequency(), 1000.0, 2.0);
}

// Up-sampling yields more samples than frames come in; all of them must be
// encoded instead of piling up in the resampler.
TEST(VoxtapPacker, UpsamplingKeepsPace)
{
    const MixFormat m = mix(MixFormat::TagPcm, MixFormat::SubPcm, 16, 1, 8000);
    AacPacker packer;
    ASSERT_EQ(packer.setup(m, &kAac64k), VOXTAP_OK);
    ToneSource tone(m, 300.0);
    CollectingSink sink;
    const int seconds = 10;
    for (int b = 0; b < seconds * 100 / 6; ++b) { // 60 ms blocks
        const std::vector<uint8_t> data = tone.block(480);
        packer.pack(data.data(), 480, &sink);
    }
    const double expectedFrames = seconds * 44100.0 / 1024;
    EXPECT_GE(packer.framesEncoded(), static_cast<int64_t>(expectedFrames) - 2);
    EXPECT_LE(packer.framesEncoded(), static_cast<int64_t>(expectedFrames) + 1);
    int errors = -1;
    EXPECT_NEAR(decodeFrequency(sink.units, 44100, 2, &errors), 300.0, 1.0);
    EXPECT_EQ(errors, 0);
}

struct FormatCase {
    const char *name;
    uint16_t tag;
    MixFormat::SubFormat sub;
    int bits;
    int expected;
};

class VoxtapPackerFormat : public ::testing::TestWithParam<FormatCase> {};

// Capture formats the resampler takes encode to the tone; the rest are
// refused with 0x2000002 and leave nothing allocated.
TEST_P(VoxtapPackerFormat, AcceptsPcmAndExtensibleFloatOnly)
{
    const FormatCase c = GetParam();
    const MixFormat m = mix(c.tag, c.sub, c.bits, 2, 48000);
    AacPacker packer;
    ASSERT_EQ(packer.setup(m, &kAac64k), c.expected);
    if (c.expected != VOXTAP_OK) {
        EXPECT_FALSE(packer.isReady());
        return;
    }
    ToneSource tone(m, 440.0);
    CollectingSink sink;
    for (int b = 0; b < 100; ++b) {
        const std::vector<uint8_t> data = tone.block(480);
        packer.pack(data.data(), 480, &sink);
    }
    int errors = -1;
    EXPECT_NEAR(decodeFrequency(sink.units, 44100, 2, &errors), 440.0, 1.5);
    EXPECT_EQ(errors, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, VoxtapPackerFormat,
    ::testing::Values(
        FormatCase{"pcm8", MixFormat::TagPcm, MixFormat::SubPcm, 8, VOXTAP_OK},
        FormatCase{"pcm16", MixFormat::TagPcm, MixFormat::SubPcm, 16, VOXTAP_OK},
        FormatCase{"pcm32", MixFormat::TagPcm, MixFormat::SubPcm, 32, VOXTAP_OK},
        FormatCase{"extPcm16", MixFormat::TagExtensible, MixFormat::SubPcm, 16, VOXTAP_OK},
        FormatCase{"extFloat", MixFormat::TagExtensible, MixFormat::SubIeeeFloat, 32, VOXTAP_OK},
        FormatCase{"plainFloatTag", MixFormat::TagIeeeFloat, MixFormat::SubIeeeFloat, 32, VOXTAP_E_FORMAT},
        FormatCase{"extDouble", MixFormat::TagExtensible, MixFormat::SubIeeeFloat, 64, VOXTAP_E_FORMAT},
        FormatCase{"pcm24", MixFormat::TagPcm, MixFormat::SubPcm, 24, VOXTAP_E_FORMAT},
        FormatCase{"extOther", MixFormat::TagExtensible, MixFormat::SubOther, 16, VOXTAP_E_FORMAT}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });

struct ParamsCase {
    const char *name;
    bool useNull;
    VoxtapAudioParams params;
    int expected;
    int rate;
    int channels;
};

class VoxtapPackerParams : public ::testing::TestWithParam<ParamsCase> {};

TEST_P(VoxtapPackerParams, OpensOrRefusesTheEncoder)
{
    const ParamsCase c = GetParam();
    AacPacker packer;
    const MixFormat m = mix(MixFormat::TagExtensible, MixFormat::SubIeeeFloat, 32, 2, 48000);
    EXPECT_EQ(packer.setup(m, c.useNull ? nullptr : &c.params), c.expected);
    if (c.expected == VOXTAP_OK) {
        EXPECT_EQ(packer.encoderSampleRate(), c.rate);
        EXPECT_EQ(packer.encoderChannels(), c.channels);
        EXPECT_FALSE(packer.extradata().empty());
    } else {
        EXPECT_FALSE(packer.isReady());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Params, VoxtapPackerParams,
    ::testing::Values(
        ParamsCase{"defaults", true, {}, VOXTAP_OK, 44100, 2},
        ParamsCase{"mono48k", false, {86018, 96000, 1, 48000}, VOXTAP_OK, 48000, 1},
        ParamsCase{"noSuchCodec", false, {0x7ffffff0, 64000, 2, 44100}, VOXTAP_E_NOENCODER, 0, 0},
        ParamsCase{"pcmEncoder", false, {65536, 64000, 2, 44100}, VOXTAP_E_FORMAT, 0, 0},
        ParamsCase{"oddRate", false, {86018, 64000, 2, 12345}, VOXTAP_E_ENCOPEN, 0, 0},
        ParamsCase{"noChannels", false, {86018, 64000, 0, 44100}, VOXTAP_E_ENCOPEN, 0, 0}),
    [](const ::testing::TestParamInfo<ParamsCase> &info) { return std::string(info.param.name); });
