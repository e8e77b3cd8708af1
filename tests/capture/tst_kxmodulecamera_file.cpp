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
#include <libyuv/convert.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <set>

namespace {

struct Lesson {
    int encoded = 0;  // frames converted and not left queued at the stop
    int64_t n0 = 0;   // the first frame's stamp
    int refused = 0;  // packets the file module refused
    std::vector<kxtest::CopiedPacket> photos;
};

// Records `frames` frames from the camera KX_VIRTUAL_CAMERA names into
// stem.mp4 and stem*.ts in dir (configured 1280x720 at 15 fps), taking
// `snapshots` snapshots once `snapshotAt` frames are in.
Lesson recordLesson(const QTemporaryDir &dir, const std::string &stem, int frames, int snapshots, int snapshotAt,
                    int cameraLateMs)
{
    Lesson lesson;
    std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
    EXPECT_EQ(files->init(), 0);
    kxtest::CountingForwarder forwarder(files.get());
    KxLocalFileConfig config;
    config.mp4Path = dir.filePath(QString::fromStdString(stem + ".mp4")).toStdString();
    config.playlistPath = dir.filePath(QString::fromStdString(stem + ".m3u8")).toStdString();
    config.segmentLength = 5;
    config.videoCodecId = AV_CODEC_ID_H264;
    config.videoBitRate = 2000000;
    config.frameRate = 15;
    config.timeBaseNum = 1;
    config.width = 1280;
    config.height = 720;
    config.gopSize = 12;
    EXPECT_EQ(files->start(config), 0);

    auto *pool = new KxModulePoolMgr;
    EXPECT_EQ(pool->init(), 0);
    kxtest::PacketCollector photos;
    pool->setLocalFileModule(&forwarder);
    pool->setPhotoModule(&photos.photoSink);
    EXPECT_EQ(pool->start(), 0);

    auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    EXPECT_EQ(camera->init(), 0);
    EXPECT_EQ(camera->setPoolModule(pool), 0);
    EXPECT_EQ(camera->config(1, 2000), 0);
    KxMediaTime clock;
    clock.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(cameraLateMs));
    EXPECT_EQ(camera->start(&clock), 0);
    EXPECT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= snapshotAt; }, 20000));
    for (int i = 0; i < snapshots; ++i)
        EXPECT_EQ(camera->clipImage(), 0);
    EXPECT_TRUE(kxtest::waitFor([&] { return camera->camData()->convertedCount() >= frames; }, 30000));
    // The camera stops before the file: the encoder's drained packets
    // still reach the file.
    EXPECT_EQ(camera->stop(), 0);
    lesson.encoded = camera->camData()->convertedCount() - camera->framesLeftAtStop();
    lesson.n0 = camera->camData()->firstStampMs();
    EXPECT_TRUE(kxtest::waitFor(
        [&] { return forwarder.written.load() + forwarder.refused.load() >= lesson.encoded; }, 10000));
    lesson.refused = forwarder.refused.load();
    EXPECT_EQ(files->stop(), 0);
    EXPECT_TRUE(kxtest::waitFor([&] { return photos.photoCount() >= snapshots; }, 5000));
    lesson.photos = photos.photos();
    EXPECT_EQ(camera->destory(), 0);
    pool->stop();
    pool->destory();
    files->destory();
    return lesson;
}

TEST(CameraToFile, RecordsADecodableMp4WithClockStamps)
{
    setenv("KX_VIRTUAL_CAMERA", "default", 1);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string mp4 = dir.filePath("lesson.mp4").toStdString();
    const Lesson lesson = recordLesson(dir, "lesson", 45, 3, 5, 300);
    const int encoded = lesson.encoded;
    EXPECT_EQ(lesson.refused, 0);
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
    EXPECT_GE(lesson.n0, 300) << "the camera came 300 ms after the clock";

    ASSERT_EQ(lesson.photos.size(), 3u);
    for (const kxtest::CopiedPacket &shot : lesson.photos)
        EXPECT_TRUE(kxtest::decodesAsJpeg(shot.bytes, 1280, 720));
}

// The video track's sizes in an MP4 file: {tkhd width, height, avc1 width,
// height} from the boxes themselves (a box: 32-bit size, then its type).
std::array<int, 4> videoTrackSize(const QByteArray &file)
{
    std::array<int, 4> size{};
    const auto *p = reinterpret_cast<const uint8_t *>(file.constData());
    for (const char *type : {"tkhd", "avc1"}) {
        for (int at = file.indexOf(type); at >= 4; at = file.indexOf(type, at + 1)) {
            const int64_t len = int64_t(p[at - 4]) << 24 | p[at - 3] << 16 | p[at - 2] << 8 | p[at - 1];
            if (len < 36 || at - 4 + len > file.size())
                continue; // not a box (the file type box names avc1 too)
            const uint8_t *b = p + at + 4; // the box's contents
            if (type[0] == 't' && (b[len - 16] | b[len - 15])) { // 16.16 width, height end it; 0 for sound
                size[0] = b[len - 16] << 8 | b[len - 15];
                size[1] = b[len - 12] << 8 | b[len - 11];
                break;
            }
            if (type[0] == 'a') { // after 6 reserved, 2 index and 16 predefined bytes
                size[2] = b[24] << 8 | b[25];
                size[3] = b[26] << 8 | b[27];
                break;
            }
        }
    }
    return size;
}

// A camera offering one size only: the file states the encoded size in the
// MP4 track header and sample entry and in the TS stream. Snapshots of an
// MJPEG camera that leaves out its Huffman tables get libjpeg's standard
// ones and decode with libjpeg and libavcodec.
TEST(CameraToFile, FileStatesTheEncodedSize)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::vector<uint8_t> picture(size_t(640) * 480 * 3 / 2), jpeg;
    kxcam::renderTestPattern(640, 480, 3, picture.data());
    ASSERT_TRUE(kxcam::encodeJpegI420(picture.data(), 640, 480, 85, &jpeg));
    std::vector<uint8_t> bare;
    ASSERT_EQ(kxtest::huffmanTables(jpeg, &bare).size(), 4 * 17 + 2 * 12 + 2 * 162u) << "libjpeg's four tables";
    QFile clip(dir.filePath("bare.mjpeg"));
    ASSERT_TRUE(clip.open(QIODevice::WriteOnly) && clip.write(reinterpret_cast<const char *>(bare.data()),
                                                              qint64(bare.size())) == qint64(bare.size()));
    clip.close();
    struct Case {
        const char *capability;
        int width, height, shotWidth, shotHeight; // encoded; an MJPEG snapshot is the camera's picture
    } cases[] = {
        {R"("format": "MJPG", "width": 640, "height": 480, "fps": 30}], "mjpegFile": "bare.mjpeg")", 640, 480, 640,
         480},
        {R"("format": "YUY2", "width": 1280, "height": 960, "fps": 15}])", 1280, 960, 1280, 960},
        {R"("format": "MJPG", "width": 1920, "height": 1080, "fps": 30}])", 1280, 720, 1920, 1080},
    };
    for (const Case &c : cases) {
        const std::string name = "cam" + std::to_string(c.width);
        setenv("KX_VIRTUAL_CAMERA",
               kxtest::writeCameraConfig(dir, name + ".json",
                                         std::string(R"({"devices": [{"name": "VANTRI Multimedia Unit HD: VANT", )") +
                                             R"("capabilities": [{)" + c.capability + "}]}")
                   .c_str(),
               1);
        const Lesson lesson = recordLesson(dir, name, 20, 1, 3, 0);
        QFile mp4(dir.filePath(QString::fromStdString(name + ".mp4")));
        ASSERT_TRUE(mp4.open(QIODevice::ReadOnly));
        EXPECT_EQ(videoTrackSize(mp4.readAll()), (std::array<int, 4>{c.width, c.height, c.width, c.height})) << name;
        const QStringList ts = QDir(dir.path()).entryList({QString::fromStdString(name) + "*.ts"});
        ASSERT_FALSE(ts.isEmpty()) << name;
        const kxtest::ProbeResult probe = kxtest::probeFile(dir.filePath(ts.first()).toStdString(), true, false);
        ASSERT_EQ(probe.streams.size(), 2u) << name;
        EXPECT_EQ(probe.streams[1].width, c.width) << name;
        EXPECT_EQ(probe.streams[1].height, c.height) << name;
        ASSERT_EQ(lesson.photos.size(), 1u) << name;
        const std::vector<uint8_t> &shot = lesson.photos[0].bytes;
        EXPECT_EQ(kxtest::huffmanTables(shot), kxtest::huffmanTables(jpeg)) << name;
        EXPECT_TRUE(kxtest::decodesAsJpeg(shot, c.shotWidth, c.shotHeight)) << name;
        const int w = c.shotWidth, h = c.shotHeight; // and with libjpeg, underneath libyuv
        std::vector<uint8_t> p(size_t(w) * h * 3 / 2);
        EXPECT_EQ(libyuv::MJPGToI420(shot.data(), shot.size(), p.data(), w, &p[w * h], w / 2, &p[w * h * 5 / 4], w / 2,
                                     w, h, w, h), 0) << name;
    }
    unsetenv("KX_VIRTUAL_CAMERA");
}

} // namespace
