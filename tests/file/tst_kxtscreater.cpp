// KxTsCreater: segment names, the cutting rules, reported durations, and
// segments that form one continuous timeline, checked by reading every
// segment back.

#include "KxFileTestUtil.h"
#include "KxMuxer.h"
#include "KxTsCreater.h"

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

constexpr double kOffset = 1.4;   // the segments' timeline offset
constexpr double kTick = 1.0 / 90000;

TEST(KxTsCreater, SegmentNames)
{
    struct Case {
        const char *playlist;
        int counter;
        const char *expected;
    };
    for (const Case &c : {Case{"C:/t/abc.m3u8", 0, "C:/t/abc.000.ts"},
                          Case{"C:/t/abc.m3u8", 1, "C:/t/abc.001.ts"},
                          Case{"/tmp/k/0123456789abcdef0123456789abcdef.m3u8", 42,
                               "/tmp/k/0123456789abcdef0123456789abcdef.042.ts"},
                          Case{"/tmp/a.b.m3u8", 999, "/tmp/a.b.999.ts"},
                          Case{"/tmp/abc.m3u8", 1000, "/tmp/abc.1000.ts"},
                          Case{"/tmp/x.y/abc", 3, "/tmp/x.y/abc.003.ts"},
                          Case{"abc", 0, "abc.000.ts"}}) {
        EXPECT_EQ(KxTsCreater::segmentName(KxTsCreater::stemOf(c.playlist), c.counter), c.expected) << c.playlist;
    }
}

TEST(KxTsCreater, Allowance)
{
    struct Case {
        int rate, unit, expected;
    };
    for (const Case &c : {Case{15, 1, 1}, Case{10, 1, 1}, Case{25, 1, 0}, Case{30, 1, 0}, Case{5, 1, 3},
                          Case{0, 1, 0}, Case{-15, 1, 0}, Case{15, 0, 0}, Case{15, 2, 2}}) {
        EXPECT_EQ(KxTsCreater::allowanceSeconds(c.rate, c.unit), c.expected) << c.rate << "/" << c.unit;
    }
}

struct Segment {
    FileReport report;
    ProbeResult probe;
    std::vector<double> audioPts, videoPts;  // seconds, offset removed, file order
    std::vector<bool> videoKey;
    double minPts = 1e18, maxPts = -1e18;
};

struct TsRun {
    RecordingCallback cb;
    std::vector<int> statuses;
    std::vector<Segment> segments;
};

std::unique_ptr<IKxToLocalFile> makeTs(const std::string &playlist, int segmentLength, KxToFileCbk *cb)
{
    std::unique_ptr<IKxToLocalFile> w(createFileWriter(KX_CREATE_TS_WRITER));
    EXPECT_EQ(w->kind(), KX_WRITER_TS);
    KxWriterConfig cfg;
    cfg.path = playlist;
    cfg.segmentLength = segmentLength;
    cfg.params = defaultParams();
    EXPECT_EQ(w->init(cfg), 0);
    w->setCallback(cb);
    EXPECT_EQ(w->start(), 0);
    return w;
}

void readSegments(TsRun &run)
{
    for (const FileReport &r : run.cb.files) {
        Segment s;
        s.report = r;
        s.probe = probeFile(r.path);
        EXPECT_TRUE(s.probe.opened) << r.path;
        EXPECT_EQ(s.probe.decodeErrors, 0) << r.path;
        for (const ProbedPacket &p : s.probe.packets) {
            const int type = s.probe.streams[static_cast<size_t>(p.stream)].mediaType;
            const double pts = p.pts - kOffset;
            if (type == AVMEDIA_TYPE_AUDIO) {
                s.audioPts.push_back(pts);
            } else {
                s.videoPts.push_back(pts);
                s.videoKey.push_back(p.key);
            }
            s.minPts = std::min(s.minPts, pts);
            s.maxPts = std::max(s.maxPts, pts);
        }
        run.segments.push_back(std::move(s));
    }
}

void runRecording(TsRun &run, const std::string &playlist, int segmentLength, const std::vector<MediaPacket> &packets)
{
    auto w = makeTs(playlist, segmentLength, &run.cb);
    PacketFeeder feeder;
    for (const auto &m : packets)
        run.statuses.push_back(w->write(feeder.make(m)));
    EXPECT_EQ(w->close(), 0);
    const size_t reported = run.cb.files.size();
    EXPECT_EQ(w->close(), 0);
    EXPECT_EQ(run.cb.files.size(), reported) << "a second close reports nothing";
    EXPECT_EQ(w->uninit(), 0);
    readSegments(run);
}

struct CutCase {
    const char *name;
    int segmentLength;
    VideoSetup video;
    bool withVideo;
    int seconds;
    double minDuration;  ///< exclusive for video cuts, inclusive for audio cuts
    double maxDuration;
};

class KxTsCutting : public ::testing::TestWithParam<CutCase> {};

TEST_P(KxTsCutting, SegmentsFormOneTimeline)
{
    const CutCase &c = GetParam();
    const Recording &rec = cachedRecording(c.seconds, c.video, true, c.withVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    const std::string playlist = base + "/0123456789abcdef0123456789abcdef.m3u8";
    TsRun run;
    runRecording(run, playlist, c.segmentLength, rec.merged);
    EXPECT_TRUE(std::all_of(run.statuses.begin(), run.statuses.end(), [](int s) { return s == 0; }));
    const auto &segs = run.segments;
    ASSERT_GE(segs.size(), 3u);

    // Names: the playlist's stem and a counter from 000, files exactly those.
    for (size_t i = 0; i < segs.size(); ++i) {
        EXPECT_EQ(segs[i].report.kind, KX_WRITER_TS);
        char tail[32];
        snprintf(tail, sizeof tail, ".%03zu.ts", i);
        EXPECT_EQ(segs[i].report.path, base + "/0123456789abcdef0123456789abcdef" + tail);
    }
    EXPECT_EQ(QDir(QString::fromStdString(base)).entryList({"*.ts"}, QDir::Files).size(), int(segs.size()));

    // Stream order and codecs of every segment.
    for (const Segment &s : segs) {
        ASSERT_EQ(s.probe.streams.size(), 2u);
        EXPECT_EQ(s.probe.streams[0].codecId, AV_CODEC_ID_AAC);
        EXPECT_EQ(s.probe.streams[1].codecId, AV_CODEC_ID_H264);
    }

    // Every packet once, in order, on one timeline.
    std::vector<double> audio, video;
    int64_t decodedVideo = 0, decodedSamples = 0;
    for (const Segment &s : segs) {
        audio.insert(audio.end(), s.audioPts.begin(), s.audioPts.end());
        video.insert(video.end(), s.videoPts.begin(), s.videoPts.end());
        decodedVideo += s.probe.streams[1].decodedFrames;
        decodedSamples += s.probe.streams[0].decodedSamples;
    }
    ASSERT_EQ(audio.size(), rec.audio.size());
    ASSERT_EQ(video.size(), rec.video.size());
    for (size_t i = 0; i < audio.size(); ++i)
        EXPECT_NEAR(audio[i], double(rec.audio[i].pts) / rec.audio[i].timeBase, kTick) << "audio " << i;
    for (size_t i = 0; i < video.size(); ++i)
        EXPECT_NEAR(video[i], double(rec.video[i].pts) / c.video.fps, kTick) << "video " << i;
    EXPECT_EQ(decodedVideo, static_cast<int64_t>(rec.video.size()));
    EXPECT_EQ(decodedSamples, static_cast<int64_t>(rec.audio.size()) * 1024);

    // Cuts: each later segment starts with a key frame at its cut time T,
    // holds nothing before T, and the one before holds nothing from T on.
    for (size_t k = 0; k < segs.size(); ++k) {
        const Segment &s = segs[k];
        if (c.withVideo) {
            ASSERT_FALSE(s.videoPts.empty());
            EXPECT_TRUE(s.videoKey[0]) << "segment " << k << " starts on a key frame";
            const ProbedPacket &first = s.probe.packets.front();
            EXPECT_EQ(s.probe.streams[static_cast<size_t>(first.stream)].mediaType, AVMEDIA_TYPE_VIDEO)
                << "segment " << k << " begins with its key frame";
        }
        if (k > 0) {
            const double cut = c.withVideo ? s.videoPts.front() : s.audioPts.front();
            EXPECT_NEAR(s.minPts, cut, kTick) << "segment " << k;
            EXPECT_LT(segs[k - 1].maxPts, cut) << "segments " << k - 1 << " and " << k << " overlap";
        }
    }

    // Reported durations: cut segments from their start to the next cut,
    // the last one to its own last packet; all within the cutting bounds.
    for (size_t k = 0; k < segs.size(); ++k) {
        const Segment &s = segs[k];
        const double expected = k + 1 < segs.size() ? segs[k + 1].minPts - s.minPts : s.maxPts - s.minPts;
        EXPECT_NEAR(s.report.duration, expected, 2 * kTick) << "segment " << k;
        if (k + 1 < segs.size()) {
            if (c.withVideo)
                EXPECT_GT(s.report.duration, c.minDuration) << "segment " << k;
            else
                EXPECT_GE(s.report.duration, c.minDuration - 1e-9) << "segment " << k;
            EXPECT_LE(s.report.duration, c.maxDuration + 1e-6) << "segment " << k;
        } else {
            EXPECT_LE(s.report.duration, c.maxDuration + 0.1) << "last segment";
        }
    }
}

const VideoSetup kV15g12{320, 240, 15, 2000, 12};
const VideoSetup kV15g6{320, 240, 15, 2000, 6};
const VideoSetup kV10g10{320, 240, 10, 2000, 10};
const VideoSetup kV25g25{320, 240, 25, 2000, 25};

INSTANTIATE_TEST_SUITE_P(
    Cases, KxTsCutting,
    ::testing::Values(
        // With video: cut after more than L - allowance, within one GOP.
        CutCase{"L5Fps15Gop12", 5, kV15g12, true, 20, 4.0, 4.0 + 12 / 15.0},
        CutCase{"L5Fps15Gop6", 5, kV15g6, true, 20, 4.0, 4.0 + 6 / 15.0},
        CutCase{"L0ActsAs2", 0, kV15g6, true, 10, 1.0, 1.0 + 6 / 15.0},
        CutCase{"L1ActsAs2", 1, kV15g6, true, 10, 1.0, 1.0 + 6 / 15.0},
        CutCase{"L3Fps10", 3, kV10g10, true, 14, 2.0, 2.0 + 1.0},
        CutCase{"L5Fps25NoAllowance", 5, kV25g25, true, 16, 5.0, 6.0},
        // Audio only: cut at L + 1 or just after (one capture block).
        CutCase{"AudioOnlyL5", 5, kV15g12, false, 20, 6.0, 6.0 + 0.031},
        CutCase{"AudioOnlyL0ActsAs2", 0, kV15g12, false, 10, 3.0, 3.0 + 0.031}),
    [](const ::testing::TestParamInfo<CutCase> &i) { return std::string(i.param.name); });

// Counter and names belong to one recording: the next starts at 000 again
// under its own key.
TEST(KxTsCreater, CounterRestartsPerRecording)
{
    const Recording &rec = cachedRecording(10, kV15g6);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    for (const char *key : {"aaaa", "bbbb"}) {
        TsRun run;
        runRecording(run, base + "/" + key + ".m3u8", 2, rec.merged);
        ASSERT_GE(run.cb.files.size(), 2u);
        EXPECT_EQ(run.cb.files[0].path, base + "/" + key + ".000.ts");
        EXPECT_EQ(run.cb.files[1].path, base + "/" + key + ".001.ts");
    }
    // The same writer started twice also counts from 000.
    RecordingCallback cb;
    auto w = makeTs(base + "/cccc.m3u8", 2, &cb);
    PacketFeeder feeder;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(w->start(), 0);
        for (const auto &m : rec.merged)
            w->write(feeder.make(m));
        w->close();
    }
    ASSERT_GE(cb.files.size(), 4u);
    EXPECT_EQ(std::count_if(cb.files.begin(), cb.files.end(),
                            [&](const FileReport &r) { return r.path == base + "/cccc.000.ts"; }), 2);
}

// Video whose description has no rounded frame rate: no allowance, and no
// division by zero.
TEST(KxTsCreater, ZeroFrameRateDescription)
{
    const Recording &rec = cachedRecording(14, kV15g6);
    std::vector<MediaPacket> packets = rec.merged;
    for (auto &m : packets)
        if (m.type == KX_PACKET_VIDEO)
            m.frameRate = 0;
    QTemporaryDir dir;
    TsRun run;
    runRecording(run, makeTestDir(dir) + "/z.m3u8", 5, packets);
    ASSERT_GE(run.segments.size(), 2u);
    for (size_t k = 0; k + 1 < run.segments.size(); ++k) {
        EXPECT_GT(run.segments[k].report.duration, 5.0);
        EXPECT_LE(run.segments[k].report.duration, 5.0 + 6 / 15.0 + 1e-6);
    }
}

// The video stops (camera failure) while audio goes on: the audio is not
// held for ever, every packet is written once, and segments are then cut
// by audio.
TEST(KxTsCreater, VideoStallReleasesAudio)
{
    const Recording &rec = cachedRecording(24, kV15g6);
    std::vector<MediaPacket> packets;
    size_t videoKept = 0;
    for (const auto &m : rec.merged) {
        if (m.type == KX_PACKET_VIDEO && m.arrivalMs > 6000)
            continue;
        videoKept += m.type == KX_PACKET_VIDEO;
        packets.push_back(m);
    }
    QTemporaryDir dir;
    TsRun run;
    runRecording(run, makeTestDir(dir) + "/s.m3u8", 5, packets);
    size_t audio = 0, video = 0;
    for (const Segment &s : run.segments) {
        audio += s.audioPts.size();
        video += s.videoPts.size();
    }
    EXPECT_EQ(audio, rec.audio.size());
    EXPECT_EQ(video, videoKept);
    ASSERT_GE(run.segments.size(), 3u);
    const Segment &audioCut = run.segments[run.segments.size() - 2];
    EXPECT_GE(audioCut.report.duration, 6.0 - 1e-9) << "after the stall audio cuts at L + 1";
}

// The encoder falls far behind (pictures 7 s late, past the sound's hold):
// late pictures land in segments the sound has cut, yet the reported
// durations add up to the recording's span instead of counting the overlap
// twice (a player would otherwise show a lesson longer than it is).
TEST(KxTsCreater, LateVideoDurationsAddUp)
{
    const Recording &rec = cachedRecording(24, kV15g6);
    std::vector<MediaPacket> packets = rec.merged;
    const auto arrival = [](const MediaPacket &m) { return m.arrivalMs + (m.type == KX_PACKET_VIDEO ? 7000 : 0); };
    std::stable_sort(packets.begin(), packets.end(),
                     [&](const MediaPacket &a, const MediaPacket &b) { return arrival(a) < arrival(b); });
    // Only the reports are read: segments cut by the sound split a group of
    // pictures, which a decoder of that segment alone cannot start on.
    QTemporaryDir dir;
    RecordingCallback cb;
    auto w = makeTs(makeTestDir(dir) + "/s.m3u8", 5, &cb);
    PacketFeeder feeder;
    double first = 1e18, last = -1e18;
    for (const auto &m : packets) {
        EXPECT_EQ(w->write(feeder.make(m)), 0);
        first = std::min(first, double(m.pts) / m.timeBase);
        last = std::max(last, double(m.pts) / m.timeBase);
    }
    EXPECT_EQ(w->close(), 0);
    ASSERT_GE(cb.files.size(), 3u);
    double sum = 0;
    for (const FileReport &r : cb.files)
        sum += r.duration;
    EXPECT_NEAR(sum, last - first, 0.1);
}

// A minute of sound across segments: the PTS steps a frame (1024 samples
// at 44.1 kHz) each, 2089 or 2090 ticks of 90 kHz, the rounding never
// adding up.
TEST(KxTsCreater, AudioPtsStepExactlyAFrame)
{
    const std::vector<MediaPacket> sound = encodeAudio(AudioSetup{}, 60.0);
    QTemporaryDir dir;
    TsRun run;
    runRecording(run, makeTestDir(dir) + "/a.m3u8", 5, sound);
    ASSERT_GE(run.segments.size(), 9u);
    std::vector<int64_t> ticks;
    for (const Segment &seg : run.segments)
        for (const ProbedPacket &p : seg.probe.packets)
            ticks.push_back(std::llround(p.pts * 90000));
    ASSERT_EQ(ticks.size(), sound.size());
    for (size_t i = 1; i < ticks.size(); ++i) {
        const int64_t step = ticks[i] - ticks[i - 1];
        ASSERT_TRUE(step == 2089 || step == 2090) << "unit " << i << " step " << step;
        ASSERT_NEAR(double(ticks[i] - ticks[0]), i * 1024 * 90000.0 / 44100, 1.0) << "unit " << i;
    }
}

// A folder that does not exist: every packet returns the open status (the
// open is tried once a second) and the counter stays; once the folder
// exists segment 000 is written.
TEST(KxTsCreater, RetriesTheSameSegmentNumber)
{
    const Recording &rec = cachedRecording(10, kV15g6);
    QTemporaryDir dir;
    const std::string folder = makeTestDir(dir) + "/later";
    RecordingCallback cb;
    auto w = makeTs(folder + "/r.m3u8", 2, &cb);
    PacketFeeder feeder;
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(w->write(feeder.make(rec.merged[i])), KX_MUX_OPEN_FILE);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    std::this_thread::sleep_for(KxRetryPacer::kInterval + std::chrono::milliseconds(50));
    for (size_t i = 10; i < rec.merged.size(); ++i)
        EXPECT_EQ(w->write(feeder.make(rec.merged[i])), 0);
    w->close();
    ASSERT_GE(cb.files.size(), 2u);
    EXPECT_EQ(cb.files[0].path, folder + "/r.000.ts");
    for (const auto &f : cb.files)
        EXPECT_EQ(probeFile(f.path).decodeErrors, 0) << f.path;
}

// Packets that carry nothing write nothing and open no segment.
TEST(KxTsCreater, IgnoresPacketsWithNothingToWrite)
{
    const Recording &rec = cachedRecording(10, kV15g6);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    RecordingCallback cb;
    auto w = makeTs(base + "/e.m3u8", 2, &cb);
    PacketFeeder feeder;
    MediaPacket empty = rec.video[0];
    empty.data.clear();
    MediaPacket photo = rec.video[0];
    photo.type = KX_PACKET_PHOTO;
    EXPECT_EQ(w->write(feeder.make(empty)), 1);
    EXPECT_EQ(w->write(feeder.make(photo)), 1);
    EXPECT_EQ(w->write(nullptr), 1);
    w->close();
    EXPECT_TRUE(cb.files.empty());
    EXPECT_TRUE(QDir(QString::fromStdString(base)).entryList({"*.ts"}, QDir::Files).isEmpty());
}

} // namespace
