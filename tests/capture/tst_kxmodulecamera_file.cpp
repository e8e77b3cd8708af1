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

#include <camera/KxCameraDevice.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QFile>

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

// The video track's sizes as the finished MP4 file states them: the track
// header (16.16 fixed point) and the avc1 sample entry.
struct Mp4VideoSize {
    int tkhdWidth = 0, tkhdHeight = 0, avc1Width = 0, avc1Height = 0;
};

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void walkBoxes(const uint8_t *p, size_t size, Mp4VideoSize *track, Mp4VideoSize *video)
{
    for (size_t pos = 0; pos + 8 <= size;) {
        size_t len = be32(p + pos);
        const std::string type(reinterpret_cast<const char *>(p + pos + 4), 4);
        if (len < 8 || pos + len > size)
            return;
        const uint8_t *body = p + pos + 8;
        const size_t bodyLen = len - 8;
        if (type == "trak") {
            Mp4VideoSize t;
            walkBoxes(body, bodyLen, &t, video);
            if (t.avc1Width > 0)
                *video = t;
        } else if (type == "moov" || type == "mdia" || type == "minf" || type == "stbl") {
            walkBoxes(body, bodyLen, track, video);
        } else if (type == "stsd" && bodyLen > 8) {
            walkBoxes(body + 8, bodyLen - 8, track, video);
        } else if (type == "tkhd" && bodyLen >= 8) {
            track->tkhdWidth = int(be32(body + bodyLen - 8) >> 16);
            track->tkhdHeight = int(be32(body + bodyLen - 4) >> 16);
        } else if (type == "avc1" && bodyLen >= 28) {
            track->avc1Width = body[24] << 8 | body[25];
            track->avc1Height = body[26] << 8 | body[27];
        }
        pos += len;
    }
}

Mp4VideoSize mp4VideoSize(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    Mp4VideoSize size;
    if (!f.open(QIODevice::ReadOnly))
        return size;
    const QByteArray bytes = f.readAll();
    Mp4VideoSize ignored;
    walkBoxes(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), &ignored, &size);
    return size;
}

// Whether a JPEG file carries a DHT segment before its scan.
bool hasHuffmanTables(const std::vector<uint8_t> &jpeg)
{
    for (size_t pos = 2; pos + 4 <= jpeg.size() && jpeg[pos] == 0xff;) {
        if (jpeg[pos + 1] == 0xc4)
            return true;
        if (jpeg[pos + 1] == 0xda)
            return false;
        pos += 2 + (size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3]);
    }
    return false;
}

// A camera offering one size only: the file says the size that was encoded,
// in the MP4 track header and sample entry and in the TS stream; an MJPEG
// camera that leaves out its Huffman tables gives snapshots with them.
TEST(CameraToFile, FileStatesTheEncodedSize)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // MJPEG pictures without their tables, as many cameras send them.
    std::vector<uint8_t> picture(size_t(640) * 480 * 3 / 2), jpeg, stripped;
    kxcam::renderTestPattern(640, 480, 3, picture.data());
    ASSERT_TRUE(kxcam::encodeJpegI420(picture.data(), 640, 480, 85, &jpeg));
    for (size_t pos = 2; pos + 4 <= jpeg.size();) {
        const size_t len = 2 + (size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3]);
        if (jpeg[pos + 1] == 0xda) {
            stripped.insert(stripped.end(), jpeg.begin() + long(pos), jpeg.end());
            break;
        }
        if (pos == 2)
            stripped.assign(jpeg.begin(), jpeg.begin() + 2);
        if (jpeg[pos + 1] != 0xc4)
            stripped.insert(stripped.end(), jpeg.begin() + long(pos), jpeg.begin() + long(pos + len));
        pos += len;
    }
    ASSERT_FALSE(hasHuffmanTables(stripped));
    QFile clip(dir.filePath("notables.mjpeg"));
    ASSERT_TRUE(clip.open(QIODevice::WriteOnly));
    clip.write(reinterpret_cast<const char *>(stripped.data()), qint64(stripped.size()));
    clip.close();

    struct Case {
        const char *capability;
        const char *extra;
        int width, height;         // encoded
        int shotWidth, shotHeight; // the snapshot: an MJPEG sample as the camera took it
    } cases[] = {
        {R"("format": "MJPG", "width": 640, "height": 480, "fps": 30)", R"(, "mjpegFile": "notables.mjpeg")", 640, 480,
         640, 480},
        {R"("format": "YUY2", "width": 1280, "height": 960, "fps": 15)", "", 1280, 960, 1280, 960},
        {R"("format": "MJPG", "width": 1920, "height": 1080, "fps": 30)", "", 1280, 720, 1920, 1080},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string name = "cam" + std::to_string(++n);
        const std::string json = std::string(R"({"devices": [{"name": "VANTRI Multimedia Unit HD: VANT", )") +
                                 R"("capabilities": [{)" + c.capability + "}]" + c.extra + "}]}";
        setenv("KX_VIRTUAL_CAMERA", kxtest::writeCameraConfig(dir, name + ".json", json).c_str(), 1);
        const std::string mp4 = dir.filePath(QString::fromStdString(name + ".mp4")).toStdString();
        std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
        ASSERT_EQ(files->init(), 0);
        KxLocalFileConfig config;
        config.mp4Path = mp4;
        config.playlistPath = dir.filePath(QString::fromStdString(name + ".m3u8")).toStdString();
        config.segmentLength = 5;
        config.videoCodecId = AV_CODEC_ID_H264;
        config.videoBitRate = 2000000;
        config.frameRate = 15;
        config.timeBaseNum = 1;
        config.width = 1280;
        config.height = 720;
        config.gopSize = 12;
        ASSERT_EQ(files->start(config), 0);
        kxtest::CountingForwarder forwarder(files.get());
        auto *pool = new KxModulePoolMgr;
        ASSERT_EQ(pool->init(), 0);
        kxtest::PacketCollector photos;
        pool->setLocalFileModule(&forwarder);
        pool->setPhotoModule(&photos.photoSink);
        ASSERT_EQ(pool->start(), 0);
        auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
        ASSERT_EQ(camera->init(), 0);
        ASSERT_EQ(camera->setPoolModule(pool), 0);
        camera->setCameraName(L"\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$");
        ASSERT_TRUE(camera->isCameraExist(nullptr)) << "the driver's cut name is found";
        KxMediaTime clock;
        clock.start();
        ASSERT_EQ(camera->start(&clock), 0) << name;
        ASSERT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= 3; }, 20000)) << name;
        EXPECT_EQ(camera->clipImage(), 0);
        ASSERT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= 20; }, 30000)) << name;
        ASSERT_EQ(camera->stop(), 0);
        const int encoded = camera->camData()->convertedCount() - camera->framesLeftAtStop();
        EXPECT_TRUE(kxtest::waitFor([&] { return forwarder.written.load() + forwarder.refused.load() >= encoded; },
                                    10000));
        EXPECT_EQ(files->stop(), 0);
        EXPECT_TRUE(kxtest::waitFor([&] { return photos.photoCount() >= 1; }, 5000)) << name;
        camera->destory();
        pool->stop();
        pool->destory();
        files->destory();

        const Mp4VideoSize size = mp4VideoSize(mp4);
        EXPECT_EQ(size.tkhdWidth, c.width) << name;
        EXPECT_EQ(size.tkhdHeight, c.height) << name;
        EXPECT_EQ(size.avc1Width, c.width) << name;
        EXPECT_EQ(size.avc1Height, c.height) << name;
        const QStringList segments = QDir(dir.path()).entryList({QString::fromStdString(name) + "*.ts"});
        ASSERT_FALSE(segments.isEmpty()) << name;
        const kxtest::ProbeResult ts = kxtest::probeFile(dir.filePath(segments.first()).toStdString(), true, false);
        bool tsVideo = false;
        for (const kxtest::ProbedStream &s : ts.streams) {
            if (s.mediaType == AVMEDIA_TYPE_VIDEO) {
                tsVideo = true;
                EXPECT_EQ(s.width, c.width) << name;
                EXPECT_EQ(s.height, c.height) << name;
            }
        }
        EXPECT_TRUE(tsVideo) << name;
        const std::vector<kxtest::CopiedPacket> shots = photos.photos();
        ASSERT_FALSE(shots.empty()) << name;
        EXPECT_TRUE(hasHuffmanTables(shots.front().bytes)) << name;
        EXPECT_TRUE(kxtest::decodesAsJpeg(shots.front().bytes, c.shotWidth, c.shotHeight)) << name;
    }
    unsetenv("KX_VIRTUAL_CAMERA");
}

} // namespace
