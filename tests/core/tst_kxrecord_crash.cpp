// A lesson survives a crash: the headless recorder is killed 30 seconds
// into a recording; the MP4 file it leaves plays up to the kill, and the
// next construction of the commander turns it into a regular MP4 file.

#include "KxFileTestUtil.h"
#include "KxMasterCommander.h"
#include "KxMerioSettingsData.h"
#include "KxMp4Recovery.h"
#include "KxPulseFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>
#include <signal.h>

using namespace kxtest;

namespace {

// Seconds from the file's first packet to the end of each stream.
std::pair<double, double> reach(const ProbeResult &pr)
{
    double first = 1e18, audio = 0, video = 0;
    for (const ProbedPacket &p : pr.packets)
        first = std::min(first, p.pts);
    for (const ProbedPacket &p : pr.packets) {
        double &end = pr.streams[size_t(p.stream)].mediaType == 0 ? video : audio;
        end = std::max(end, p.pts + p.duration - first);
    }
    return {audio, video};
}

// The smallest step between consecutive video frames, in seconds.
double smallestVideoStep(const ProbeResult &pr)
{
    std::vector<double> pts;
    for (const ProbedPacket &p : pr.packets)
        if (pr.streams[size_t(p.stream)].mediaType == 0)
            pts.push_back(p.pts);
    std::sort(pts.begin(), pts.end());
    double step = 1e18;
    for (size_t i = 1; i < pts.size(); ++i)
        step = std::min(step, pts[i] - pts[i - 1]);
    return step;
}

} // namespace

TEST(RecorderCrash, KilledAfterThirtySecondsTheLessonPlaysAndIsFinishedAtTheNextStart)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    qputenv("HOME", QFile::encodeName(root.filePath("home")));
    qputenv("TMPDIR", QFile::encodeName(root.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath("data")));
    qputenv("KX_VERSION_INI", QFile::encodeName(root.filePath("none.ini")));
    qputenv("KX_VIRTUAL_CAMERA", "default");
    QDir().mkpath(root.filePath("home"));
    KxPulseDaemon pulse;
    ASSERT_TRUE(pulse.start()) << pulse.lastError().toStdString();

    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    recorder.setStandardOutputFile(QProcess::nullDevice());
    recorder.start(qEnvironmentVariable("KX_BIN_DIR") + "/kx-record", {"--seconds", "60", "--snapshots", "0"});
    ASSERT_TRUE(recorder.waitForStarted(10000));
    const QString documents = root.filePath("home") + "/Documents/NorviClass/NorviMerioShare";
    QString mp4;
    QElapsedTimer sinceFile;
    for (QElapsedTimer t; !t.isValid() || t.elapsed() < 20000; QThread::msleep(20)) {
        if (!t.isValid())
            t.start();
        const QStringList folders = QDir(documents).entryList({"MerioLesson *"}, QDir::Dirs);
        if (!folders.isEmpty()) {
            mp4 = documents + "/" + folders.first() + "/" + folders.first() + ".mp4";
            if (QFileInfo::exists(mp4))
                break;
        }
    }
    ASSERT_TRUE(QFileInfo::exists(mp4)) << "the recording did not start";
    sinceFile.start();
    // The file appears when the recording starts; kill 30 s later.
    QThread::msleep(30000);
    ::kill(pid_t(recorder.processId()), SIGKILL);
    ASSERT_TRUE(recorder.waitForFinished(10000));
    const double killedAt = sinceFile.elapsed() / 1000.0;

    // What the killed process left plays to (nearly) the kill: at most the
    // fragment being written and what the encoder held are lost. It is
    // decoded in its own time base: rounding the stamps to the nominal rate
    // first would test ffmpeg's rounding, not the file.
    std::string errors;
    EXPECT_EQ(runCommand("ffmpeg -v error -i '" + mp4.toStdString() + "' -enc_time_base -1 -f null - 2>&1", &errors,
                         120),
              0);
    EXPECT_EQ(errors, "");
    const ProbeResult left = probeFile(mp4.toStdString(), false);
    ASSERT_TRUE(left.opened) << left.error;
    const auto [audioLeft, videoLeft] = reach(left);
    EXPECT_GT(audioLeft, killedAt - 2.0);
    EXPECT_GT(videoLeft, killedAt - 2.0);
    // Frames keep the camera's spacing (15 per second, or gaps where it
    // dropped some) however late a busy machine handed them over.
    EXPECT_GT(smallestVideoStep(left), 1.0 / 15 - 0.003);
    EXPECT_TRUE(KxFileModule::isUnfinishedRecording(mp4.toStdString()));

    // The next start finishes it: a regular MP4 file of the same length.
    {
        KxMasterCommander next(KxMerioSettingsData::instance()->commanderConfig());
    }
    EXPECT_FALSE(KxFileModule::isUnfinishedRecording(mp4.toStdString()));
    const auto boxes = topLevelBoxes(mp4.toStdString());
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    std::string duration;
    ASSERT_EQ(runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + mp4.toStdString() + "'",
                         &duration, 60), 0);
    EXPECT_NEAR(std::stod(duration), std::max(audioLeft, videoLeft), 1.0);
    EXPECT_GT(std::stod(duration), killedAt - 2.0);
}
