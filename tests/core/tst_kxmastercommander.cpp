// The master commander end to end: the virtual camera, a private PulseAudio
// daemon with the unit's microphone and a private devcloud, all real; the
// commander built as the program builds it. What comes out is read back:
// the MP4 file, the snapshots, what the service stored and the work folder.

#include "KxDevCloudFixture.h"
#include "KxMasterCommander.h"
#include "KxMerioSettingsData.h"
#include "KxPulseFixture.h"
#include "KxAacProbe.h"
#include "camera/KxCameraDevice.h"
#include "KxTestMedia.h"
#include "IKxNetWorkManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sys/stat.h>

namespace {

const char *const kTitle = "MerioLesson";

// Everything the commander reports, in arrival order.
struct Reports {
    explicit Reports(KxMasterCommander *c)
    {
        QObject::connect(c, &KxMasterCommander::sigLocalFileStopped,
                         [this](const QString &f, const double &d, const double &s) {
                             stopped << f;
                             duration = d;
                             sizeKiB = s;
                         });
        QObject::connect(c, &KxMasterCommander::sigLocalFileBroken,
                         [this](const QString &f, const QString &) { broken << f; });
        QObject::connect(c, &KxMasterCommander::sigQRCodeChanged,
                         [this](const QString &, const QString &q) { qrcodes << q; });
        QObject::connect(c, &KxMasterCommander::sigCameraError, [this] { ++cameraErrors; });
        QObject::connect(c, &KxMasterCommander::sigUploadError, [this](const QString &d) { uploadErrors << d; });
    }
    QStringList stopped, broken, qrcodes, uploadErrors;
    double duration = 0, sizeKiB = 0;
    int cameraErrors = 0;
};

QString recordName(int offsetSeconds = 0)
{
    return QString(kTitle) + " " + QDateTime::currentDateTime().addSecs(offsetSeconds).toString("yyyyMMdd hhmmss");
}

// Runs a shell command; its output.
std::string run(const std::string &command, int *status = nullptr)
{
    std::string out;
    const int rc = kxtest::runCommand(command, &out, 60);
    if (status)
        *status = rc;
    return out;
}

std::string quoted(const QString &path)
{
    return "'" + path.toStdString() + "'";
}

class CommanderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_root = new QTemporaryDir;
        ASSERT_TRUE(s_root->isValid());
        // The settings take the home and temporary folders at first use.
        qputenv("HOME", QFile::encodeName(s_root->filePath("home")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(s_root->filePath("data")));
        qputenv("TMPDIR", QFile::encodeName(s_root->filePath("tmp")));
        QDir().mkpath(s_root->filePath("home"));
        QDir().mkpath(s_root->filePath("tmp"));
        qputenv("KX_VIRTUAL_CAMERA", "default");

        s_pulse = new KxPulseDaemon;
        ASSERT_TRUE(s_pulse->start()) << s_pulse->lastError().toStdString();
        s_cloud = new KxDevCloud;
        QString why;
        ASSERT_TRUE(s_cloud->start(&why)) << why.toStdString();
        qputenv("KX_VERSION_INI", s_cloud->writeVersionIni().toLocal8Bit());
        s_net = KxNetrelay::getInst(nullptr);
        qApp->setProperty("IKxNetWorkManager", QVariant::fromValue(s_net));
        qApp->setProperty("app_uuid", QUuid::createUuid().toString().remove(QRegExp("[{}-]")));
    }
    static void TearDownTestSuite()
    {
        qApp->setProperty("IKxNetWorkManager", QVariant());
        if (s_net)
            delete s_net->qobject();
        delete s_cloud;
        delete s_pulse;
        delete s_root;
    }

    static QTemporaryDir *s_root;
    static KxPulseDaemon *s_pulse;
    static KxDevCloud *s_cloud;
    static IKxNetWorkManager *s_net;
};

QTemporaryDir *CommanderTest::s_root = nullptr;
KxPulseDaemon *CommanderTest::s_pulse = nullptr;
KxDevCloud *CommanderTest::s_cloud = nullptr;
IKxNetWorkManager *CommanderTest::s_net = nullptr;

} // namespace

// A 12-second lesson with two snapshots: the MP4 file holds the whole lesson
// up to the stop, the class gets every segment, both snapshots and the share
// text, and nothing is left in the work folder.
TEST_F(CommanderTest, TwelveSecondLessonReachesTheFileAndTheClass)
{
    s_cloud->journal(true);
    KxMasterCommander commander(KxMerioSettingsData::instance()->commanderConfig());
    Reports reports(&commander);
    ASSERT_TRUE(commander.isCameraExist());
    ASSERT_GE(commander.preStart(), 0);
    const QString name = recordName();
    ASSERT_TRUE(commander.startToRecord(kTitle, name));
    commander.startSendProgress();
    for (int snapshotAtMs : {4000, 8000}) {
        ASSERT_TRUE(kxWaitUntil([&] { return commander.elapsed() >= snapshotAtMs; }, snapshotAtMs + 5000));
        EXPECT_EQ(commander.clipImage(), 0);
    }
    ASSERT_TRUE(kxWaitUntil([&] { return commander.elapsed() >= 12000; }, 10000));
    const double stoppedAt = commander.elapsed() / 1000.0;
    commander.stopToRecord(false);
    ASSERT_TRUE(kxWaitUntil([&] { return !reports.stopped.isEmpty(); }, 5000));
    EXPECT_TRUE(kxWaitUntil([&] { return commander.isUploadDone(); }, 60000)) << "uploads did not end";
    commander.stopSendProgress();

    const QString folder = KxMerioSettingsData::instance()->documentsPath() + "/" + name;
    const QString mp4 = folder + "/" + name + ".mp4";
    EXPECT_EQ(reports.stopped, QStringList{mp4});
    EXPECT_TRUE(reports.broken.isEmpty());
    EXPECT_EQ(reports.cameraErrors, 0);
    EXPECT_NEAR(reports.sizeKiB, QFileInfo(mp4).size() / 1024, 0.5);

    // The file: H.264 1280x720 and AAC 44.1 kHz stereo, decodable, and its
    // last second of picture and sound is there.
    const kxtest::ProbeResult probe = kxtest::probeFile(mp4.toStdString(), true, false);
    ASSERT_TRUE(probe.opened) << probe.error;
    EXPECT_EQ(probe.decodeErrors, 0);
    double videoEnd = 0, audioEnd = 0;
    int videoStreams = 0, audioStreams = 0;
    for (size_t i = 0; i < probe.streams.size(); ++i) {
        const kxtest::ProbedStream &s = probe.streams[i];
        if (s.mediaType == 0) {
            ++videoStreams;
            EXPECT_EQ(s.codecId, 27);
            EXPECT_EQ(s.width, 1280);
            EXPECT_EQ(s.height, 720);
        } else if (s.mediaType == 1) {
            ++audioStreams;
            EXPECT_EQ(s.codecId, 86018);
            EXPECT_EQ(s.sampleRate, 44100);
            EXPECT_EQ(s.channels, 2);
        }
    }
    EXPECT_EQ(videoStreams, 1);
    EXPECT_EQ(audioStreams, 1);
    for (const kxtest::ProbedPacket &p : probe.packets) {
        double &end = probe.streams[size_t(p.stream)].mediaType == 0 ? videoEnd : audioEnd;
        end = std::max(end, p.pts + p.duration - probe.startTime);
    }
    EXPECT_NEAR(videoEnd, stoppedAt, 0.6) << "the video ends where the recording stopped";
    EXPECT_NEAR(audioEnd, stoppedAt, 0.6) << "the sound ends where the recording stopped";

    // The tone in the last second of sound, the test picture in the last frame.
    const QString pcm = s_root->filePath("last.f32");
    // The encoder pads its last frame with silence, so the tone is measured
    // on the second before the final 150 ms.
    run("ffmpeg -v error -y -sseof -1.15 -i " + quoted(mp4) + " -vn -ac 1 -f f32le " + quoted(pcm));
    QFile pcmFile(pcm);
    ASSERT_TRUE(pcmFile.open(QIODevice::ReadOnly));
    const QByteArray samples = pcmFile.readAll();
    const int toneSamples = samples.size() / int(sizeof(float)) - 44100 * 15 / 100;
    ASSERT_GE(toneSamples, 22050);
    EXPECT_NEAR(KxAacProbe::measureFrequency(reinterpret_cast<const float *>(samples.constData()), toneSamples, 44100),
                KxPulseDaemon::kMicFrequency, 5);
    const QString yuv = s_root->filePath("last.yuv");
    run("ffmpeg -v error -y -ss " + std::to_string(std::max(0.0, videoEnd - 1.0)) + " -i " + quoted(mp4) +
        " -an -pix_fmt yuv420p -f rawvideo " + quoted(yuv));
    QFile yuvFile(yuv);
    ASSERT_TRUE(yuvFile.open(QIODevice::ReadOnly));
    const int frameBytes = 1280 * 720 * 3 / 2;
    ASSERT_GE(yuvFile.size(), frameBytes);
    yuvFile.seek(yuvFile.size() - frameBytes);
    const QByteArray frame = yuvFile.read(frameBytes);
    std::vector<uint8_t> pattern(size_t(frame.size()));
    double best = 0;
    for (int64_t n = 0; n < int64_t(stoppedAt * 15) + 30; ++n) {
        kxcam::renderTestPattern(1280, 720, n, pattern.data());
        double se = 0;
        for (int i = 0; i < 1280 * 720; ++i) {
            const double d = double(uint8_t(frame[i])) - pattern[size_t(i)];
            se += d * d;
        }
        best = std::max(best, 10 * std::log10(255.0 * 255.0 / std::max(se / (1280 * 720), 1e-9)));
    }
    EXPECT_GT(best, 28) << "the last frame is a picture of the camera's";

    // Snapshots, named after the label and numbered from 1.
    EXPECT_TRUE(QFileInfo(folder + "/MerioLesson1.jpg").size() > 0);
    EXPECT_TRUE(QFileInfo(folder + "/MerioLesson2.jpg").size() > 0);

    // The class: every segment uploaded in order, the last playlist lists
    // them all on one continuous timeline, snapshots uploaded and
    // registered, the share text, the completion notice.
    const QJsonArray journal = s_cloud->journal();
    QStringList segmentPuts, jpgPuts;
    int records = 0, sendsure = 0;
    QString lastPlaylist;
    for (const QJsonValue &v : journal) {
        const QJsonObject e = v.toObject();
        const QString path = e["path"].toString();
        if (e["method"].toString() == "PUT" && path.endsWith(".ts"))
            segmentPuts << path;
        if (e["method"].toString() == "PUT" && path.endsWith(".jpg"))
            jpgPuts << path;
        if (e["method"].toString() == "PUT" && path.endsWith(".m3u8"))
            lastPlaylist = path;
        if (path.endsWith("api/merioclass/merioclassroom"))
            ++records;
        if (path.endsWith("api/merioclass/sendsure"))
            ++sendsure;
    }
    ASSERT_GE(segmentPuts.size(), 3);
    QStringList sorted = segmentPuts;
    sorted.sort();
    EXPECT_EQ(segmentPuts, sorted) << "segments uploaded in order";
    EXPECT_EQ(jpgPuts.size(), 2);
    EXPECT_GE(records, 3) << "playlist and both snapshots registered";
    EXPECT_GE(sendsure, 1);
    ASSERT_EQ(reports.qrcodes.size(), 1);
    EXPECT_FALSE(reports.qrcodes.first().isEmpty());
    ASSERT_FALSE(lastPlaylist.isEmpty());
    const KxDevCloud::Reply playlist = s_cloud->request("GET", lastPlaylist.mid(lastPlaylist.startsWith('/') ? 1 : 0));
    ASSERT_EQ(playlist.status, 200) << lastPlaylist.toStdString();
    const QStringList lines = QString::fromUtf8(playlist.body).split('\n', Qt::SkipEmptyParts);
    double listed = 0;
    int listedSegments = 0;
    for (const QString &line : lines) {
        if (line.startsWith("#EXTINF:")) {
            listed += line.mid(8).section(',', 0, 0).toDouble();
            ++listedSegments;
        }
    }
    EXPECT_EQ(listedSegments, segmentPuts.size());
    EXPECT_TRUE(lines.contains("#EXT-X-ENDLIST"));
    EXPECT_NEAR(listed, stoppedAt, 0.8) << "the segments' durations add up to the lesson";

    QStringList leftovers = QDir(commander.tmpPath()).entryList({"*.ts"}, QDir::Files);
    EXPECT_TRUE(leftovers.isEmpty()) << leftovers.join(' ').toStdString();
}

// Short recordings are thrown away, a camera that cannot start gives false,
// keys differ between recordings, and the work folder is private: wiped at
// every construction, never a link that points elsewhere.
TEST_F(CommanderTest, ShortRecordingsFailuresAndThePrivateWorkFolder)
{
    const QString tmpPath = KxMerioSettingsData::instance()->tmpPath();
    QStringList playlists;
    {
        KxMasterCommander commander(KxMerioSettingsData::instance()->commanderConfig());
        Reports reports(&commander);
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(commander.tmpPath()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(commander.tmpPath(), tmpPath);
        QFile(tmpPath + "/left-by-an-earlier-run.ts").open(QIODevice::WriteOnly);

        for (int i = 0; i < 2; ++i) {
            const QString name = recordName(i * 10);
            ASSERT_TRUE(commander.startToRecord(kTitle, name));
            playlists << commander.playlistPath();
            ASSERT_TRUE(kxWaitUntil([&] { return commander.elapsed() >= 3000; }, 8000));
            commander.stopToRecord(true);
            const QString folder = KxMerioSettingsData::instance()->documentsPath() + "/" + name;
            EXPECT_TRUE(kxWaitUntil([&] { return !QDir(folder).exists(); }, 5000)) << "discarded folder stays";
        }
        EXPECT_EQ(reports.cameraErrors, 0);
    }
    ASSERT_EQ(playlists.size(), 2);
    EXPECT_NE(playlists[0], playlists[1]) << "two recordings share a key";

    {
        KxMasterCommander second(KxMerioSettingsData::instance()->commanderConfig());
        EXPECT_EQ(QDir(tmpPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"recording.lock"}) << "a new construction leaves only its lock in the work folder";
    }

    // The work folder's name made a link to a folder of value: it is left
    // alone, and a fresh private folder is used instead.
    const QString valuable = s_root->filePath("valuable");
    QDir().mkpath(valuable);
    QFile keep(valuable + "/thesis.txt");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("keep me");
    keep.close();
    ASSERT_TRUE(QDir(tmpPath).removeRecursively());
    ASSERT_TRUE(QFile::link(valuable, tmpPath));
    {
        KxMasterCommander linked(KxMerioSettingsData::instance()->commanderConfig());
        EXPECT_TRUE(QFileInfo(valuable + "/thesis.txt").exists());
        EXPECT_TRUE(QFileInfo(tmpPath).isSymLink());
        EXPECT_NE(linked.tmpPath(), tmpPath);
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(linked.tmpPath()).constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    QFile::remove(tmpPath);

    // A camera that fails to start: false, and nothing of the attempt stays.
    QTemporaryDir cams;
    QFile json(cams.filePath("cameras.json"));
    ASSERT_TRUE(json.open(QIODevice::WriteOnly));
    json.write(R"({"devices": [{"name": "VANTRI Multimedia Unit HD",
        "capabilities": [{"format": "MJPG", "width": 1280, "height": 720, "fps": 15}],
        "faults": {"failStart": true}}]})");
    json.close();
    qputenv("KX_VIRTUAL_CAMERA", QFile::encodeName(json.fileName()));
    {
        KxMasterCommander failing(KxMerioSettingsData::instance()->commanderConfig());
        ASSERT_TRUE(failing.isCameraExist());
        const QString name = recordName(30);
        EXPECT_FALSE(failing.startToRecord(kTitle, name));
        const QString mp4 = KxMerioSettingsData::instance()->documentsPath() + "/" + name + "/" + name + ".mp4";
        EXPECT_TRUE(kxWaitUntil([&] { return !QFileInfo(mp4).exists(); }, 3000));
    }
    qputenv("KX_VIRTUAL_CAMERA", "default");
}

// Faults during a lesson: no microphone, the cloud service unreachable, and
// the camera unplugged after three seconds. The camera failure is reported
// once; what was recorded stays whole and playable on disk.
TEST_F(CommanderTest, CameraUnpluggedWithoutMicrophoneOrNetwork)
{
    QTemporaryDir cams;
    QFile json(cams.filePath("cameras.json"));
    ASSERT_TRUE(json.open(QIODevice::WriteOnly));
    json.write(R"({"devices": [{"name": "VANTRI Multimedia Unit HD",
        "capabilities": [{"format": "MJPG", "width": 1280, "height": 720, "fps": 15}],
        "faults": {"stopAfterSeconds": 3}}]})");
    json.close();
    qputenv("KX_VIRTUAL_CAMERA", QFile::encodeName(json.fileName()));
    KxMerioSettingsData *settings = KxMerioSettingsData::instance();
    const QString micPattern = settings->audioDevicePattern();
    settings->setDevicePatterns(settings->cameraNamePattern(), "^No Such Microphone$");
    ASSERT_TRUE(s_cloud->setOffline(true));

    const QString name = recordName(60);
    {
        KxMasterCommander commander(KxMerioSettingsData::instance()->commanderConfig());
        Reports reports(&commander);
        ASSERT_TRUE(commander.startToRecord(kTitle, name));
        ASSERT_TRUE(kxWaitUntil([&] { return commander.elapsed() >= 1500; }, 8000));
        EXPECT_EQ(commander.clipImage(), 0);
        ASSERT_TRUE(kxWaitUntil([&] { return reports.cameraErrors > 0; }, 10000)) << "the unplug is not reported";
        commander.stopToRecord(false);
        kxWaitUntil([] { return false; }, 1500);
        EXPECT_EQ(reports.cameraErrors, 1);
        ASSERT_EQ(reports.stopped.size(), 1);
        EXPECT_TRUE(reports.broken.isEmpty());
    }
    s_cloud->setOffline(false);
    settings->setDevicePatterns(settings->cameraNamePattern(), micPattern);
    qputenv("KX_VIRTUAL_CAMERA", "default");

    const QString folder = settings->documentsPath() + "/" + name;
    EXPECT_GT(QFileInfo(folder + "/MerioLesson1.jpg").size(), 0);
    const kxtest::ProbeResult probe = kxtest::probeFile((folder + "/" + name + ".mp4").toStdString(), true, false);
    ASSERT_TRUE(probe.opened) << probe.error;
    EXPECT_EQ(probe.decodeErrors, 0);
    int videoPackets = 0;
    double videoEnd = 0;
    for (const kxtest::ProbedPacket &p : probe.packets) {
        ASSERT_EQ(probe.streams[size_t(p.stream)].mediaType, 0) << "sound without a microphone";
        ++videoPackets;
        videoEnd = std::max(videoEnd, p.pts + p.duration - probe.startTime);
    }
    // Three seconds of camera, less its start on a loaded machine.
    EXPECT_GE(videoPackets, 12);
    EXPECT_GT(videoEnd, 1.0);
}

// Every way out ends in the commander's teardown: a lesson running then is
// kept as a regular MP4 file as long as it (one under five seconds is still
// thrown away), and one given a taken name goes beside it, never over it.
TEST_F(CommanderTest, TeardownDuringALessonKeepsIt)
{
    const QString docs = KxMerioSettingsData::instance()->documentsPath(), taken = recordName(127),
                  shortName = recordName(140);
    for (const auto &[ms, stored] : {std::pair{7000, taken}, {2500, QString()}, {6000, taken + " (2)"}}) {
        double stoppedAt = 0;
        {
            KxMasterCommander commander(KxMerioSettingsData::instance()->commanderConfig());
            ASSERT_TRUE(commander.startToRecord(kTitle, stored.isEmpty() ? shortName : taken));
            ASSERT_TRUE(kxWaitUntil([&] { return commander.elapsed() >= ms; }, ms + 8000));
            stoppedAt = commander.elapsed() / 1000.0;
        }
        const std::string mp4 = (docs + "/" + stored + "/" + stored + ".mp4").toStdString();
        if (!stored.isEmpty()) {
            EXPECT_NEAR(kxtest::regularMp4Seconds(mp4), stoppedAt, 1.0) << mp4;
        }
    }
    EXPECT_TRUE(kxWaitUntil([&] { return !QDir(docs + "/" + shortName).exists(); }, 3000)) << "short lesson kept";
    EXPECT_GT(kxtest::regularMp4Seconds((docs + "/" + taken + "/" + taken + ".mp4").toStdString()), 6.7) << "written over";
}

// One recording process per user: a second commander built during a lesson,
// and a second kx-record (non-zero exit, reason on stderr), refuse to record,
// naming the recording process, and leave the work folder alone; the first
// lesson ends whole with every segment uploaded.
TEST_F(CommanderTest, SecondCommanderLeavesTheRunningLessonWhole)
{
    const QString name = recordName(200);
    KxMasterCommander first(KxMerioSettingsData::instance()->commanderConfig());
    ASSERT_TRUE(first.startToRecord(kTitle, name));
    ASSERT_TRUE(kxWaitUntil([&] { return first.elapsed() >= 6000; }, 12000));
    {
        KxMasterCommander second(KxMerioSettingsData::instance()->commanderConfig());
        EXPECT_FALSE(second.startToRecord(kTitle, recordName(230)));
        EXPECT_EQ(second.startError(),
                  QString("another recording is running (pid %1)").arg(QCoreApplication::applicationPid()));
    }
    int status = 0;
    const std::string err = run("sh -c \"" + quoted(qEnvironmentVariable("KX_BIN_DIR") + "/kx-record") + " --seconds 5 2>&1 >/dev/null\"", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(err.find("kx-record: another recording is running (pid " + std::to_string(::getpid()) + ")"), std::string::npos) << err;
    EXPECT_TRUE(QFileInfo::exists(first.playlistPath())) << "the second commander wiped the work folder";
    ASSERT_TRUE(kxWaitUntil([&] { return first.elapsed() >= 11000; }, 10000));
    const double stoppedAt = first.elapsed() / 1000.0;
    first.stopToRecord(false);
    EXPECT_TRUE(kxWaitUntil([&] { return first.isUploadDone() && first.cloudNotUploadList().isEmpty(); }, 60000));
    const QString mp4 = KxMerioSettingsData::instance()->documentsPath() + "/" + name + "/" + name + ".mp4";
    EXPECT_NEAR(kxtest::regularMp4Seconds(mp4.toStdString()), stoppedAt, 1.0);
}
