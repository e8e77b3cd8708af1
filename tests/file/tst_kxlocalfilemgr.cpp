// KxLocalFileMgr: the module contract (results before, during and after a
// recording), its reports to the commander's callback and the cloud module,
// defaults, missing folders, a disk that fills up, an outside check with
// the ffmpeg tools, and packets delivered by the real packet pool on its
// own thread while recordings start and stop.

#include "IKxModuleClound.h"
#include "KxFileTestUtil.h"
#include "KxLocalFileMgr.h"
#include "KxModulePoolMgr.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QDir>
#include <QFile>

#include <sys/mount.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

using namespace KxFileModule;
using namespace kxtest;

namespace {

class CloudStub : public IKxModuleClound {
public:
    void registerCallback(ICallBack *) override {}
    void init() override {}
    void start(const QString &, const QString &) override {}
    void stop(bool) override {}
    void destory() override {}
    void config(const QString &) override {}
    void uploadVideo(const char *path, double duration) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        uploads.push_back({KX_WRITER_TS, path, duration});
    }
    void uploadPhoto(const char *) override {}
    bool isUploadDone() override { return true; }
    void startSendProgress() override {}
    void stopSendProgress() override {}
    void cancelUpload() override {}
    QList<QString> notUploadList() override { return {}; }

    std::vector<FileReport> snapshot()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return uploads;
    }
    std::vector<FileReport> uploads;

private:
    std::mutex m_mutex;
};

class CommanderStub : public KxToLocalFileCbk {
public:
    void OnStart() override { ++starts; }
    void OnStoped(const char *path, double duration) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            stops.push_back({KX_WRITER_MP4, path, duration});
        }
        if (whenStopped)
            whenStopped();
    }
    void OnBroken(const char *path, const char *reason) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        broken.push_back({path, reason});
    }
    std::atomic<int> starts{0};
    std::vector<FileReport> stops;
    std::vector<std::pair<std::string, std::string>> broken;
    std::function<void()> whenStopped;  ///< a receiver that calls back into the module

private:
    std::mutex m_mutex;
};

KxLocalFileConfig configFor(const std::string &mp4, const std::string &playlist, int segmentLength,
                            const VideoSetup &vs = VideoSetup())
{
    KxLocalFileConfig c;
    c.mp4Path = mp4;
    c.playlistPath = playlist;
    c.segmentLength = segmentLength;
    c.videoCodecId = AV_CODEC_ID_H264;
    c.videoBitRate = vs.bitrateKbps * 1000;
    c.frameRate = vs.fps;
    c.timeBaseNum = 1;
    c.width = vs.width;
    c.height = vs.height;
    c.gopSize = vs.gop;
    c.audioCodecId = AV_CODEC_ID_AAC;
    c.audioBitRate = 64000;
    c.sampleRate = 44100;
    c.channels = 2;
    return c;
}

struct Module {
    CloudStub cloud;
    CommanderStub commander;
    std::unique_ptr<IKxModuleLocalFile> files{IKxModuleLocalFile::createInstance()};
    Module()
    {
        EXPECT_EQ(files->init(), 0);
        files->registerCallback(&commander);
        EXPECT_EQ(files->setCloundModule(&cloud), 0);
    }
};

const VideoSetup kVideo{320, 240, 15, 2000, 6};

TEST(KxLocalFileMgr, ZeroConfigurationMeansDefaults)
{
    const KxWriterParams p = KxLocalFileMgr::paramsFromConfig(KxLocalFileConfig());
    EXPECT_EQ(p.videoCodecId, 27);
    EXPECT_EQ(p.videoBitRate, 2000000);
    EXPECT_EQ(p.frameRate, 15);
    EXPECT_EQ(p.timeBaseNum, 1);
    EXPECT_EQ(p.width, 1280);
    EXPECT_EQ(p.height, 720);
    EXPECT_EQ(p.gopSize, 6);
    EXPECT_EQ(p.pixelFormat, 0);
    EXPECT_EQ(p.audioCodecId, 86018);
    EXPECT_EQ(p.audioBitRate, 64000);
    EXPECT_EQ(p.sampleRate, 44100);
    EXPECT_EQ(p.channels, 2);

    KxLocalFileConfig c;
    c.pixelFormat = 3;
    c.gopSize = 30;
    const KxWriterParams q = KxLocalFileMgr::paramsFromConfig(c);
    EXPECT_EQ(q.pixelFormat, 3);
    EXPECT_EQ(q.gopSize, 30);
}

TEST(KxLocalFileMgr, FactoryNumbers)
{
    for (int n : {-1, 2, 3}) {
        EXPECT_EQ(createFileWriter(n), nullptr);
    }
    std::unique_ptr<IKxToLocalFile> ts(createFileWriter(0)), mp4(createFileWriter(1));
    ASSERT_TRUE(ts && mp4);
    EXPECT_EQ(ts->kind(), KX_WRITER_TS);
    EXPECT_EQ(mp4->kind(), KX_WRITER_MP4);
}

// A whole recording with the all-zero configuration (defaults): results,
// reports to the commander and the cloud, files that decode.
TEST(KxLocalFileMgr, RecordingLifecycle)
{
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    Module m;
    PacketFeeder feeder;
    EXPECT_EQ(m.files->inputMediaPacket(feeder.make(rec.merged[0])), 2) << "before start";
    EXPECT_EQ(m.files->stop(), 2);

    KxLocalFileConfig cfg;
    cfg.mp4Path = base + "/lesson.mp4";
    cfg.playlistPath = base + "/abc.m3u8";
    cfg.segmentLength = 5;
    ASSERT_EQ(m.files->start(cfg), 0);
    EXPECT_EQ(m.commander.starts, 0) << "the MP4 file opens at the first packet";
    for (const auto &p : rec.merged)
        ASSERT_EQ(m.files->inputMediaPacket(feeder.make(p)), 0);
    EXPECT_EQ(m.files->inputMediaPacket(nullptr), 3);
    EXPECT_EQ(m.commander.starts, 1);
    const size_t uploadsBeforeStop = m.cloud.snapshot().size();
    EXPECT_GE(uploadsBeforeStop, 1u) << "segments are handed on while recording";
    EXPECT_TRUE(m.commander.stops.empty());

    m.commander.whenStopped = [&] {
        EXPECT_EQ(m.files->inputMediaPacket(feeder.make(rec.merged[0])), 2) << "called back from OnStoped";
        EXPECT_EQ(m.files->stop(), 2);
    };
    EXPECT_EQ(m.files->stop(), 0);
    m.commander.whenStopped = nullptr;
    ASSERT_EQ(m.commander.stops.size(), 1u);
    EXPECT_EQ(m.commander.stops[0].path, cfg.mp4Path);
    EXPECT_NEAR(m.commander.stops[0].duration, 12.0, 0.3);
    const auto uploads = m.cloud.snapshot();
    EXPECT_EQ(uploads.size(), uploadsBeforeStop + 1) << "stop hands on the last segment";
    double total = 0;
    for (size_t i = 0; i < uploads.size(); ++i) {
        char name[32];
        snprintf(name, sizeof name, "/abc.%03zu.ts", i);
        EXPECT_EQ(uploads[i].path, base + name);
        EXPECT_GT(uploads[i].duration, 0.0);
        total += uploads[i].duration;
        EXPECT_EQ(probeFile(uploads[i].path).decodeErrors, 0);
    }
    EXPECT_NEAR(total, m.commander.stops[0].duration, 0.1) << "the segments cover the recording";
    EXPECT_EQ(probeFile(cfg.mp4Path).decodeErrors, 0);

    // After stop: nothing is written, a second stop reports nothing.
    EXPECT_EQ(m.files->inputMediaPacket(feeder.make(rec.merged[0])), 2);
    EXPECT_EQ(m.files->stop(), 2);
    EXPECT_EQ(m.commander.stops.size(), 1u);
    EXPECT_EQ(m.cloud.snapshot().size(), uploads.size());
    EXPECT_EQ(m.files->destory(), 0);
}

// A second start while a recording is open finishes the first one instead
// of leaking it.
TEST(KxLocalFileMgr, StartWhileRecordingFinishesTheFirst)
{
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    Module m;
    PacketFeeder feeder;
    ASSERT_EQ(m.files->start(configFor(base + "/one.mp4", base + "/one.m3u8", 5, kVideo)), 0);
    for (size_t i = 0; i < 100; ++i)
        m.files->inputMediaPacket(feeder.make(rec.merged[i]));
    ASSERT_EQ(m.files->start(configFor(base + "/two.mp4", base + "/two.m3u8", 5, kVideo)), 0);
    ASSERT_EQ(m.commander.stops.size(), 1u);
    EXPECT_EQ(m.commander.stops[0].path, base + "/one.mp4");
    EXPECT_EQ(probeFile(base + "/one.mp4").decodeErrors, 0);
    for (const auto &p : rec.merged)
        EXPECT_EQ(m.files->inputMediaPacket(feeder.make(p)), 0);
    EXPECT_EQ(m.files->destory(), 0);
    ASSERT_EQ(m.commander.stops.size(), 2u);
    EXPECT_EQ(m.commander.stops[1].path, base + "/two.mp4");
    EXPECT_EQ(m.cloud.snapshot().front().path, base + "/one.000.ts");
}

// Output folders that do not exist: every packet retries and fails, nothing
// is reported.
TEST(KxLocalFileMgr, MissingFolder)
{
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string gone = makeTestDir(dir) + "/not/there";
    Module m;
    PacketFeeder feeder;
    ASSERT_EQ(m.files->start(configFor(gone + "/x.mp4", gone + "/x.m3u8", 5, kVideo)), 0);
    for (size_t i = 0; i < 50; ++i)
        EXPECT_EQ(m.files->inputMediaPacket(feeder.make(rec.merged[i])), 3);
    EXPECT_EQ(m.files->stop(), 0);
    EXPECT_EQ(m.commander.starts, 0);
    EXPECT_TRUE(m.commander.stops.empty());
    EXPECT_TRUE(m.cloud.snapshot().empty());
}

// A folder that cannot be written (read-only file system): as above.
TEST(KxLocalFileMgr, ReadOnlyFolder)
{
    if (!QDir("/proc/self").exists())
        GTEST_SKIP() << "no /proc";
    const Recording &rec = cachedRecording(12, kVideo);
    Module m;
    PacketFeeder feeder;
    ASSERT_EQ(m.files->start(configFor("/proc/self/x.mp4", "/proc/self/x.m3u8", 5, kVideo)), 0);
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(m.files->inputMediaPacket(feeder.make(rec.merged[i])), 3);
    EXPECT_EQ(m.files->stop(), 0);
    EXPECT_TRUE(m.commander.stops.empty());
    EXPECT_TRUE(m.cloud.snapshot().empty());
}

// A disk that fills up during the recording: the module keeps returning
// errors without crashing, segments finished before stay intact, and an
// incomplete segment is not handed on.
class KxLocalFileDiskFull : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_mountPoint = m_dir.path().toStdString() + "/small";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(m_mountPoint)));
    }
    void TearDown() override
    {
        if (m_mounted && ::umount2(m_mountPoint.c_str(), MNT_DETACH) != 0)
            ADD_FAILURE() << "umount " << m_mountPoint << ": " << std::strerror(errno);
    }
    bool mountTmpfs(size_t bytes)
    {
        const std::string opts = "size=" + std::to_string(bytes) + ",mode=0700";
        m_mounted = ::mount("tmpfs", m_mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts.c_str()) == 0;
        if (!m_mounted)
            m_mountError = std::strerror(errno);
        return m_mounted;
    }
    QTemporaryDir m_dir;
    std::string m_mountPoint;
    std::string m_mountError;
    bool m_mounted = false;
};

TEST_F(KxLocalFileDiskFull, SmallTmpfs)
{
    const Recording &rec = cachedRecording(20, kVideo);
    size_t bytes = 0;
    for (const auto &p : rec.merged)
        bytes += p.data.size();
    const size_t perSecond = bytes / 20;
    // Room for about seven seconds of both outputs: the first segment
    // finishes, the disk fills during the second.
    if (!mountTmpfs(perSecond * 2 * 7))
        GTEST_SKIP() << "cannot mount a tmpfs (" << m_mountError << "); the /dev/full cases cover the write errors";
    Module m;
    PacketFeeder feeder;
    ASSERT_EQ(m.files->start(configFor(m_mountPoint + "/r.mp4", m_mountPoint + "/r.m3u8", 2, kVideo)), 0);
    int failures = 0;
    for (const auto &p : rec.merged)
        failures += m.files->inputMediaPacket(feeder.make(p)) != 0;
    EXPECT_GT(failures, 0) << "the disk filled up";
    EXPECT_EQ(m.files->stop(), 0);
    const auto uploads = m.cloud.snapshot();
    ASSERT_GE(uploads.size(), 1u) << "segments finished before the disk filled are handed on";
    EXPECT_LT(uploads.size(), 12u) << "segments written after the disk filled are not";
    for (size_t i = 0; i < uploads.size(); ++i) {
        char name[32];
        snprintf(name, sizeof name, "/r.%03zu.ts", i);
        EXPECT_EQ(uploads[i].path, m_mountPoint + name) << "handed on in order, without holes";
        const ProbeResult pr = probeFile(uploads[i].path);
        EXPECT_TRUE(pr.opened);
        EXPECT_EQ(pr.decodeErrors, 0) << uploads[i].path;
        EXPECT_FALSE(pr.packets.empty());
    }
    EXPECT_TRUE(m.commander.stops.empty()) << "a broken file is not a finished recording";
    ASSERT_EQ(m.commander.broken.size(), 1u) << "the commander still learns that the recording ended";
    EXPECT_EQ(m.commander.broken[0].first, m_mountPoint + "/r.mp4");
    EXPECT_NE(m.commander.broken[0].second.find("No space left on device"), std::string::npos)
        << m.commander.broken[0].second;

    // What was written before the disk filled stays: recovery cannot
    // rewrite it on the full disk and leaves it; with room (another disk)
    // it becomes a regular file.
    const QString mp4 = QString::fromStdString(m_mountPoint + "/r.mp4"), roomy = m_dir.path() + "/roomy/r";
    const qint64 size = QFileInfo(mp4).size();
    EXPECT_EQ(recoverUnfinishedRecordings(m_mountPoint), 0);
    EXPECT_EQ(QFileInfo(mp4).size(), size);
    ASSERT_TRUE(QDir().mkpath(roomy) && QFile::copy(mp4, roomy + "/r.mp4"));
    EXPECT_EQ(recoverUnfinishedRecordings((m_dir.path() + "/roomy").toStdString()), 1);
    const ProbeResult pr = probeFile((roomy + "/r.mp4").toStdString());
    EXPECT_EQ(pr.decodeErrors, 0);
    EXPECT_GT(pr.packets.size(), 100u);
}

// The MP4 on a full device next to working segments: the MP4 file is
// reported as broken, the segments are unaffected.
TEST(KxLocalFileMgr, FullDeviceForTheMp4)
{
    if (!QFileInfo::exists("/dev/full"))
        GTEST_SKIP() << "/dev/full is not available";
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    Module m;
    PacketFeeder feeder;
    ASSERT_EQ(m.files->start(configFor("/dev/full", base + "/f.m3u8", 5, kVideo)), 0);
    int failures = 0;
    for (const auto &p : rec.merged)
        failures += m.files->inputMediaPacket(feeder.make(p)) == 3;
    EXPECT_GT(failures, int(rec.merged.size()) / 2);
    EXPECT_EQ(m.files->stop(), 0);
    EXPECT_TRUE(m.commander.stops.empty());
    EXPECT_EQ(m.commander.broken.size(), 1u);
    const auto uploads = m.cloud.snapshot();
    EXPECT_GE(uploads.size(), 2u);
    for (const auto &u : uploads)
        EXPECT_EQ(probeFile(u.path).decodeErrors, 0);
}

// An outside check: the ffmpeg command-line tools read the MP4 file and
// every segment without a single error.
TEST(KxLocalFileMgr, FfmpegToolsAcceptTheFiles)
{
    std::string out;
    if (runCommand("ffprobe -version", &out, 20) != 0 || runCommand("ffmpeg -version", &out, 20) != 0)
        GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    Module m;
    PacketFeeder feeder;
    ASSERT_EQ(m.files->start(configFor(base + "/o.mp4", base + "/o.m3u8", 5, kVideo)), 0);
    for (const auto &p : rec.merged)
        m.files->inputMediaPacket(feeder.make(p));
    m.files->stop();
    std::vector<std::string> files{base + "/o.mp4"};
    for (const auto &u : m.cloud.snapshot())
        files.push_back(u.path);
    ASSERT_GE(files.size(), 3u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        EXPECT_EQ(runCommand("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + f + "'", &out), 0);
        EXPECT_EQ(out.substr(0, 9), "aac\nh264\n");
        EXPECT_EQ(runCommand("ffmpeg -nostdin -v error -i '" + f + "' -f null -", &out), 0);
        EXPECT_EQ(out, "") << "ffmpeg reported errors";
    }
    // The segments played in order as one stream (what an HLS player does).
    std::string list = "concat:";
    for (size_t i = 1; i < files.size(); ++i)
        list += (i > 1 ? "|" : "") + files[i];
    EXPECT_EQ(runCommand("ffmpeg -nostdin -v error -i '" + list + "' -f null -", &out), 0);
    EXPECT_EQ(out, "");
}

// Forwards to the real module and counts the packets the pool delivered.
class CountingLocalFile : public IKxModuleLocalFile {
public:
    explicit CountingLocalFile(IKxModuleLocalFile *inner) : m_inner(inner) {}
    int init() override { return m_inner->init(); }
    int setCloundModule(IKxModuleClound *c) override { return m_inner->setCloundModule(c); }
    void registerCallback(KxToLocalFileCbk *cb) override { m_inner->registerCallback(cb); }
    int start(const KxLocalFileConfig &c) override { return m_inner->start(c); }
    uint8_t inputMediaPacket(IKxMediaPacket *p) override
    {
        const uint8_t r = m_inner->inputMediaPacket(p);
        ++delivered;
        if (r == 0)
            ++written;
        return r;
    }
    int stop() override { return m_inner->stop(); }
    int destory() override { return m_inner->destory(); }
    std::atomic<int> delivered{0};
    std::atomic<int> written{0};

private:
    IKxModuleLocalFile *m_inner;
};

bool waitFor(const std::function<bool()> &done, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Push one packet through the pool as a producer does; false when the pool
// lends none within the time-out.
bool pushThroughPool(KxModulePoolMgr *pool, const MediaPacket &m)
{
    IKxMediaPacket *p = m.type == KX_PACKET_AUDIO ? pool->getAudioPacket(2000) : pool->getVideoPacket(2000);
    if (!p)
        return false;
    fillPacket(p, m);
    return (m.type == KX_PACKET_AUDIO ? pool->pushAudioPacket(p) : pool->pushVideoPacket(p)) == 0;
}

// Packets arrive on the pool's output thread while the recording is
// started and stopped on this thread.
TEST(KxLocalFileMgrThreads, PoolDeliversARecording)
{
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    Module m;
    CountingLocalFile counting(m.files.get());
    auto *pool = new KxModulePoolMgr;
    ASSERT_EQ(pool->init(), 0);
    pool->setLocalFileModule(&counting);
    ASSERT_EQ(pool->start(), 0);
    ASSERT_EQ(counting.start(configFor(base + "/p.mp4", base + "/p.m3u8", 5, kVideo)), 0);
    std::thread producer([&] {
        for (const auto &p : rec.merged)
            if (!pushThroughPool(pool, p))
                break;
    });
    producer.join();
    ASSERT_TRUE(waitFor([&] { return counting.delivered == int(rec.merged.size()); }, 20000));
    EXPECT_EQ(counting.written, int(rec.merged.size()));
    EXPECT_EQ(counting.stop(), 0);
    EXPECT_EQ(pool->stop(), 0);
    pool->destory();
    ASSERT_EQ(m.commander.stops.size(), 1u);
    const ProbeResult pr = probeFile(base + "/p.mp4");
    EXPECT_EQ(pr.decodeErrors, 0);
    EXPECT_EQ(pr.packets.size(), rec.merged.size());
    EXPECT_EQ(m.commander.starts, 1);
}

// Recordings start and stop while the pool keeps delivering: packets
// between recordings get 2, every opened MP4 file is closed and reported,
// nothing crashes or races.
TEST(KxLocalFileMgrThreads, StartStopWhilePacketsFlow)
{
    const Recording &rec = cachedRecording(12, kVideo);
    QTemporaryDir dir;
    const std::string base = makeTestDir(dir);
    Module m;
    CountingLocalFile counting(m.files.get());
    auto *pool = new KxModulePoolMgr;
    ASSERT_EQ(pool->init(), 0);
    pool->setLocalFileModule(&counting);
    ASSERT_EQ(pool->start(), 0);
    std::atomic<bool> run{true};
    std::thread producer([&] {
        size_t i = 0;
        while (run && pushThroughPool(pool, rec.merged[i % rec.merged.size()])) {
            ++i;
            if (i % 8 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int r = 0; r < 4; ++r) {
        const std::string name = base + "/r" + std::to_string(r);
        ASSERT_EQ(counting.start(configFor(name + ".mp4", name + ".m3u8", 2, kVideo)), 0);
        const int before = counting.delivered;
        EXPECT_TRUE(waitFor([&] { return counting.delivered > before + 40; }, 10000));
        EXPECT_EQ(counting.stop(), 0);
        const int after = counting.delivered;
        EXPECT_TRUE(waitFor([&] { return counting.delivered > after + 5; }, 10000));
    }
    run = false;
    producer.join();
    EXPECT_EQ(pool->stop(), 0);
    pool->destory();
    EXPECT_EQ(m.commander.starts, 4);
    ASSERT_EQ(m.commander.stops.size(), 4u);
    for (const auto &s : m.commander.stops)
        EXPECT_TRUE(QFileInfo(QString::fromStdString(s.path)).size() > 0) << s.path;
    EXPECT_LT(counting.written, counting.delivered);
}

} // namespace
