// The audio module with libVoxtap, the real packet pool and a private
// PulseAudio daemon: microphone choice, packets, stamps, callbacks.

#include "KxPulseFixture.h"

#include <IKxMediaPacket.h>
#include <IKxModuleAudio.h>
#include <IKxModuleLocalFile.h>
#include <IKxModulePoolMgr.h>
#include <KxAacProbe.h>
#include <KxAudioCollector.h>
#include <KxMediaTime.h>

#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

const char *const kDevicePattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

/// Stands in for the local file module at the pool's output: keeps a copy
/// of every packet it is given.
class PacketRecorder : public IKxModuleLocalFile {
public:
    struct Item {
        int type;
        KxAudioInfo info;
        std::vector<uint8_t> bytes;
    };
    int init() override { return 0; }
    int setCloundModule(IKxModuleClound *) override { return 0; }
    void registerCallback(KxToLocalFileCbk *) override {}
    int start(const KxLocalFileConfig &) override { return 0; }
    uint8_t inputMediaPacket(IKxMediaPacket *packet) override
    {
        Item item;
        item.type = packet->getType();
        packet->getAudioInfo(&item.info);
        item.bytes.assign(packet->getData(), packet->getData() + packet->getSize());
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(std::move(item));
        m_cv.notify_all();
        return 0;
    }
    int stop() override { return 0; }
    int destory() override { return 0; }

    bool wait(size_t n, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_items.size() >= n; });
    }
    std::vector<Item> items()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Item> m_items;
};

class RecordingCallback : public IKxModuleAudio::ICallBack {
public:
    void started() override { ++startedCount; }
    void stopped() override { ++stoppedCount; }
    void deviceState(const char *id, int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lastId = id ? id : "";
        lastState = state;
        m_cv.notify_all();
    }
    bool waitState(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return lastState != 0; });
    }
    std::atomic<int> startedCount{0};
    std::atomic<int> stoppedCount{0};
    std::string lastId;
    int lastState = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

class KxAudioCollectorTest : public KxPulseSuite {
protected:
    void SetUp() override
    {
        KxPulseSuite::SetUp();
        if (HasFatalFailure())
            return;
        m_pool = IKxModulePoolMgr::createInstance();
        ASSERT_EQ(m_pool->init(), 0);
        m_pool->setLocalFileModule(&m_recorder);
        ASSERT_EQ(m_pool->start(), 0);
        m_audio.reset(IKxModuleAudio::createInstance());
        m_audio->registerCallback(&m_callback);
    }
    void TearDown() override
    {
        if (m_audio) {
            m_audio->stop();
            m_audio->destory();
        }
        m_audio.reset();
        if (m_pool)
            m_pool->destory();
    }

    /// Records seconds of sound; returns the audio packets.
    std::vector<PacketRecorder::Item> record(IKxMediaTime *clock, int packets)
    {
        EXPECT_EQ(m_audio->setPoolModule(m_pool), 0);
        EXPECT_EQ(m_audio->start(clock), 0);
        EXPECT_TRUE(m_recorder.wait(packets, 15000));
        EXPECT_EQ(m_audio->stop(), 0);
        return m_recorder.items();
    }

    static double decodeFrequency(const std::vector<PacketRecorder::Item> &items, int rate, int channels)
    {
        KxAacProbe probe;
        EXPECT_TRUE(probe.open(rate, channels));
        for (const auto &i : items)
            EXPECT_TRUE(probe.decode(i.bytes.data(), static_cast<int>(i.bytes.size())));
        // One access unit per packet: each decodes to exactly one frame.
        EXPECT_EQ(probe.samples(), static_cast<int64_t>(items.size()) * 1024);
        EXPECT_EQ(probe.decodedChannels(), channels);
        return probe.frequency();
    }

    IKxModulePoolMgr *m_pool = nullptr;
    PacketRecorder m_recorder;
    RecordingCallback m_callback;
    std::unique_ptr<IKxModuleAudio> m_audio;
};

struct PatternCase {
    const char *name;
    const char *pattern;
    int expected;
    int frequency; ///< of the chosen microphone
};

class KxAudioCollectorInit : public KxAudioCollectorTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(KxAudioCollectorInit, ChoosesTheMicrophoneByName)
{
    const PatternCase c = GetParam();
    EXPECT_EQ(m_audio->init(c.pattern), c.expected);
    if (c.expected != 0) {
        // A valid pattern is looked for again at the start, which finds no
        // microphone either; without one nothing was initialised and the
        // library answers 1.
        EXPECT_EQ(m_audio->start(nullptr), c.expected == -2 ? -2 : 1);
        EXPECT_EQ(m_callback.startedCount.load(), 0);
        return;
    }
    const auto items = record(nullptr, 60);
    EXPECT_NEAR(decodeFrequency(items, 44100, 2), c.frequency, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, KxAudioCollectorInit,
    ::testing::Values(PatternCase{"nullPattern", nullptr, -1, 0}, PatternCase{"emptyPattern", "", -1, 0},
                      PatternCase{"malformed", "(VANTRI", -1, 0},
                      PatternCase{"noMatch", "Nonexistent Unit", -2, 0},
                      PatternCase{"devicePattern", kDevicePattern, 0, KxPulseDaemon::kMicFrequency},
                      PatternCase{"plainText", "Generic USB", 0, KxPulseDaemon::kPlainFrequency},
                      PatternCase{"caseMatters", "generic usb", -2, 0}),
    [](const ::testing::TestParamInfo<PatternCase> &info) { return std::string(info.param.name); });

// Calls before init reach the library, which answers 1.
TEST_F(KxAudioCollectorTest, CallsBeforeInit)
{
    EXPECT_EQ(m_audio->setPoolModule(m_pool), 0);
    EXPECT_EQ(m_audio->start(nullptr), 1);
    EXPECT_EQ(m_audio->pause(), 1);
    EXPECT_EQ(m_audio->resume(), 1);
    EXPECT_EQ(m_audio->stop(), 1);
    EXPECT_EQ(m_audio->destory(), 0);
    EXPECT_EQ(m_callback.startedCount.load(), 0);
}

// Two matching microphones: the first in list order wins.
TEST_F(KxAudioCollectorTest, FirstMatchInListOrder)
{
    const int module = s_daemon->addMicrophone(QStringLiteral("kx_vantri_ultra"),
                                               QStringLiteral("VANTRI Multimedia Unit ULTRA HD"), 1000);
    ASSERT_GE(module, 0);
    ASSERT_EQ(m_audio->init(kDevicePattern), 0);
    const auto items = record(nullptr, 60);
    m_audio->destory();
    s_daemon->unloadModule(module);
    EXPECT_NEAR(decodeFrequency(items, 44100, 2), KxPulseDaemon::kMicFrequency, 2.0);
}

// Own parameters reach the library and every packet's description; one
// access unit per packet; stamps count samples, exactly a frame apart, and
// place the sound where the clock was when it was captured.
TEST_F(KxAudioCollectorTest, PacketsCarryParametersAndStamps)
{
    const KxAudioParams params{96000, 1, 48000};
    ASSERT_EQ(m_audio->init(kDevicePattern, &params), 0);
    KxMediaTime clock;
    clock.start();
    const auto items = record(&clock, 120);
    const int64_t end = clock.elapsed();
    EXPECT_EQ(m_callback.startedCount.load(), 1);
    EXPECT_EQ(m_callback.stoppedCount.load(), 1);
    ASSERT_GE(items.size(), 120u);
    for (size_t n = 0; n < items.size(); ++n) {
        const auto &i = items[n];
        EXPECT_EQ(i.type, KX_PACKET_AUDIO);
        EXPECT_EQ(i.info.channels, 1);
        EXPECT_EQ(i.info.bitRate, 96000);
        EXPECT_EQ(i.info.sampleRate, 48000);
        EXPECT_EQ(i.info.timeBase, 48000);
        EXPECT_EQ(i.info.dts, i.info.pts);
        if (n > 0) {
            EXPECT_EQ(i.info.dts - items[n - 1].info.dts, 1024) << n;
        }
    }
    // The sound was captured after the clock started, and the last unit's
    // sound began before the stop (the encoder pads that unit out to a
    // whole frame); the first unit lies within the capture's start-up of
    // the clock's start.
    const double firstMs = items.front().info.dts / 48.0;
    const double lastMs = items.back().info.dts / 48.0;
    std::cout << "sound from " << firstMs << " to " << lastMs << " ms and a frame, stop at " << end << " ms"
              << std::endl;
    EXPECT_GE(firstMs, 0.0);
    EXPECT_LT(firstMs, 500.0);
    EXPECT_LE(lastMs, double(end) + 5.0);
    EXPECT_EQ(static_cast<KxAudioModule::KxAudioCollector *>(m_audio.get())->timelineRestarts(), 0)
        << "a steady capture never starts its time line again";
    EXPECT_NEAR(decodeFrequency(items, 48000, 1), KxPulseDaemon::kMicFrequency, 2.0);
}

// Without a clock the stamps count the sound from 0.
TEST_F(KxAudioCollectorTest, StartWithoutClock)
{
    ASSERT_EQ(m_audio->init(kDevicePattern), 0);
    const auto items = record(nullptr, 20);
    ASSERT_GE(items.size(), 20u);
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(items[i].info.dts, int64_t(i) * 1024) << i;
}

// Pause holds deliveries back; resume brings them again.
TEST_F(KxAudioCollectorTest, PauseAndResume)
{
    ASSERT_EQ(m_audio->init(kDevicePattern), 0);
    KxMediaTime clock;
    clock.start();
    ASSERT_EQ(m_audio->setPoolModule(m_pool), 0);
    ASSERT_EQ(m_audio->start(&clock), 0);
    ASSERT_TRUE(m_recorder.wait(20, 10000));
    ASSERT_EQ(m_audio->pause(), 0);
    QThread::msleep(100);
    const size_t paused = m_recorder.items().size();
    QThread::msleep(600);
    EXPECT_EQ(m_recorder.items().size(), paused);
    ASSERT_EQ(m_audio->resume(), 0);
    EXPECT_TRUE(m_recorder.wait(paused + 20, 10000));
    EXPECT_EQ(m_audio->stop(), 0);
    int64_t last = -1;
    for (const auto &i : m_recorder.items()) {
        EXPECT_GT(i.info.dts, last);
        last = i.info.dts;
    }
}

// Only the microphone in use is reported when it vanishes; the module
// does not stop by itself, and stop still works.
TEST_F(KxAudioCollectorTest, DeviceStateForwarded)
{
    const int inUse = s_daemon->addMicrophone(QStringLiteral("kx_gone_mic"), QStringLiteral("Gone Unit"), 440);
    const int other = s_daemon->addMicrophone(QStringLiteral("kx_other_mic"), QStringLiteral("Other Unit"), 440);
    ASSERT_GE(inUse, 0);
    ASSERT_GE(other, 0);
    ASSERT_EQ(m_audio->init("Gone Unit"), 0);
    ASSERT_EQ(m_audio->setPoolModule(m_pool), 0);
    ASSERT_EQ(m_audio->start(nullptr), 0);
    ASSERT_TRUE(m_recorder.wait(10, 10000));
    ASSERT_TRUE(s_daemon->unloadModule(other));
    EXPECT_FALSE(m_callback.waitState(1000)) << "reported a microphone that is not in use";
    ASSERT_TRUE(s_daemon->unloadModule(inUse));
    ASSERT_TRUE(m_callback.waitState(5000));
    EXPECT_EQ(m_callback.lastId, "kx_gone_mic");
    EXPECT_EQ(m_callback.lastState, 4);
    EXPECT_EQ(m_callback.stoppedCount.load(), 0);
    EXPECT_EQ(m_audio->stop(), 0);
    EXPECT_EQ(m_callback.stoppedCount.load(), 1);
}

} // namespace

namespace {

/// Power of one frequency in x (Goertzel), for telling two tones apart.
double tonePower(const float *x, int64_t n, double frequency)
{
    const double coeff = 2.0 * std::cos(2.0 * M_PI * frequency / 44100);
    double s1 = 0, s2 = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double s0 = x[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

} // namespace

// Recordings in a row on one engine: each ends with the sound up to its
// stop and the next starts with its own sound, nothing of the one before.
// A microphone unplugged during a recording and plugged in again before
// the next one records again.
TEST_F(KxAudioCollectorTest, RecordingsInARowAndAMicrophoneThatComesBack)
{
    const QString mic = QStringLiteral("kx_voice_mic");
    int micModule = s_daemon->addMicrophone(
        mic, {{"device.description", "Voice Audio"}, {"device.product.name", "Voice Unit"}}, 440);
    ASSERT_GE(micModule, 0);
    ASSERT_EQ(m_audio->init("Voice Unit"), 0);
    ASSERT_EQ(m_audio->setPoolModule(m_pool), 0);

    KxMediaTime clock;
    size_t from = 0;
    auto take = [&](size_t packets, int64_t *stoppedAt) {
        clock.start();
        EXPECT_EQ(m_audio->start(&clock), 0);
        EXPECT_TRUE(m_recorder.wait(from + packets, 15000));
        *stoppedAt = clock.elapsed();
        EXPECT_EQ(m_audio->stop(), 0);
        const auto all = m_recorder.items();
        std::vector<PacketRecorder::Item> run(all.begin() + long(from), all.end());
        from = all.size();
        KxAacProbe probe;
        EXPECT_TRUE(probe.open(44100, 2));
        for (const auto &i : run)
            EXPECT_TRUE(probe.decode(i.bytes.data(), int(i.bytes.size())));
        return std::make_pair(run, probe.channel0());
    };

    int64_t stop1 = 0, stop2 = 0, stop3 = 0;
    const auto [first, sound1] = take(50, &stop1);
    ASSERT_TRUE(s_daemon->retuneMicrophone(mic, 1000));
    // The sink, its monitor and the loopback still carry up to a few hundred
    // milliseconds of the old tone on a loaded machine: the microphone
    // itself must have moved on before the next recording starts, or the
    // old tone would be the server's, not a leftover of ours.
    QThread::msleep(1000);
    const auto [second, sound2] = take(50, &stop2);
    ASSERT_GT(sound1.size(), 4096u);
    ASSERT_GT(sound2.size(), 4096u);

    // The first ends with its sound up to the stop: the last loud sample
    // of the last units lies at the stop on the clock.
    int64_t lastLoud = -1;
    for (size_t i = 0; i < sound1.size(); ++i)
        if (std::fabs(sound1[i]) > 0.05f)
            lastLoud = int64_t(i);
    const size_t unit = size_t(lastLoud) / 1024;
    const double soundEnd = (first[unit].info.pts + lastLoud % 1024) * 1000.0 / 44100;
    std::cout << "sound ends at " << soundEnd << " ms, stop at " << stop1 << " ms" << std::endl;
    EXPECT_NEAR(soundEnd, double(stop1), 30.0);

    // The second starts with its own tone, loud from the first frame after
    // the encoder's start-up delay: nothing of the first recording's.
    double energy = 0;
    for (size_t i = 1024; i < 2048; ++i)
        energy += double(sound2[i]) * sound2[i];
    EXPECT_GT(std::sqrt(energy / 1024), 0.05);
    EXPECT_LT(tonePower(sound2.data(), 3072, 440), 0.01 * tonePower(sound2.data(), 3072, 1000));

    // Unplugged during the third, back before the fourth.
    clock.start();
    ASSERT_EQ(m_audio->start(&clock), 0);
    ASSERT_TRUE(m_recorder.wait(from + 10, 10000));
    ASSERT_TRUE(s_daemon->unloadModule(micModule));
    EXPECT_TRUE(m_callback.waitState(5000));
    EXPECT_EQ(m_audio->stop(), 0);
    from = m_recorder.items().size();
    micModule = s_daemon->replugMicrophone(mic);
    ASSERT_GE(micModule, 0);
    const auto [fourth, sound4] = take(50, &stop3);
    ASSERT_GE(fourth.size(), 50u);
    EXPECT_NEAR(KxAacProbe::measureFrequency(sound4.data() + 4096, int64_t(sound4.size()) - 8192, 44100), 1000, 2.0);
    m_audio->destory();
    s_daemon->unloadModule(micModule);
}
