// libVoxtap through its exports, against a private PulseAudio daemon.

#include "KxPulseFixture.h"
#include "KxVoxtapReceiver.h"
#include "Voxtap.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <regex>
#include <set>

namespace {

constexpr VoxtapAudioParams kAac64k{86018, 64000, 2, 44100};
const char *const kDevicePattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

class VoxtapExports : public KxPulseSuite {
protected:
    void TearDown() override
    {
        Voxtap_Stop();
        Voxtap_UnInit();
    }
};

const VoxtapDeviceInfo *findDevice(const std::list<VoxtapDeviceInfo> &list, const std::string &id)
{
    for (const auto &d : list) {
        if (d.endpointId == id)
            return &d;
    }
    return nullptr;
}

} // namespace

// Only the library's functions leave it: no engine, FFmpeg or PulseAudio
// helper symbol can clash with the host's.
TEST(VoxtapLibrary, ExportsExactlyItsFunctions)
{
    const QString nm = QStandardPaths::findExecutable(QStringLiteral("nm"));
    if (nm.isEmpty())
        GTEST_SKIP() << "nm not installed";
    QString dir = qEnvironmentVariable("KX_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath();
    const QString lib = dir + QStringLiteral("/libVoxtap.so");
    QProcess p;
    p.start(nm, {QStringLiteral("-D"), QStringLiteral("--defined-only"), lib});
    ASSERT_TRUE(p.waitForFinished(10000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    std::set<std::string> names;
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() >= 3)
            names.insert(parts.last().toStdString());
    }
    const std::set<std::string> expected{"Voxtap_InitWithId", "Voxtap_Init", "Voxtap_Start", "Voxtap_Pause",
                                         "Voxtap_Stop", "Voxtap_SetDataCbk", "Voxtap_ListDevices",
                                         "Voxtap_UnInit", "Voxtap_GetCaptureTiming"};
    EXPECT_EQ(names, expected);
}

// Without an engine the exports answer 1 (uninit 0, any number of times)
// and do nothing else.
TEST(VoxtapLibrary, ExportsBeforeInit)
{
    KxVoxtapReceiver receiver;
    Voxtap_SetDataCbk(&receiver);
    EXPECT_EQ(Voxtap_Start(), 1);
    EXPECT_EQ(Voxtap_Pause(1), 1);
    EXPECT_EQ(Voxtap_Pause(0), 1);
    EXPECT_EQ(Voxtap_Stop(), 1);
    EXPECT_EQ(Voxtap_UnInit(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
    EXPECT_EQ(Voxtap_ListDevices(nullptr, 1), 1);
    EXPECT_EQ(receiver.unitCount(), 0u);
}

// No sound server: every call that needs one fails with 0x1000001 at once
// (no spawned server, no hang) and the library stays usable.
TEST(VoxtapLibrary, NoServer)
{
    const QByteArray saved = qgetenv("PULSE_SERVER");
    const bool had = qEnvironmentVariableIsSet("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/kx-no-pulse/native");
    std::list<VoxtapDeviceInfo> list(1);
    EXPECT_EQ(Voxtap_ListDevices(&list, 1), VOXTAP_E_ENUMERATOR);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(Voxtap_InitWithId(KxPulseDaemon::kMicSource, &kAac64k), VOXTAP_E_ENUMERATOR);
    EXPECT_EQ(Voxtap_Init(1, nullptr), VOXTAP_E_ENUMERATOR);
    EXPECT_EQ(Voxtap_Init(0, nullptr), VOXTAP_E_ENUMERATOR);
    EXPECT_EQ(Voxtap_Start(), 1);
    EXPECT_EQ(Voxtap_Stop(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
    if (had)
        qputenv("PULSE_SERVER", saved);
    else
        qunsetenv("PULSE_SERVER");
}

struct ListCase {
    int flow;
    bool hasRender;
    bool hasCapture;
};

class VoxtapListDevices : public VoxtapExports, public ::testing::WithParamInterface<ListCase> {};

TEST_P(VoxtapListDevices, ListsTheEndpointsOfTheFlow)
{
    const ListCase c = GetParam();
    std::list<VoxtapDeviceInfo> list;
    list.push_back(VoxtapDeviceInfo{"stale", "", "", "", "", 1, 1, {"stale unit"}});
    ASSERT_EQ(Voxtap_ListDevices(&list, c.flow), 0);
    EXPECT_EQ(findDevice(list, "stale"), nullptr);

    const VoxtapDeviceInfo *mic = findDevice(list, KxPulseDaemon::kMicSource);
    const VoxtapDeviceInfo *plain = findDevice(list, KxPulseDaemon::kPlainSource);
    const VoxtapDeviceInfo *sink = findDevice(list, KxPulseDaemon::kNullSink);
    ASSERT_EQ(mic != nullptr, c.hasCapture);
    ASSERT_EQ(plain != nullptr, c.hasCapture);
    ASSERT_EQ(sink != nullptr, c.hasRender);
    if (mic) {
        EXPECT_EQ(mic->friendlyName, "Microphone (VANTRI Multimedia Unit HD)");
        EXPECT_EQ(mic->description, "VANTRI Multimedia Unit HD Analog Stereo");
        EXPECT_EQ(mic->dataFlow, VOXTAP_FLOW_CAPTURE);
        EXPECT_EQ(mic->state, static_cast<unsigned>(VOXTAP_STATE_ACTIVE));
        EXPECT_FALSE(mic->deviceInstanceId.empty());
        EXPECT_EQ(plain->friendlyName, "Microphone (Generic USB Microphone)");
    }
    if (sink) {
        EXPECT_EQ(sink->friendlyName, "Speakers (KX Test Speakers)");
        EXPECT_EQ(sink->description, "Null Output");
        EXPECT_EQ(sink->dataFlow, VOXTAP_FLOW_RENDER);
    }
    const std::regex pattern(kDevicePattern);
    int matches = 0;
    bool renderSeen = false;
    bool captureAfterRender = true;
    for (const auto &d : list) {
        // A sink's monitor is its loopback side, never a microphone.
        EXPECT_EQ(d.endpointId.find(".monitor"), std::string::npos) << d.endpointId;
        EXPECT_TRUE(d.dataFlow == VOXTAP_FLOW_RENDER ? c.hasRender : c.hasCapture) << d.endpointId;
        if (d.dataFlow == VOXTAP_FLOW_RENDER)
            renderSeen = true;
        else if (!renderSeen && c.hasRender)
            captureAfterRender = false;
        if (std::regex_search(d.friendlyName, pattern))
            ++matches;
    }
    EXPECT_EQ(matches, c.hasCapture ? 1 : 0);
    EXPECT_TRUE(captureAfterRender);
}

INSTANTIATE_TEST_SUITE_P(Flows, VoxtapListDevices,
                         ::testing::Values(ListCase{0, true, false}, ListCase{1, false, true},
                                           ListCase{7, true, true}));

struct InitFailure {
    const char *name;
    const char *id;
    bool nullParams;
    VoxtapAudioParams params;
    int expected;
};

class VoxtapInitFailures : public VoxtapExports, public ::testing::WithParamInterface<InitFailure> {};

// A failed init leaves the engine uninitialised: start answers 1.
TEST_P(VoxtapInitFailures, FailsWithTheCodeAndStaysUninitialised)
{
    const InitFailure c = GetParam();
    EXPECT_EQ(Voxtap_InitWithId(c.id, c.nullParams ? nullptr : &c.params), c.expected);
    EXPECT_EQ(Voxtap_Start(), 1);
    EXPECT_EQ(Voxtap_Stop(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoxtapInitFailures,
    ::testing::Values(InitFailure{"nullId", nullptr, true, {}, 1},
                      InitFailure{"unknownId", "kx_no_such_source", true, {}, VOXTAP_E_ENDPOINT},
                      InitFailure{"monitorId", "kx_null_sink.monitor", true, {}, VOXTAP_E_ENDPOINT},
                      InitFailure{"pcmEncoder", KxPulseDaemon::kMicSource, false, {65536, 64000, 2, 44100},
                                  VOXTAP_E_FORMAT},
                      InitFailure{"noEncoder", KxPulseDaemon::kMicSource, false, {0x7ffffff0, 64000, 2, 44100},
                                  VOXTAP_E_NOENCODER}),
    [](const ::testing::TestParamInfo<InitFailure> &info) { return std::string(info.param.name); });

// Start, start again, pause, resume, stop, restart: the data is the first
// endpoint's tone, nothing arrives while paused or after stop returns.
TEST_F(VoxtapExports, CaptureLifecycle)
{
    KxVoxtapReceiver receiver;
    ASSERT_EQ(Voxtap_InitWithId(KxPulseDaemon::kMicSource, &kAac64k), 0);
    // A second init keeps the first endpoint.
    ASSERT_EQ(Voxtap_InitWithId(KxPulseDaemon::kPlainSource, &kAac64k), 0);
    Voxtap_SetDataCbk(&receiver);
    QElapsedTimer session;
    session.start();
    ASSERT_EQ(Voxtap_Start(), 0);
    EXPECT_EQ(Voxtap_Start(), 3);
    ASSERT_TRUE(receiver.waitUnits(60, 10000)) << receiver.unitCount();
    const size_t beforePause = receiver.unitCount();

    ASSERT_EQ(Voxtap_Pause(1), 0);
    QThread::msleep(50); // a block in flight may still land
    const size_t paused = receiver.unitCount();
    QThread::msleep(2500);
    EXPECT_EQ(receiver.unitCount(), paused) << "delivered while paused";
    ASSERT_EQ(Voxtap_Pause(0), 0);
    ASSERT_TRUE(receiver.waitUnits(paused + 20, 10000));

    ASSERT_EQ(Voxtap_Stop(), 0);
    const double sessionMs = double(session.elapsed());
    receiver.close();
    QThread::msleep(200);
    EXPECT_EQ(receiver.deliveriesAfterClose(), 0);
    // The server keeps one second for a paused capture: of the 2.5 s pause
    // about 1.5 s of sound are lost, not delivered late.
    const double soundMs = receiver.unitCount() * 1024 * 1000.0 / 44100;
    EXPECT_LT(soundMs, sessionMs - 1000.0) << "sound " << soundMs << " ms in " << sessionMs << " ms";

    const KxVoxtapReceiver::Measure m = receiver.measure(0, beforePause);
    EXPECT_EQ(m.errors, 0);
    EXPECT_NEAR(m.frequency, KxPulseDaemon::kMicFrequency, 2.0);
    EXPECT_GT(m.rms, 0.05);

    // Stop and start again on the same init.
    receiver.reopen();
    const size_t beforeRestart = receiver.unitCount();
    ASSERT_EQ(Voxtap_Start(), 0);
    ASSERT_TRUE(receiver.waitUnits(beforeRestart + 30, 10000));
    ASSERT_EQ(Voxtap_Stop(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
    EXPECT_TRUE(receiver.states().empty());
}

// Keeps the timing of every unit, and holds the capture thread up once
// for a while when asked.
class TimingReceiver : public KxVoxtapReceiver {
public:
    struct Unit {
        VoxtapCaptureTiming timing;
        int64_t arrivalUs;
    };
    void onAudioData(const unsigned char *data, int length) override
    {
        Unit u;
        EXPECT_EQ(Voxtap_GetCaptureTiming(&u.timing), 0);
        u.arrivalUs = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
        {
            std::lock_guard<std::mutex> lock(m_timingMutex);
            m_timing.push_back(u);
        }
        KxVoxtapReceiver::onAudioData(data, length);
        const int holdMs = m_holdMs.exchange(0);
        if (holdMs > 0)
            QThread::msleep(static_cast<unsigned long>(holdMs));
    }
    void holdOnce(int ms) { m_holdMs = ms; }
    std::vector<Unit> timing()
    {
        std::lock_guard<std::mutex> lock(m_timingMutex);
        return m_timing;
    }

private:
    std::atomic<int> m_holdMs{0};
    std::mutex m_timingMutex;
    std::vector<Unit> m_timing;
};

// Every unit comes with the moment its sound was captured: a frame apart
// from the one before, before its arrival by at least the priming and the
// server's latency. Held up for 300 ms, the capture counts one late read
// and its moments stay on the sound; held up past the server's one-second
// buffer, it counts an overrun and the moments jump over the lost sound.
TEST_F(VoxtapExports, CaptureTimingThroughHoldUps)
{
    TimingReceiver receiver;
    ASSERT_EQ(Voxtap_InitWithId(KxPulseDaemon::kMicSource, &kAac64k), 0);
    Voxtap_SetDataCbk(&receiver);
    ASSERT_EQ(Voxtap_Start(), 0);
    ASSERT_TRUE(receiver.waitUnits(40, 10000));
    const size_t beforeStall = receiver.unitCount();
    receiver.holdOnce(300);
    ASSERT_TRUE(receiver.waitUnits(beforeStall + 60, 10000));
    const size_t beforeOverrun = receiver.unitCount();
    receiver.holdOnce(1600);
    ASSERT_TRUE(receiver.waitUnits(beforeOverrun + 60, 10000));
    ASSERT_EQ(Voxtap_Stop(), 0);

    const auto units = receiver.timing();
    const double frameUs = 1024 * 1e6 / 44100;
    double maxJumpBeforeOverrun = 0, maxJumpAfter = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        const VoxtapCaptureTiming &t = units[i].timing;
        ASSERT_GT(t.unitCaptureUs, 0) << i;
        ASSERT_GE(t.latencyUs, 0) << i;
        // The stop drains the encoder: its last units leave at once.
        if (i + 4 < units.size()) {
            ASSERT_GE(units[i].arrivalUs - t.unitCaptureUs, int64_t(frameUs)) << i;
        }
        if (i == 0)
            continue;
        const double jump = std::fabs(double(t.unitCaptureUs - units[i - 1].timing.unitCaptureUs) - frameUs);
        double &worst = i < beforeOverrun ? maxJumpBeforeOverrun : maxJumpAfter;
        worst = std::max(worst, jump);
    }
    std::cout << "moments off a frame apart: " << maxJumpBeforeOverrun / 1000 << " ms before the overrun, "
              << maxJumpAfter / 1000 << " ms at it" << std::endl;
    EXPECT_LT(maxJumpBeforeOverrun, 10000.0) << "a hold-up without loss keeps the moments on the sound";
    EXPECT_GT(maxJumpAfter, 300000.0) << "lost sound shows as a jump";
    const VoxtapCaptureTiming &before = units[beforeOverrun - 1].timing;
    EXPECT_EQ(before.overflows, 0);
    EXPECT_GE(before.stalls, 1);
    EXPECT_GE(units.back().timing.overflows, 1);
    EXPECT_GE(units.back().timing.stalls, 2);
}

struct EndpointCase {
    const char *name;
    const char *id;     ///< null: default endpoint
    int useCapture;
    int frequency;
};

class VoxtapEndpoints : public VoxtapExports, public ::testing::WithParamInterface<EndpointCase> {};

// Capture by id and by default; loopback of the null sink while a tone
// plays into it (the sink has no hardware mute, so it stays unmuted and
// the recording is not silent).
TEST_P(VoxtapEndpoints, RecordsTheEndpointsSound)
{
    const EndpointCase c = GetParam();
    int toneModule = -1;
    if (c.frequency == 1500) {
        toneModule = s_daemon->addTone(KxPulseDaemon::kNullSink, 1500);
        ASSERT_GE(toneModule, 0);
    }
    KxVoxtapReceiver receiver;
    const int init = c.id ? Voxtap_InitWithId(c.id, &kAac64k) : Voxtap_Init(c.useCapture, &kAac64k);
    ASSERT_EQ(init, 0);
    Voxtap_SetDataCbk(&receiver);
    ASSERT_EQ(Voxtap_Start(), 0);
    EXPECT_TRUE(receiver.waitUnits(80, 10000)) << receiver.unitCount();
    ASSERT_EQ(Voxtap_Stop(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
    if (toneModule >= 0) {
        QString mute;
        EXPECT_TRUE(s_daemon->pactl({QStringLiteral("get-sink-mute"), KxPulseDaemon::kNullSink}, &mute));
        EXPECT_TRUE(mute.endsWith(QStringLiteral("no"))) << mute.toStdString();
        s_daemon->removeTone(toneModule);
    }
    const KxVoxtapReceiver::Measure m = receiver.measure();
    EXPECT_EQ(m.errors, 0);
    EXPECT_NEAR(m.frequency, c.frequency, 3.0);
    EXPECT_GT(m.rms, 0.02);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VoxtapEndpoints,
    ::testing::Values(EndpointCase{"micById", KxPulseDaemon::kMicSource, 0, KxPulseDaemon::kMicFrequency},
                      EndpointCase{"plainById", KxPulseDaemon::kPlainSource, 0, KxPulseDaemon::kPlainFrequency},
                      EndpointCase{"defaultCapture", nullptr, 1, KxPulseDaemon::kMicFrequency},
                      EndpointCase{"defaultRenderLoopback", nullptr, 0, 1500},
                      EndpointCase{"sinkByIdLoopback", KxPulseDaemon::kNullSink, 0, 1500}),
    [](const ::testing::TestParamInfo<EndpointCase> &info) { return std::string(info.param.name); });

// Unplugging the microphone in use: the receiver hears of it, capture
// ends by itself, and stop, start and uninit stay well-behaved.
TEST_F(VoxtapExports, UnplugMidRecording)
{
    const int module = s_daemon->addMicrophone(QStringLiteral("kx_unplug_mic"), QStringLiteral("Unplug Unit"), 440);
    ASSERT_GE(module, 0);
    KxVoxtapReceiver receiver;
    ASSERT_EQ(Voxtap_InitWithId("kx_unplug_mic", &kAac64k), 0);
    Voxtap_SetDataCbk(&receiver);
    ASSERT_EQ(Voxtap_Start(), 0);
    ASSERT_TRUE(receiver.waitUnits(20, 10000));
    ASSERT_TRUE(s_daemon->unloadModule(module));
    ASSERT_TRUE(receiver.waitState(5000));
    const auto states = receiver.states();
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].first, "kx_unplug_mic");
    EXPECT_EQ(states[0].second, VOXTAP_STATE_NOTPRESENT);
    // The capture thread ends on its own: deliveries stop.
    size_t last = receiver.unitCount();
    for (int i = 0; i < 50; ++i) {
        QThread::msleep(100);
        const size_t now = receiver.unitCount();
        if (now == last)
            break;
        last = now;
    }
    EXPECT_EQ(receiver.unitCount(), last);
    EXPECT_EQ(Voxtap_Stop(), 0);
    EXPECT_EQ(Voxtap_Start(), VOXTAP_E_CLIENTSTART);
    EXPECT_EQ(Voxtap_Stop(), 0);
    EXPECT_EQ(Voxtap_UnInit(), 0);
}
