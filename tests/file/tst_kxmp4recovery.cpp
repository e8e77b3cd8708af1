// Crash safety of the MP4 file: what a killed recording leaves behind plays,
// and recoverUnfinishedRecordings turns it into a regular MP4 file at the
// next start; files it cannot repair and files that are not unfinished
// recordings are left exactly as they are.

#include "IKxModuleLocalFile.h"
#include "KxFileTestUtil.h"
#include "KxMp4Recovery.h"

#include <QFile>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

using namespace KxFileModule;
using namespace kxtest;

namespace {

const VideoSetup kCamera{320, 240, 15, 2000, 12};  // the camera encoder's GOP: a key frame every 0.8 s

QByteArray contents(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Seconds from the earliest packet of the file to the last packet of each
// stream (audio, video).
std::pair<double, double> reach(const ProbeResult &pr)
{
    double first = 1e18, audio = -1e18, video = -1e18;
    for (const auto &p : pr.packets) {
        first = std::min(first, p.pts);
        (p.stream == 0 ? audio : video) = std::max(p.stream == 0 ? audio : video, p.pts + p.duration);
    }
    return {audio - first, video - first};
}

// A regular MP4 file (one index, no fragments, not marked unfinished) that
// decodes without an error and reaches at least `seconds` in both streams.
void expectFinished(const std::string &path, double seconds)
{
    SCOPED_TRACE(path);
    const auto boxes = topLevelBoxes(path);
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes[0], std::string("ftyp:") + kUnfinishedBrand);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path + kFinalisingSuffix)));
    const ProbeResult pr = probeFile(path);
    ASSERT_TRUE(pr.opened) << pr.error;
    ASSERT_EQ(pr.streams.size(), 2u);
    EXPECT_EQ(pr.decodeErrors, 0);
    const auto r = reach(pr);
    EXPECT_GE(r.first, seconds);
    EXPECT_GE(r.second, seconds);
}

// What a recording leaves behind when its process dies, taken by copying
// the file while the writer runs (a killed process leaves what it has
// handed to the file system), and what recovery makes of it.
TEST(KxMp4Recovery, LeftFilesAreFinalisedOrLeftAlone)
{
    struct Case {
        const char *name;
        double copyAt;   ///< media seconds; -1: the finished file, -2: a foreign file with the brand
        int cutBytes;    ///< cut off the end of the copy
        bool staleTemp;  ///< an interrupted finalisation left its temporary file
        bool finalised;
    } const cases[] = {
        {"before_the_first_key_frame", 0.5, 0, false, false}, {"killed", 10.0, 0, false, true},
        {"last_fragment_cut_short", 10.0, 5000, false, true}, {"killed_while_finalising", 6.0, 0, true, true},
        {"finished_recording", -1, 0, false, false},         {"foreign_file_with_the_brand", -2, 0, false, false},
    };
    const QByteArray junk = QByteArray("\0\0\0\x10" "ftyp", 8) + kUnfinishedBrand + QByteArray(20, 'x');
    const Recording &rec = cachedRecording(12, kCamera);
    QTemporaryDir dir;
    const std::string root = makeTestDir(dir);
    const std::string live = root + "/live.mp4";

    auto place = [&](const Case &c) {
        const std::string folder = root + "/" + c.name;
        EXPECT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
        const std::string path = folder + "/" + c.name + ".mp4";
        QFile out(QString::fromStdString(path));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        const QByteArray bytes = c.copyAt == -2 ? junk : contents(live);
        out.write(bytes.left(bytes.size() - c.cutBytes));
        out.close();
        if (c.staleTemp) {
            QFile temp(QString::fromStdString(path + kFinalisingSuffix));
            EXPECT_TRUE(temp.open(QIODevice::WriteOnly));
            temp.write(bytes.left(bytes.size() / 3));
        }
    };
    RecordingCallback cb;
    std::unique_ptr<IKxToLocalFile> w(createFileWriter(KX_CREATE_MP4_WRITER));
    KxWriterConfig cfg;
    cfg.path = live;
    cfg.params = defaultParams(kCamera);
    ASSERT_EQ(w->init(cfg), 0);
    w->setCallback(&cb);
    w->start();
    PacketFeeder feeder;
    std::set<std::string> placed;
    for (const auto &m : rec.merged) {
        for (const Case &c : cases)
            if (c.copyAt >= 0 && m.arrivalMs >= c.copyAt * 1000 && placed.insert(c.name).second)
                place(c);
        ASSERT_EQ(w->write(feeder.make(m)), 0);
    }
    w->close();
    ASSERT_EQ(cb.files.size(), 1u);
    expectFinished(live, 11.5);
    for (const Case &c : cases)
        if (c.copyAt < 0)
            place(c);

    std::map<std::string, QByteArray> before;
    for (const Case &c : cases) {
        const std::string path = root + "/" + c.name + "/" + c.name + ".mp4";
        before[path] = contents(path);
        ASSERT_FALSE(before[path].isEmpty() && c.finalised) << c.name;
    }
    const int expected = int(std::count_if(std::begin(cases), std::end(cases), [](const Case &c) { return c.finalised; }));
    EXPECT_EQ(recoverUnfinishedRecordings(root), expected);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = root + "/" + c.name + "/" + c.name + ".mp4";
        if (c.finalised)
            // Lost: the fragment being written (0.8 s) and what the encoder
            // still held (its latency, about a second of video).
            expectFinished(path, c.copyAt - 2.0);
        else
            EXPECT_EQ(contents(path), before[path]) << "left untouched";
    }
    EXPECT_EQ(recoverUnfinishedRecordings(root), 0) << "nothing is left unfinished";
}

// A recording through the real module in a child process, killed with
// SIGKILL 30 s into the recording (media time: every packet stamped before
// 30 s has been delivered, faster than real time): the file left behind
// plays to at least 29 s, and the next start's recovery makes a regular
// MP4 file of about 30 s of it.
TEST(KxMp4Recovery, KilledRecordingPlaysAndIsFinalisedAtTheNextStart)
{
    std::string out;
    if (runCommand("ffprobe -version", &out, 20) != 0 || runCommand("ffmpeg -version", &out, 20) != 0)
        GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    const Recording &rec = cachedRecording(31, kCamera);
    QTemporaryDir dir;
    const std::string root = makeTestDir(dir);
    const std::string mp4 = root + "/MerioLesson/MerioLesson.mp4";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/MerioLesson")));

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
        KxLocalFileConfig cfg{mp4, root + "/key.m3u8", 5};
        cfg.width = kCamera.width;
        cfg.height = kCamera.height;
        if (files->start(cfg) != 0)
            _exit(2);
        PacketFeeder feeder;
        for (const auto &m : rec.merged)
            if (m.pts < 30LL * m.timeBase)
                files->inputMediaPacket(feeder.make(m));
        if (::write(ready[1], "k", 1) != 1)
            _exit(3);
        for (;;)
            pause();
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    const bool fed = poll(&p, 1, 180000) == 1 && ::read(ready[0], &c, 1) == 1;
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(ready[0]);
    ASSERT_TRUE(fed) << "the child did not record 30 s (status " << status << ")";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // Left behind: fragments that a player reads to the last one written.
    const auto left = topLevelBoxes(mp4);
    EXPECT_GT(std::count(left.begin(), left.end(), "moof"), 10);
    EXPECT_EQ(runCommand("ffmpeg -nostdin -v error -i '" + mp4 + "' -f null -", &out), 0);
    EXPECT_EQ(out, "") << "ffmpeg reported errors";
    const auto r = reach(probeFile(mp4, false));
    EXPECT_GE(r.first, 29.0) << "audio";
    EXPECT_GE(r.second, 29.0) << "video";

    // The next start.
    EXPECT_EQ(recoverUnfinishedRecordings(root), 1);
    expectFinished(mp4, 29.0);
    ASSERT_EQ(runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + mp4 + "'", &out), 0);
    EXPECT_NEAR(std::atof(out.c_str()), 30.0, 1.0);
}

} // namespace

// A read error part-way through finalising (the disk fails under the copy)
// leaves the recording byte for byte as it was and removes the copy; once
// the disk reads again the same file is finalised.
TEST(KxMp4Recovery, ReadErrorWhileFinalisingLeavesTheRecordingAsItWas)
{
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/left.mp4";
    KxWriterConfig cfg;
    cfg.path = path + ".live";
    cfg.params = defaultParams(kCamera);
    std::unique_ptr<IKxToLocalFile> w(createFileWriter(KX_CREATE_MP4_WRITER));
    ASSERT_EQ(w->init(cfg), 0);
    w->start();
    PacketFeeder feeder;
    QByteArray left; // what a process killed 8 s into the recording leaves
    for (const auto &m : cachedRecording(12, kCamera).merged) {
        if (left.isEmpty() && m.arrivalMs >= 8000)
            left = contents(cfg.path);
        ASSERT_EQ(w->write(feeder.make(m)), 0);
    }
    w->close();
    QFile out(QString::fromStdString(path));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(left) == left.size());
    out.close();
    std::string why;
    for (int64_t failAfter : {int64_t(0), int64_t(left.size() / 4), int64_t(left.size() / 2)}) {
        failFinaliseReadsAfterForTest(failAfter);
        EXPECT_FALSE(finaliseRecording(path, &why)) << failAfter;
        EXPECT_EQ(contents(path), left) << failAfter;
        EXPECT_FALSE(QFile::exists(QString::fromStdString(path + kFinalisingSuffix)));
    }
    failFinaliseReadsAfterForTest(-1);
    EXPECT_TRUE(finaliseRecording(path, &why)) << why;
    expectFinished(path, 6.0);
}
