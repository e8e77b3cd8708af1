// The capture engine seen from inside: the mix format it chose, volume and
// mute followed through the server's subscription, and a sound server that
// goes away in the middle of a capture.

#include "KxPulseFixture.h"
#include "KxVoxtapReceiver.h"
#include "VoxtapCoreAudioApi.h"

#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

using voxtap::MixFormat;
using voxtap::VoxtapCoreAudioApi;

namespace {

constexpr VoxtapAudioParams kAac64k{86018, 64000, 2, 44100};

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done())
            return true;
        QThread::msleep(20);
    }
    return done();
}

class VoxtapEngine : public KxPulseSuite {};

struct FormatCase {
    const char *name;
    const char *endpoint;
    int flow;
    uint16_t tag;
    int bits;
};

class VoxtapEngineFormat : public VoxtapEngine, public ::testing::WithParamInterface<FormatCase> {};

// The stream keeps the endpoint's rate and channels and its sample format
// where the resampler takes it (the null sink's 16-bit), float otherwise.
TEST_P(VoxtapEngineFormat, MixFormatFollowsTheEndpoint)
{
    FormatCase c = GetParam();
    // pipewire-pulse reports its null sinks in PipeWire's own float format.
    if (c.tag == MixFormat::TagPcm && KxPulseDaemon::serverFromEnvironment() == KxSoundServer::PipeWire) {
        c.tag = MixFormat::TagExtensible;
        c.bits = 32;
    }
    VoxtapCoreAudioApi engine;
    ASSERT_EQ(engine.initWithId(c.endpoint, &kAac64k), 0);
    EXPECT_EQ(engine.dataFlow(), c.flow);
    EXPECT_EQ(engine.mixFormat().formatTag, c.tag);
    EXPECT_EQ(engine.mixFormat().bitsPerSample, c.bits);
    EXPECT_EQ(engine.mixFormat().sampleRate, 48000);
    EXPECT_EQ(engine.mixFormat().channels, 2);
    EXPECT_EQ(engine.encoderSampleRate(), 44100);
    EXPECT_EQ(engine.uninit(), 0);
    EXPECT_FALSE(engine.isInitialised());
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, VoxtapEngineFormat,
    ::testing::Values(FormatCase{"floatMic", KxPulseDaemon::kMicSource, VOXTAP_FLOW_CAPTURE, MixFormat::TagExtensible, 32},
                      FormatCase{"s16Sink", KxPulseDaemon::kNullSink, VOXTAP_FLOW_RENDER, MixFormat::TagPcm, 16}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });

struct VolumeCase {
    const char *name;
    const char *endpoint;
    const char *volumeCommand;
    const char *muteCommand;
};

class VoxtapEngineVolume : public VoxtapEngine, public ::testing::WithParamInterface<VolumeCase> {};

// Volume and mute changes of the endpoint in use reach the engine.
TEST_P(VoxtapEngineVolume, FollowsVolumeAndMute)
{
    const VolumeCase c = GetParam();
    VoxtapCoreAudioApi engine;
    ASSERT_EQ(engine.initWithId(c.endpoint, &kAac64k), 0);
    EXPECT_NEAR(engine.masterVolume(), 1.0f, 0.01f);
    EXPECT_FALSE(engine.isMuted());
    ASSERT_TRUE(s_daemon->pactl({c.volumeCommand, c.endpoint, QStringLiteral("50%")}));
    EXPECT_TRUE(waitUntil([&] { return std::fabs(engine.masterVolume() - 0.5f) < 0.01f; }, 5000))
        << engine.masterVolume();
    ASSERT_TRUE(s_daemon->pactl({c.muteCommand, c.endpoint, QStringLiteral("1")}));
    EXPECT_TRUE(waitUntil([&] { return engine.isMuted(); }, 5000));
    s_daemon->pactl({c.muteCommand, c.endpoint, QStringLiteral("0")});
    s_daemon->pactl({c.volumeCommand, c.endpoint, QStringLiteral("100%")});
    EXPECT_TRUE(waitUntil([&] { return !engine.isMuted() && engine.masterVolume() > 0.99f; }, 5000));
    EXPECT_EQ(engine.uninit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, VoxtapEngineVolume,
    ::testing::Values(VolumeCase{"source", KxPulseDaemon::kMicSource, "set-source-volume", "set-source-mute"},
                      VolumeCase{"sink", KxPulseDaemon::kNullSink, "set-sink-volume", "set-sink-mute"}),
    [](const ::testing::TestParamInfo<VolumeCase> &info) { return std::string(info.param.name); });

// The sound server dies while recording: the endpoint is reported gone,
// the capture thread ends with an error kept for diagnosis, and stop and
// uninit return without hanging.
TEST_F(VoxtapEngine, ServerGoesAway)
{
    KxPulseDaemon doomed;
    ASSERT_TRUE(doomed.start()) << doomed.lastError().toStdString();
    KxVoxtapReceiver receiver;
    VoxtapCoreAudioApi engine;
    ASSERT_EQ(engine.initWithId(KxPulseDaemon::kMicSource, &kAac64k), 0);
    engine.setReceiver(&receiver);
    ASSERT_EQ(engine.start(), 0);
    ASSERT_TRUE(receiver.waitUnits(10, 10000));
    doomed.stop(); // also points PULSE_SERVER back at the suite's daemon
    ASSERT_TRUE(receiver.waitState(5000));
    EXPECT_EQ(receiver.states().front().second, VOXTAP_STATE_NOTPRESENT);
    EXPECT_TRUE(waitUntil([&] { return engine.lastCaptureError() != 0; }, 5000));
    EXPECT_EQ(engine.stop(), 0);
    EXPECT_EQ(engine.start(), VOXTAP_E_CLIENTSTART);
    EXPECT_EQ(engine.uninit(), 0);
    // The engine can be used again on a live server.
    ASSERT_EQ(engine.initWithId(KxPulseDaemon::kMicSource, &kAac64k), 0);
    EXPECT_EQ(engine.uninit(), 0);
}

} // namespace
