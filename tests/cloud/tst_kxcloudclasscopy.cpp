// What the class finally gets of a lesson when the service misbehaves, one
// row per fault: the playlist and snapshots behind devcloud's watch page,
// whether the page is told the lesson is complete, whether ffmpeg plays the
// class's copy to the end, and what the teacher was told (pieces reported
// lost, progress, isUploadDone).

#include "KxCloudTestSupport.h"

#include "KxModuleClound.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

namespace {

const QString kBucketPath = QStringLiteral("api/bucket/bucket");
const QString kRecordPath = QStringLiteral("api/merioclass/merioclassroom");
const QString kNoticePath = QStringLiteral("api/merioclass/sendsure");
constexpr int kRetryLimitMs = 3000;
constexpr int kRequestTimeoutMs = 8000;

/// Video frames ffmpeg decodes from url (a file or a playlist), -1 when it fails.
int decodedFrames(const QString &url, QString *why)
{
    QProcess ff;
    ff.start(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-i", url, "-map", "0:v", "-f", "framecrc", "-"});
    if (!ff.waitForFinished(60000) || ff.exitCode() != 0) {
        ff.kill();
        *why = QString::fromLocal8Bit(ff.readAllStandardError());
        return -1;
    }
    int frames = 0;
    for (const QByteArray &line : ff.readAllStandardOutput().split('\n'))
        frames += !line.isEmpty() && !line.startsWith('#') ? 1 : 0;
    return frames;
}

class ClassCopy : public KxCloudTest {
protected:
    static void SetUpTestSuite()
    {
        // The bucket row's answer comes after 6 s: within the time-out.
        s_extraIni = QStringList({QStringLiteral("RequestTimeoutMs=%1").arg(kRequestTimeoutMs),
                                  QStringLiteral("RetryLimitMs=%1").arg(kRetryLimitMs)});
        KxCloudTest::SetUpTestSuite();
    }

    void offer(const QString &key, const QList<int> &segments, bool snapshot = false)
    {
        for (int i : segments)
            m_module->uploadVideo(segment(key, i).toUtf8().constData(), 1.0);
        QFile f(m_segDir + QLatin1Char('/') + key + QStringLiteral("-1.jpg"));
        if (snapshot && f.open(QIODevice::WriteOnly) && f.write(QByteArray(3000, 'j')) && f.flush())
            m_module->uploadPhoto(f.fileName().toUtf8().constData());
    }
    /// Starts, offers segments 0 and 1 and waits until both are registered.
    void startWithTwoRegistered(const QString &key)
    {
        ASSERT_TRUE(startRecording(key, key));
        offer(key, {0, 1});
        ASSERT_TRUE(kxWaitUntil([&] {
            return !m_cb.reports.last().isEmpty() && m_cb.reports.last().first().finished == 2 && m_module->pendingCount() == 0;
        }, 15000));
        ASSERT_TRUE(waitJournalSettled(5000));
    }

public:
    // ---- the lessons, one per fault -----------------------------------
    void noticeFailsTwice(const QString &key)
    {
        ASSERT_TRUE(s_cloud->addFault(kNoticePath, "status", 2, 503, 0, "POST"));
        ASSERT_TRUE(startRecording(key, key));
        offer(key, {0, 1}, true);
        m_module->stop(false);
    }
    void bucketAnsweredLate(const QString &key)
    {
        ASSERT_TRUE(s_cloud->addFault(kBucketPath, "delay", 1, 0, 6000));
        m_module->start(key, key);
        offer(key, {0, 1, 2}, true);
        m_module->stop(false);
    }
    void bucketFailsForGood(const QString &key)
    {
        ASSERT_TRUE(s_cloud->addFault(kBucketPath, "status", -1, 503));
        m_module->start(key, key);
        offer(key, {0, 1}, true);
        m_module->stop(false);
    }
    void slowCheckWhilePreviousUploads(const QString &key)
    {
        ASSERT_TRUE(startRecording(key, key));
        ASSERT_TRUE(s_cloud->addFault("storage/", "delay", 2, 0, 1500, "PUT"));
        offer(key, {0, 1});
        m_module->stop(false);
        // One probe of the service is slower than any reachability check.
        ASSERT_TRUE(s_cloud->addFault(QString(), "delay", 1, 0, 3500, "HEAD"));
        m_module->start(QStringLiteral("0123456789abcdef0123456789abcdef"), QStringLiteral("next"));
        // As the controller does on a reported loss.
        if (!m_cb.net.isEmpty() && !m_cb.net.last()) {
            m_module->notUploadList();
            m_module->cancelUpload();
        }
        m_module->stop(true);
        EXPECT_FALSE(m_cb.net.contains(false)) << "a single slow answer was reported as a loss";
    }
    void snapshotBeforeFirstRecordAnswer(const QString &key)
    {
        ASSERT_TRUE(s_cloud->addFault(kRecordPath, "delay", 1, 0, 1500, "POST"));
        m_module->start(key, key);
        offer(key, {}, true);
        offer(key, {0});
        m_module->stop(false);
    }
    void secondToLastPlaylistRecordFails(const QString &key)
    {
        startWithTwoRegistered(key);
        ASSERT_TRUE(s_cloud->addFault(kRecordPath, "status", 1, 503, 0, "POST"));
        offer(key, {2, 3});
        m_module->stop(false);
    }
    void storageOutage(const QString &key)
    {
        ASSERT_TRUE(startRecording(key, key));
        ASSERT_TRUE(s_cloud->addFault("storage/", "status", -1, 503, 0, "PUT"));
        offer(key, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
        QElapsedTimer ending;
        ending.start();
        m_module->stop(false);
        ASSERT_TRUE(kxWaitUntil([&] { return m_module->isUploadDone(); }, 60000));
        // One bound for the whole task, not one per segment.
        EXPECT_LE(ending.elapsed(), kRetryLimitMs + kRequestTimeoutMs + 3000);
    }
    void oneSegmentRefused(const QString &key)
    {
        startWithTwoRegistered(key);
        ASSERT_TRUE(s_cloud->addFault("storage/", "status", 1, 403, 0, "PUT"));
        offer(key, {2, 3, 4});
        m_module->stop(false);
    }
};

struct Row {
    const char *name;
    void (ClassCopy::*lesson)(const QString &key);
    int listed;        // segments in the class's final playlist; -1: no classroom
    int marks;         // #EXT-X-DISCONTINUITY lines in it
    int snapshots;     // snapshots on the class's page
    QStringList lost;  // what the teacher is told was lost (names after the key)
};

class ClassCopyFault : public ClassCopy, public ::testing::WithParamInterface<Row> {};

TEST_P(ClassCopyFault, ClassSeesTheLessonAndTheTeacherIsToldTheTruth)
{
    const Row row = GetParam();
    const QString key = QString::fromLatin1(QCryptographicHash::hash(row.name, QCryptographicHash::Md5).toHex());
    m_module->startSendProgress();
    (this->*row.lesson)(key);
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(kxWaitUntil([&] { return m_module->isUploadDone(); }, 40000)) << "the uploads never end";

    // The teacher is told the uploads are done: the class is told so as well.
    const int shareAt = m_cb.qrFiles.indexOf(key + QStringLiteral(".mp4"));
    const QString classroom = shareAt < 0 ? QString() : m_cb.qrCodes.at(shareAt).section(QStringLiteral("id="), 1);
    const QJsonArray records = requests("POST", kRecordPath);
    if (row.listed < 0) {
        EXPECT_TRUE(classroom.isEmpty());
        EXPECT_TRUE(records.isEmpty());
    } else {
        ASSERT_FALSE(classroom.isEmpty());
        const QJsonObject state = s_cloud->request("GET", "watch/state?id=" + classroom).json().object();
        EXPECT_TRUE(state.value("done").toBool()) << "the class's page never learns the lesson is complete";
        EXPECT_EQ(row.snapshots, state.value("snapshots").toArray().size());
        const QString playlistUrl = state.value("playlist").toString();
        const QByteArray playlist = s_cloud->request("GET", playlistUrl.mid(s_cloud->url().size())).body;
        EXPECT_EQ(row.listed, playlist.count("#EXTINF:")) << playlist.constData();
        EXPECT_EQ(row.marks, playlist.count("#EXT-X-DISCONTINUITY\n")) << playlist.constData();
        EXPECT_EQ(playlist.count("#EXT-X-DISCONTINUITY\n"), playlist.count("#EXT-X-DISCONTINUITY\n#EXTINF:"));
        EXPECT_TRUE(playlist.endsWith("#EXT-X-ENDLIST\n"));

        // One classroom per lesson, and the lists it received never shrink.
        int opened = 0;
        for (const QJsonValue &r : records)
            opened += kxParams(r).value("id").toString().isEmpty() && r.toObject().value("status").toInt() == 200;
        EXPECT_EQ(1, opened);
        int length = 0;
        for (const QJsonValue &r : s_cloud->admin("classroom", {{"id", classroom}}).toObject().value("records").toArray()) {
            const QJsonObject rec = r.toObject();
            if (rec.value("type").toString() != "1")
                continue;
            EXPECT_GE(rec.value("length").toString().toInt(), length) << "an older list arrived after a newer one";
            length = rec.value("length").toString().toInt();
        }

        // ffmpeg plays the class's copy to its end: every frame of every
        // listed segment.
        int expectedFrames = 0;
        QString why;
        for (const QByteArray &line : playlist.split('\n'))
            if (line.endsWith(".ts"))
                expectedFrames += decodedFrames(KxSegmentSource::folder() + QStringLiteral("/seg%1.ts").arg(
                    line.split('.').value(1).toInt() % KxSegmentSource::count(), 3, 10, QLatin1Char('0')), &why);
        if (row.listed > 0) {
            EXPECT_EQ(expectedFrames, decodedFrames(playlistUrl, &why)) << why.toStdString();
        }
    }
    // Segments went up in recording order.
    int lastIndex = -1;
    for (const QString &put : putPaths()) {
        if (!put.endsWith(QLatin1String(".ts")) || !put.contains(key))
            continue;
        const int index = put.section(QLatin1Char('.'), -2, -2).toInt();
        EXPECT_GE(index, lastIndex) << put.toStdString();
        lastIndex = index;
    }

    // What the teacher was told.
    QStringList told, expected;
    for (const auto &err : m_cb.errors)
        told << err.second;
    for (const QString &suffix : row.lost)
        expected << QStringLiteral("upload failed: ") + key + suffix;
    told.sort();
    expected.sort();
    EXPECT_EQ(expected, told);
    // The progress toast closes (nothing left) only when the task is done,
    // its notice included.
    for (const auto &report : m_cb.reports)
        for (const UploadProgress &p : report)
            EXPECT_LT(p.finished, p.total) << p.taskName.toStdString();
    ASSERT_FALSE(m_cb.reports.isEmpty());
    EXPECT_TRUE(m_cb.reports.last().isEmpty());
}

const QStringList kTen = {".000.ts", ".001.ts", ".002.ts", ".003.ts", ".004.ts",
                          ".005.ts", ".006.ts", ".007.ts", ".008.ts", ".009.ts"};

INSTANTIATE_TEST_SUITE_P(Fault, ClassCopyFault, ::testing::Values(
    Row{"noticeFailsTwice", &ClassCopy::noticeFailsTwice, 2, 0, 1, {}},
    Row{"bucketAnsweredLate", &ClassCopy::bucketAnsweredLate, 3, 0, 1, {}},
    Row{"bucketFailsForGood", &ClassCopy::bucketFailsForGood, -1, 0, 0, {".000.ts", ".001.ts", "-1.jpg"}},
    Row{"slowCheckWhilePreviousUploads", &ClassCopy::slowCheckWhilePreviousUploads, 2, 0, 0, {}},
    Row{"snapshotBeforeFirstRecordAnswer", &ClassCopy::snapshotBeforeFirstRecordAnswer, 1, 0, 1, {}},
    Row{"secondToLastPlaylistRecordFails", &ClassCopy::secondToLastPlaylistRecordFails, 4, 0, 0, {}},
    Row{"storageOutage", &ClassCopy::storageOutage, 0, 0, 0, kTen},
    Row{"oneSegmentRefused", &ClassCopy::oneSegmentRefused, 4, 1, 0, {".002.ts"}}),
    [](const ::testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

} // namespace
