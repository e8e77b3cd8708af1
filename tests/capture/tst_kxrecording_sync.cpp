// Real-time recordings through the camera and audio modules, the packet
// pool and the local file module into MP4 files, read back with
// kx-avsync's measurement:
//  - the virtual camera's flash picture at 15 and 30 frames per second
//    with kx-click's clicks on the microphone: sound, as a player plays
//    it, and picture within bounds of each other;
//  - a camera delivering 10 of its advertised 15 frames per second: the
//    video lasts as long as the recording and ends with the sound.

#include "KxPulseFixture.h"
#include "tst_kxcam_support.h"

#include <IKxModuleAudio.h>
#include <IKxModuleLocalFile.h>
#include <KxAvSync.h>
#include <KxMediaTime.h>
#include <KxModuleCamera.h>
#include <KxModulePoolMgr.h>

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

namespace {

const char *const kClickSink = "kx_click";
const char *const kClickMicPattern = "KX Click Unit";
const char *const kToneMicPattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

struct Take {
    const wchar_t *camera;
    const char *microphone;
    int width, height, fps;
    int seconds;
};

class RecordingSync : public KxPulseSuite {
protected:
    // Records one take into dir/name and measures it.
    kxavsync::Result record(const Take &take, const std::string &name)
    {
        const std::string mp4 = m_dir.filePath(QString::fromStdString(name)).toStdString();
        std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
        kxtest::CountingForwarder counting(files.get());
        EXPECT_EQ(files->init(), 0);
        KxLocalFileConfig config;
        config.mp4Path = mp4;
        config.playlistPath = mp4 + ".m3u8";
        config.segmentLength = 5;
        config.frameRate = take.fps;
        config.width = take.width;
        config.height = take.height;
        EXPECT_EQ(files->start(config), 0);
        auto *pool = new KxModulePoolMgr;
        EXPECT_EQ(pool->init(), 0);
        pool->setLocalFileModule(&counting);
        EXPECT_EQ(pool->start(), 0);

        std::unique_ptr<IKxModuleAudio> audio(IKxModuleAudio::createInstance());
        EXPECT_EQ(audio->init(take.microphone), 0);
        EXPECT_EQ(audio->setPoolModule(pool), 0);
        auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
        EXPECT_EQ(camera->init(), 0);
        camera->setCameraName(take.camera);
        EXPECT_EQ(camera->setPoolModule(pool), 0);
        kxtest::CameraEvents events;
        camera->registerCallback(&events);

        KxMediaTime clock;
        clock.start();
        EXPECT_EQ(audio->start(&clock), 0);
        EXPECT_EQ(camera->start(&clock), 0);
        std::this_thread::sleep_for(std::chrono::seconds(take.seconds));
        EXPECT_EQ(audio->stop(), 0);
        EXPECT_EQ(camera->stop(), 0);
        // Everything pushed is written once the count stops moving.
        int seen = -1;
        kxtest::waitFor([&] {
            const int now = counting.written.load() + counting.refused.load();
            const bool still = now == seen;
            seen = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return still;
        }, 10000);
        pool->stop();
        EXPECT_EQ(files->stop(), 0);
        EXPECT_EQ(events.errorCount(), 0);
        camera->destory();
        audio->destory();
        pool->destory();
        files->destory();
        const kxavsync::Result result = kxavsync::measure(mp4);
        EXPECT_TRUE(result.ok) << result.error;
        std::cout << name << ": " << kxavsync::toJson(result) << "\n  video " << result.videoSeconds << " s (ends "
                  << result.videoEndSeconds << "), audio " << result.audioSeconds << " s (ends "
                  << result.audioEndSeconds << ")" << std::endl;
        return result;
    }

    QTemporaryDir m_dir;
};

TEST_F(RecordingSync, FlashAndClickAlignAndASlowCameraKeepsTime)
{
    ASSERT_TRUE(m_dir.isValid());
    // The flash cameras capture on whole seconds, so the offsets are the
    // recorder's own, at the unit's 15 frames per second and at 30.
    const std::string cameras = kxtest::writeCameraConfig(m_dir, "cameras.json", R"({"devices": [
        {"name": "Flash Camera", "picture": "flash",
         "capabilities": [{"format": "MJPG", "width": 640, "height": 360, "fps": 15}]},
        {"name": "Fast Flash Camera", "picture": "flash",
         "capabilities": [{"format": "MJPG", "width": 640, "height": 360, "fps": 30}]},
        {"name": "Slow Camera", "deliverFps": 10,
         "capabilities": [{"format": "MJPG", "width": 640, "height": 360, "fps": 15}]}]})");
    setenv("KX_VIRTUAL_CAMERA", cameras.c_str(), 1);

    // The clicks go into a sink whose monitor is a microphone of its own.
    ASSERT_GE(s_daemon->loadModule("module-null-sink",
                                   QStringLiteral("sink_name=%1 rate=48000 channels=2 sink_properties=%2")
                                       .arg(kClickSink, KxPulseDaemon::properties({{"device.description", "Clicks"}}))), 0);
    ASSERT_GE(s_daemon->loadModule("module-loopback",
                                   QStringLiteral("source=%1.monitor sink=kx_drain latency_msec=10").arg(kClickSink)), 0);
    ASSERT_GE(s_daemon->loadModule("module-remap-source",
                                   QStringLiteral("source_name=kx_click_mic master=%1.monitor source_properties=%2")
                                       .arg(kClickSink, KxPulseDaemon::properties({{"device.description", "Click Audio"},
                                                                                   {"device.product.name", kClickMicPattern}}))), 0);
    // The sink rendered its first block at its default latency of two
    // seconds; a restart begins at the latency now asked for.
    ASSERT_TRUE(s_daemon->pactl({"suspend-sink", kClickSink, "1"}));
    ASSERT_TRUE(s_daemon->pactl({"suspend-sink", kClickSink, "0"}));
    QProcess click;
    click.start(qEnvironmentVariable("KX_BIN_DIR") + "/kx-click",
                {"--sink", kClickSink, "--server", s_daemon->serverAddress()});
    ASSERT_TRUE(click.waitForStarted(5000));

    // The sound as a player plays it: one run of samples from its first
    // stamp. Each frame at its own stamp says the same when the stamps
    // follow the samples.
    for (const Take &take : {Take{L"Flash Camera", kClickMicPattern, 640, 360, 15, 30},
                             Take{L"Fast Flash Camera", kClickMicPattern, 640, 360, 30, 30}}) {
        SCOPED_TRACE(take.fps);
        const kxavsync::Result sync = record(take, "sync" + std::to_string(take.fps) + ".mp4");
        // A loaded machine drops frames, flashes among them; most seconds stay.
        EXPECT_GE(sync.played.offsetsMs.size(), 20u);
        EXPECT_NEAR(sync.played.medianMs, 0.0, 10.0);
        for (double offset : sync.played.offsetsMs)
            EXPECT_NEAR(offset, 0.0, 20.0);
        EXPECT_NEAR(sync.stamped.medianMs, sync.played.medianMs, 1.0);
    }
    click.terminate();
    EXPECT_TRUE(click.waitForFinished(5000));

    const kxavsync::Result slow = record({L"Slow Camera", kToneMicPattern, 640, 360, 15, 20}, "slow.mp4");
    EXPECT_NEAR(slow.videoSeconds, 20.0, 0.2);
    EXPECT_NEAR(slow.videoEndSeconds, slow.audioEndSeconds, 0.2);
    unsetenv("KX_VIRTUAL_CAMERA");
}

} // namespace
