// KxMp4Creater: a real recording written and read back; the H.264 and AAC
// configuration in the file against what the real encoders produce; open
// failures and packets that carry nothing.

#include "KxFileTestUtil.h"
#include "KxMp4Creater.h"
#include "KxMp4Recovery.h"
#include "KxMuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

using namespace KxFileModule;
using namespace kxtest;

namespace {

struct Mp4Run {
    RecordingCallback cb;
    std::vector<int> statuses;
};

void writeAll(IKxToLocalFile &w, const std::vector<MediaPacket> &packets, Mp4Run &run)
{
    PacketFeeder feeder;
    for (const auto &m : packets)
        run.statuses.push_back(w.write(feeder.make(m)));
}

std::unique_ptr<IKxToLocalFile> makeMp4(const std::string &path, const KxWriterParams &p, KxToFileCbk *cb)
{
    std::unique_ptr<IKxToLocalFile> w(createFileWriter(KX_CREATE_MP4_WRITER));
    EXPECT_EQ(w->kind(), KX_WRITER_MP4);
    KxWriterConfig cfg;
    cfg.path = path;
    cfg.segmentLength = 5;
    cfg.params = p;
    EXPECT_EQ(w->init(cfg), 0);
    w->setCallback(cb);
    EXPECT_EQ(w->start(), 0);
    return w;
}

struct StreamCase {
    const char *name;
    VideoSetup camera;      ///< what the camera encoder really runs at
    VideoSetup configured;  ///< what the recording's configuration says
    int seconds;
};

class KxMp4Recording : public ::testing::TestWithParam<StreamCase> {};

// A recording read back: stream order and codecs, every packet and frame,
// time stamps, the reported duration, and an H.264 configuration record
// that is the one of the stream even when the camera runs at another size
// than configured.
TEST_P(KxMp4Recording, ReadsBackCompletely)
{
    const StreamCase &c = GetParam();
    const Recording &rec = cachedRecording(c.seconds, c.camera);
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/lesson.mp4";
    Mp4Run run;
    auto w = makeMp4(path, defaultParams(c.configured), &run.cb);
    writeAll(*w, rec.merged, run);
    EXPECT_TRUE(std::all_of(run.statuses.begin(), run.statuses.end(), [](int s) { return s == 0; }));
    EXPECT_EQ(run.cb.starts, std::vector<int>{KX_WRITER_MP4});
    EXPECT_TRUE(run.cb.files.empty());
    EXPECT_EQ(w->close(), 0);
    EXPECT_EQ(w->close(), 0);
    EXPECT_EQ(w->uninit(), 0);
    ASSERT_EQ(run.cb.files.size(), 1u) << "one report, a second close reports nothing";
    EXPECT_EQ(run.cb.files[0].kind, KX_WRITER_MP4);
    EXPECT_EQ(run.cb.files[0].path, path);

    double lo = 1e18, hi = -1e18;
    for (const auto &m : rec.merged) {
        lo = std::min(lo, double(m.pts) / m.timeBase);
        hi = std::max(hi, double(m.pts) / m.timeBase);
    }
    EXPECT_NEAR(run.cb.files[0].duration, hi - lo, 1e-6);

    const ProbeResult pr = probeFile(path, true, true);
    ASSERT_TRUE(pr.opened) << pr.error;
    ASSERT_EQ(pr.streams.size(), 2u);
    EXPECT_EQ(pr.streams[0].mediaType, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(pr.streams[0].codecId, AV_CODEC_ID_AAC);
    EXPECT_EQ(pr.streams[1].mediaType, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(pr.streams[1].codecId, AV_CODEC_ID_H264);
    EXPECT_EQ(pr.decodeErrors, 0);

    std::vector<const ProbedPacket *> audio, video;
    for (const auto &p : pr.packets)
        (p.stream == 0 ? audio : video).push_back(&p);
    ASSERT_EQ(video.size(), rec.video.size());
    ASSERT_EQ(audio.size(), rec.audio.size());
    EXPECT_EQ(pr.streams[1].decodedFrames, static_cast<int64_t>(rec.video.size()));
    // Every access unit decodes to 1024 samples; an edit list may trim the
    // encoder's priming samples (one frame).
    EXPECT_GE(pr.streams[0].decodedSamples, static_cast<int64_t>(rec.audio.size() - 1) * 1024);
    EXPECT_LE(pr.streams[0].decodedSamples, static_cast<int64_t>(rec.audio.size()) * 1024);

    // Times: every packet keeps its own time, on one line for both streams.
    const double videoOffset = video[0]->pts - double(rec.video[0].pts) / rec.video[0].timeBase;
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_NEAR(video[i]->pts - videoOffset, double(rec.video[i].pts) / c.camera.fps, 1e-5) << i;
        EXPECT_NEAR(video[i]->dts - videoOffset, double(rec.video[i].dts) / c.camera.fps, 1e-5) << i;
        EXPECT_EQ(video[i]->key, rec.video[i].key) << i;
        if (i > 0) {
            EXPECT_GT(video[i]->dts, video[i - 1]->dts);
        }
    }
    const double audioOffset = audio[0]->pts - double(rec.audio[0].pts) / rec.audio[0].timeBase;
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_NEAR(audio[i]->pts - audioOffset, double(rec.audio[i].pts) / rec.audio[i].timeBase, 1e-4) << i;
        if (i > 0) {
            EXPECT_GT(audio[i]->dts, audio[i - 1]->dts);
        }
    }
    EXPECT_NEAR(audioOffset, videoOffset, 1024.0 / 44100 + 1e-4) << "audio and video stay on one time line";

    // The configuration record carries exactly the stream's parameter sets.
    const auto inBand = annexBParameterSets(rec.video[0].data.data(), static_cast<int>(rec.video[0].data.size()));
    ASSERT_EQ(inBand.size(), 2u);
    EXPECT_EQ(extradataParameterSets(pr.streams[1].extradata), inBand);
    EXPECT_EQ(pr.streams[1].width, c.camera.width);
    EXPECT_EQ(pr.streams[1].height, c.camera.height);

    // Written fragmented while recording, a regular MP4 file once closed.
    const auto boxes = topLevelBoxes(path);
    EXPECT_EQ(boxes.at(0), "ftyp:isom");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KxMp4Recording,
    ::testing::Values(StreamCase{"AsConfigured", {320, 240, 15, 2000, 12}, {320, 240, 15, 2000, 12}, 20},
                      StreamCase{"CameraGopDiffers", {320, 240, 15, 2000, 12}, {320, 240, 15, 2000, 6}, 6},
                      StreamCase{"CameraSizeAndRateDiffer", {424, 240, 10, 2000, 12}, {1280, 720, 15, 2000, 6}, 6}),
    [](const ::testing::TestParamInfo<StreamCase> &i) { return std::string(i.param.name); });

// The parameter encoder is set up like the camera's encoder: at the
// recorder's settings (1280x720, 15 fps, 2000 kbit/s, configured GOP 6
// while the camera encoder keeps GOP 12) both yield the same parameter sets,
// so the configuration written for any container describes the stream.
TEST(KxMp4Creater, ParameterEncoderAgreesWithTheCameraEncoder)
{
    VideoSetup camera{1280, 720, 15, 2000, 12};
    const auto packets = encodeVideo(camera, 2);
    ASSERT_FALSE(packets.empty());
    const auto inBand = annexBParameterSets(packets[0].data.data(), static_cast<int>(packets[0].data.size()));
    ASSERT_EQ(inBand.size(), 2u);

    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/p.mkv";
    KxMuxer muxer(defaultParams(VideoSetup{1280, 720, 15, 2000, 6}));
    ASSERT_EQ(muxer.open(path.c_str(), "matroska", {}), KX_MUX_OK);
    for (const auto &m : packets) {
        KxMuxRecord r;
        r.stream = KX_MUX_VIDEO;
        r.data = m.data.data();
        r.size = static_cast<int>(m.data.size());
        r.pts = m.pts;
        r.dts = m.dts;
        r.key = m.key;
        r.timeBaseDen = m.timeBase;
        ASSERT_EQ(muxer.write(&r), KX_MUX_OK);
    }
    muxer.close();
    const ProbeResult pr = probeFile(path, false);
    ASSERT_TRUE(pr.opened);
    ASSERT_EQ(pr.streams.size(), 2u);
    EXPECT_EQ(extradataParameterSets(pr.streams[1].extradata), inBand);
}

// A recording whose first video packet is not a key frame (the pool had no
// packet free for the first ones): the configuration record still gets the
// parameter sets, taken from the parameter encoder.
TEST(KxMp4Creater, FirstVideoPacketWithoutParameterSets)
{
    const Recording &rec = cachedRecording(6, VideoSetup());
    std::vector<MediaPacket> packets;
    bool skipping = true;
    for (const auto &m : rec.merged) {
        if (m.type == KX_PACKET_VIDEO && skipping) {
            if (m.key || annexBParameterSets(m.data.data(), int(m.data.size())).size() == 2)
                continue;
            skipping = false;
        }
        packets.push_back(m);
    }
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/late.mp4";
    Mp4Run run;
    auto w = makeMp4(path, defaultParams(), &run.cb);
    writeAll(*w, packets, run);
    w->close();
    const ProbeResult pr = probeFile(path, false);
    ASSERT_TRUE(pr.opened);
    ASSERT_EQ(pr.streams.size(), 2u);
    const auto inBand = annexBParameterSets(rec.video[0].data.data(), int(rec.video[0].data.size()));
    EXPECT_EQ(extradataParameterSets(pr.streams[1].extradata), inBand);
}

// Audio only (no camera packets at all): a playable file with its audio.
TEST(KxMp4Creater, AudioOnly)
{
    const Recording &rec = cachedRecording(6, VideoSetup(), true, false);
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/a.mp4";
    Mp4Run run;
    auto w = makeMp4(path, defaultParams(), &run.cb);
    writeAll(*w, rec.merged, run);
    w->close();
    ASSERT_EQ(run.cb.files.size(), 1u);
    const ProbeResult pr = probeFile(path);
    ASSERT_TRUE(pr.opened);
    ASSERT_GE(pr.streams.size(), 1u);
    EXPECT_EQ(pr.streams[0].codecId, AV_CODEC_ID_AAC);
    EXPECT_EQ(pr.packets.size(), rec.audio.size());
    EXPECT_EQ(pr.decodeErrors, 0);
}

// Packets that carry nothing open no file and leave the duration alone.
// A minute of sound: every unit lasts exactly its 1024 samples in the
// file's 44.1 kHz time base (the last one aside, whose length the file
// cannot know), so players that follow the stamps hear no gap or overlap.
TEST(KxMp4Creater, AudioUnitsLastAFrameEach)
{
    const std::vector<MediaPacket> sound = encodeAudio(AudioSetup{}, 60.0);
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/sound.mp4";
    Mp4Run run;
    auto w = makeMp4(path, defaultParams(), &run.cb);
    writeAll(*w, sound, run);
    EXPECT_EQ(w->close(), 0);
    const ProbeResult pr = probeFile(path, false);
    ASSERT_TRUE(pr.opened) << pr.error;
    std::vector<const ProbedPacket *> audio;
    for (const auto &p : pr.packets)
        if (pr.streams[size_t(p.stream)].mediaType == AVMEDIA_TYPE_AUDIO)
            audio.push_back(&p);
    ASSERT_EQ(audio.size(), sound.size());
    for (size_t i = 0; i + 1 < audio.size(); ++i) {
        ASSERT_EQ(std::llround(audio[i]->duration * 44100), 1024) << "unit " << i;
        ASSERT_EQ(std::llround((audio[i + 1]->pts - audio[i]->pts) * 44100), 1024) << "unit " << i;
    }
}

TEST(KxMp4Creater, IgnoresPacketsWithNothingToWrite)
{
    const Recording &rec = cachedRecording(6, VideoSetup());
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/n.mp4";
    Mp4Run run;
    auto w = makeMp4(path, defaultParams(), &run.cb);
    PacketFeeder feeder;
    MediaPacket empty = rec.audio[3];
    empty.data.clear();
    empty.pts = empty.dts = 99999;
    MediaPacket photo = rec.video[0];
    photo.type = KX_PACKET_PHOTO;
    MediaPacket unknown = rec.audio[3];
    unknown.type = 17;
    MediaPacket noTimeBase = rec.audio[3];
    noTimeBase.timeBase = 0;
    for (const MediaPacket *m : {&empty, &photo, &unknown, &noTimeBase})
        EXPECT_EQ(w->write(feeder.make(*m)), 1);
    EXPECT_EQ(w->write(nullptr), 1);
    EXPECT_TRUE(run.cb.starts.empty());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path)));
    w->close();
    EXPECT_TRUE(run.cb.files.empty()) << "close before any packet reports nothing";

    w->start();
    EXPECT_EQ(w->write(feeder.make(rec.audio[10])), 0);
    EXPECT_EQ(w->write(feeder.make(empty)), 1);
    EXPECT_EQ(w->write(feeder.make(rec.audio[20])), 0);
    w->close();
    ASSERT_EQ(run.cb.files.size(), 1u);
    EXPECT_NEAR(run.cb.files[0].duration, double(rec.audio[20].pts - rec.audio[10].pts) / rec.audio[10].timeBase, 1e-9);
}

// A folder that does not exist: the open is tried at most once a second
// and the packets in between get the same status; once the folder appears
// the next try opens the file.
TEST(KxMp4Creater, RetriesTheOpenOnceASecond)
{
    const Recording &rec = cachedRecording(6, VideoSetup());
    QTemporaryDir dir;
    const std::string folder = makeTestDir(dir) + "/later";
    Mp4Run run;
    auto w = makeMp4(folder + "/r.mp4", defaultParams(), &run.cb);
    PacketFeeder feeder;
    const auto firstTry = std::chrono::steady_clock::now();
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(w->write(feeder.make(rec.merged[i])), KX_MUX_OPEN_FILE);
    EXPECT_TRUE(run.cb.starts.empty());
    w->close();
    EXPECT_TRUE(run.cb.files.empty());
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    if (std::chrono::steady_clock::now() - firstTry < KxRetryPacer::kInterval / 2) {
        EXPECT_EQ(w->write(feeder.make(rec.merged[5])), KX_MUX_OPEN_FILE) << "tried again within the second";
    }
    std::this_thread::sleep_for(KxRetryPacer::kInterval + std::chrono::milliseconds(50));
    for (size_t i = 5; i < rec.merged.size(); ++i)
        EXPECT_EQ(w->write(feeder.make(rec.merged[i])), 0);
    EXPECT_EQ(run.cb.starts.size(), 1u);
    w->close();
    ASSERT_EQ(run.cb.files.size(), 1u);
    const ProbeResult pr = probeFile(folder + "/r.mp4");
    ASSERT_TRUE(pr.opened);
    EXPECT_EQ(pr.decodeErrors, 0);
}

// A device that is always full: the file cannot be written, and it is
// reported as broken, never as finished; every packet from the first
// failure on fails, nothing crashes.
TEST(KxMp4Creater, FullDeviceReportsABrokenFile)
{
    if (!QFileInfo::exists("/dev/full"))
        GTEST_SKIP() << "/dev/full is not available";
    const Recording &rec = cachedRecording(6, VideoSetup());
    Mp4Run run;
    auto w = makeMp4("/dev/full", defaultParams(), &run.cb);
    writeAll(*w, rec.merged, run);
    const auto firstFailure = std::find_if(run.statuses.begin(), run.statuses.end(), [](int s) { return s != 0; });
    ASSERT_NE(firstFailure, run.statuses.end());
    EXPECT_TRUE(std::all_of(firstFailure, run.statuses.end(), [](int s) { return s == KX_MUX_WRITE_PACKET; }));
    w->close();
    EXPECT_TRUE(run.cb.files.empty());
    ASSERT_EQ(run.cb.broken.size(), 1u);
    EXPECT_EQ(run.cb.broken[0].path, "/dev/full");
    EXPECT_NE(run.cb.broken[0].reason.find("No space left on device"), std::string::npos) << run.cb.broken[0].reason;
}

} // namespace
