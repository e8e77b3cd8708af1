// A recording end to end: camera module over the virtual camera, the real
// packet pool and the real local file module writing an MP4 file, which is
// read back with libavformat and decoded.

#include "IKxModuleLocalFile.h"
#include "KxCamData.h"
#include "KxCamEncoder.h"
#include "KxMediaTime.h"
#include "KxModuleCamera.h"
#include "KxModulePoolMgr.h"
#include "KxTestMedia.h"
#include "tst_kxcam_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>

namespace {

// Passes packets on to the real file module and counts them, so the test
// knows when the pool has handed over everything.
class CountingForwarder : public IKxModuleLocalFile {
public:
    explicit CountingForwarder(IKxModuleLocalFile *files) : m_files(files) {}
    int init() override { return m_files->init(); }
    int setCloundModule(IKxModuleClound *cloud) override { return m_files->setCloundModule(cloud); }
    void registerCallback(KxToLocalFileCbk *cb) override { m_files->registerCallback(cb); }
    int start(const KxLocalFileConfig &config) override { return m_files->start(config); }
    uint8_t inputMediaPacket(IKxMediaPacket *packet) override
    {
        const uint8_t r = m_files->inputMediaPacket(packet);
        if (r == 0)
            ++written;
        else
            ++refused;
        return r;
    }
    int stop() override { return m_files->stop(); }
    int destory() override { return m_files->destory(); }

    std::atomic<int> written{0};
    std::atomic<int> refused{0};

private:
    IKxModuleLocalFile *m_files;
};

TEST(CameraToFile, RecordsADecodableMp4WithClockStamps)
{
    setenv("KX_VIRTUAL_CAMERA", "default", 1);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string mp4 = dir.filePath("lesson.mp4").toStdString();

    std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
    ASSERT_EQ(files->init(), 0);
    CountingForwarder forwarder(files.get());
    KxLocalFileConfig config;
    config.mp4Path = mp4;
    config.playlistPath = dir.filePath("lesson.m3u8").toStdString();
    config.segmentLength = 5;
    config.videoCodecId = AV_CODEC_ID_H264;
    config.videoBitRate = 2000000;
    config.frameRate = 15;
    config.timeBaseNum = 1;
    config.width = 1280;
    config.height = 720;
    config.gopSize = 12;
    ASSERT_EQ(files->start(config), 0);

    auto *pool = new KxModulePoolMgr;
    ASSERT_EQ(pool->init(), 0);
    kxtest::PacketCollector photos;
    pool->setLocalFileModule(&forwarder);
    pool->setPhotoModule(&photos.photoSink);
    ASSERT_EQ(pool->start(), 0);

    auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    ASSERT_EQ(camera->init(), 0);
    ASSERT_EQ(camera->setPoolModule(pool), 0);
    ASSERT_EQ(camera->config(1, 2000), 0);
    KxMediaTime clock;
    clock.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(camera->start(&clock), 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= 5; }, 20000));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(camera->clipImage(), 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= 45; }, 30000));
    // The camera stops before the file: the encoder's drained packets
    // still reach the file.
    ASSERT_EQ(camera->stop(), 0);
    const int encoded = camera->camData()->convertedCount() - camera->framesLeftAtStop();
    const int64_t n0 = camera->camData()->startOffsetPeriods();
    EXPECT_TRUE(kxtest::waitFor([&] { return forwarder.written.load() + forwarder.refused.load() >= encoded; },
                                10000));
    EXPECT_EQ(forwarder.refused.load(), 0);
    EXPECT_EQ(files->stop(), 0);
    EXPECT_TRUE(kxtest::waitFor([&] { return photos.photoCount() >= 3; }, 5000));
    EXPECT_EQ(camera->destory(), 0);
    pool->stop();
    pool->destory();
    files->destory();
    unsetenv("KX_VIRTUAL_CAMERA");

    const kxtest::ProbeResult probe = kxtest::probeFile(mp4, true, false);
    ASSERT_TRUE(probe.opened) << probe.error;
    EXPECT_EQ(probe.decodeErrors, 0);
    int videoStream = -1;
    for (size_t i = 0; i < probe.streams.size(); ++i) {
        if (probe.streams[i].mediaType == AVMEDIA_TYPE_VIDEO)
            videoStream = int(i);
    }
    ASSERT_GE(videoStream, 0);
    const kxtest::ProbedStream &video = probe.streams[size_t(videoStream)];
    EXPECT_EQ(video.codecId, AV_CODEC_ID_H264);
    EXPECT_EQ(video.width, 1280);
    EXPECT_EQ(video.height, 720);
    EXPECT_EQ(video.decodedFrames, encoded) << "every encoded frame is in the file";

    // Key frames at least every GOP, and the stamps on the clock's time
    // line (relative to the first, as the writer may shift the start).
    std::vector<double> pts;
    int sinceKey = -1;
    for (const kxtest::ProbedPacket &p : probe.packets) {
        if (p.stream != videoStream)
            continue;
        pts.push_back(p.pts);
        if (p.key)
            sinceKey = 0;
        else if (sinceKey >= 0)
            ++sinceKey;
        EXPECT_LT(sinceKey, KxCamEncoder::kDefaultGop);
    }
    ASSERT_EQ(int(pts.size()), encoded);
    std::sort(pts.begin(), pts.end());
    for (size_t i = 1; i < pts.size(); ++i)
        EXPECT_GT(pts[i], pts[i - 1]);
    EXPECT_GE(n0, 4) << "the camera came 300 ms after the clock";

    const std::vector<kxtest::CopiedPacket> shots = photos.photos();
    ASSERT_EQ(shots.size(), 3u);
    for (const kxtest::CopiedPacket &shot : shots)
        EXPECT_TRUE(kxtest::decodesAsJpeg(shot.bytes, 1280, 720));
}

} // namespace

namespace {

class FileClosed : public KxToLocalFileCbk {
public:
    void OnStart() override {}
    void OnStoped(const char *path, double) override { closedPath = path ? path : ""; }
    std::string closedPath;
};

struct CameraCase {
    const char *name;
    const char *device; // the virtual camera's description
    bool fails;         // one DEVICE_FAILURE expected
};

class CameraFaults : public ::testing::TestWithParam<CameraCase> {};

// A camera that never shows a picture is reported once, from the start of
// the recording, and the recording's file still closes; a working YUY2
// camera reports nothing and its snapshots are JPEG files.
TEST_P(CameraFaults, ReportedOnceAndTheFileCloses)
{
    const CameraCase c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string config = kxtest::writeCameraConfig(dir, "camera.json", std::string(R"({"devices": [)") + c.device + "]}");
    setenv("KX_VIRTUAL_CAMERA", config.c_str(), 1);
    const std::string mp4 = dir.filePath("lesson.mp4").toStdString();
    std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
    FileClosed closed;
    ASSERT_EQ(files->init(), 0);
    files->registerCallback(&closed);
    KxLocalFileConfig fileConfig;
    fileConfig.mp4Path = mp4;
    fileConfig.playlistPath = dir.filePath("lesson.m3u8").toStdString();
    fileConfig.width = 640;
    fileConfig.height = 480;
    ASSERT_EQ(files->start(fileConfig), 0);
    CountingForwarder forwarder(files.get());
    kxtest::PacketCollector photos;
    auto *pool = new KxModulePoolMgr;
    ASSERT_EQ(pool->init(), 0);
    pool->setLocalFileModule(&forwarder);
    pool->setPhotoModule(&photos.photoSink);
    ASSERT_EQ(pool->start(), 0);
    auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    ASSERT_EQ(camera->init(), 0);
    ASSERT_EQ(camera->setPoolModule(pool), 0);
    kxtest::CameraEvents events;
    camera->registerCallback(&events);
    KxMediaTime clock;
    clock.start();

    ASSERT_EQ(camera->start(&clock), 0);
    if (c.fails) {
        EXPECT_TRUE(kxtest::waitFor([&] { return events.errorCount() > 0; }, 5000));
        // Both the watch and the device event saw it; one report only.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    } else {
        ASSERT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= 5; }, 20000));
        EXPECT_EQ(camera->clipImage(), 0);
        EXPECT_EQ(camera->clipImage(), 0);
        EXPECT_TRUE(kxtest::waitFor([&] { return photos.photoCount() >= 2; }, 10000));
    }
    EXPECT_EQ(events.errorCount(), c.fails ? 1 : 0);
    if (events.errorCount() > 0) {
        EXPECT_EQ(events.errors[0].first, -405);
        EXPECT_EQ(events.errors[0].second, "Camera Device failure");
    }
    EXPECT_EQ(camera->stop(), 0);
    pool->stop();
    EXPECT_EQ(files->stop(), 0);
    // Without a picture the writer may never have opened the file; a file
    // that exists was finished and reads back.
    if (!c.fails || QFileInfo::exists(QString::fromStdString(mp4))) {
        EXPECT_EQ(closed.closedPath, mp4) << "the file module closed the recording's file";
        EXPECT_TRUE(kxtest::probeFile(mp4, false, false).opened);
    }
    EXPECT_EQ(events.errorCount(), c.fails ? 1 : 0) << "nothing more while stopping";
    for (const kxtest::CopiedPacket &shot : photos.photos())
        EXPECT_TRUE(kxtest::decodesAsJpeg(shot.bytes, 640, 480));
    camera->destory();
    pool->destory();
    files->destory();
    unsetenv("KX_VIRTUAL_CAMERA");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CameraFaults,
    ::testing::Values(
        CameraCase{"unpluggedBeforeFirstSample",
                   R"({"name": "VANTRI Multimedia Unit HD", "faults": {"stopAfterSeconds": 0.000001},
                      "capabilities": [{"format": "MJPG", "width": 640, "height": 480}]})", true},
        CameraCase{"everySampleCorrupt",
                   R"({"name": "VANTRI Multimedia Unit HD", "faults": {"corruptEvery": 1},
                      "capabilities": [{"format": "MJPG", "width": 640, "height": 480}]})", true},
        CameraCase{"yuy2Snapshots",
                   R"({"name": "VANTRI Multimedia Unit HD",
                      "capabilities": [{"format": "YUY2", "width": 640, "height": 480}]})", false}),
    [](const ::testing::TestParamInfo<CameraCase> &i) { return std::string(i.param.name); });

} // namespace
