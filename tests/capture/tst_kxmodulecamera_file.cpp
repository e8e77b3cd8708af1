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

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>

namespace {

TEST(CameraToFile, RecordsADecodableMp4WithClockStamps)
{
    setenv("KX_VIRTUAL_CAMERA", "default", 1);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string mp4 = dir.filePath("lesson.mp4").toStdString();

    std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
    ASSERT_EQ(files->init(), 0);
    kxtest::CountingForwarder forwarder(files.get());
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
    const int64_t n0 = camera->camData()->firstStampMs();
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
    EXPECT_GE(n0, 300) << "the camera came 300 ms after the clock";

    const std::vector<kxtest::CopiedPacket> shots = photos.photos();
    ASSERT_EQ(shots.size(), 3u);
    for (const kxtest::CopiedPacket &shot : shots)
        EXPECT_TRUE(kxtest::decodesAsJpeg(shot.bytes, 1280, 720));
}

} // namespace

