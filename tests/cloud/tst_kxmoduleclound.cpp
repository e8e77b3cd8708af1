// Cloud module against a real devcloud on loopback: the full course of a
// recording with real TS segments, the segment chain and its playlists, the
// remote names, progress, completion, cancelling, and the cases where a
// segment arrives while the opening playlist is still in flight.

#include "KxCloudTestSupport.h"

#include "IKxMediaPacket.h"
#include "KxModuleClound.h"
#include "KxModulePhoto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <thread>

namespace {

const QString kKey = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString kName = QStringLiteral("Lesson 20261207 080000");
// The service stamps a request's end after its answer is on the wire, so the
// next request may be stamped a moment before it; every delay injected here
// is far longer than this.
constexpr double kJournalSlack = 0.05;

class CloudCourse : public KxCloudTest {
protected:
    static QString fileName(const QString &path) { return path.section(QLatin1Char('/'), -1); }
    static double t(const QJsonObject &o, const char *k) { return o.value(QLatin1String(k)).toDouble(); }

    /// PUTs of one task that are not snapshots, as (file name, entry).
    QList<QJsonObject> chainPuts() const
    {
        QList<QJsonObject> out;
        for (const QJsonValue &v : requests(QStringLiteral("PUT"), QStringLiteral("storage/"))) {
            const QString path = v.toObject().value(QStringLiteral("path")).toString();
            if (!path.endsWith(QLatin1String(".jpg")))
                out << v.toObject();
        }
        return out;
    }
    QJsonArray records(const QString &type) const
    {
        QJsonArray out;
        for (const QJsonValue &v : requests(QStringLiteral("POST"), QStringLiteral("api/merioclass/merioclassroom")))
            if (kxParams(v).value(QStringLiteral("type")).toString() == type)
                out.append(v);
        return out;
    }

    /// Downloads the playlist and every segment it names into a local
    /// mirror and returns the path of a local copy whose entries point at
    /// the mirrored files. The service stores each file under its bucket;
    /// the playlist names segments by their path in the bucket.
    QString mirrorPlaylist(const QString &remotePlaylist, QByteArray *original)
    {
        const QString mirror = m_work + QStringLiteral("/mirror");
        QDir().mkpath(mirror);
        *original = s_cloud->fetch(s_bucket, remotePlaylist);
        QByteArray local;
        for (const QByteArray &line : original->split('\n')) {
            if (line.startsWith('/')) {
                const QString remote = QString::fromUtf8(line);
                const QByteArray data = s_cloud->fetch(s_bucket, remote);
                const QString dst = mirror + remote;
                QDir().mkpath(QFileInfo(dst).path());
                QFile f(dst);
                if (!data.isEmpty() && f.open(QIODevice::WriteOnly))
                    f.write(data);
                local += dst.toUtf8() + '\n';
            } else if (!line.isEmpty()) {
                local += line + '\n';
            }
        }
        const QString path = mirror + QStringLiteral("/play.m3u8");
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(local);
        return path;
    }
};

QByteArray jpegLike(int n)
{
    QByteArray b(2048 + n * 1500, char(n));
    b[0] = char(0xff);
    b[1] = char(0xd8);
    return b;
}

TEST_F(CloudCourse, FullRecordingWithRealSegmentsAndSnapshots)
{
    // Every storage PUT takes a little while, so each record reply is back
    // before the next playlist is named and the names alternate 1, 2, 1, 2.
    ASSERT_TRUE(s_cloud->addFault(QStringLiteral("storage/"), QStringLiteral("delay"), -1, 0, 150, QStringLiteral("PUT")));
    m_module->startSendProgress();
    ASSERT_EQ(1, m_cb.reports.size());
    EXPECT_TRUE(m_cb.reports.first().isEmpty());

    ASSERT_TRUE(startRecording(kKey, kName));
    ASSERT_EQ(1, m_cb.qrCodes.size());
    EXPECT_EQ(kName + ".mp4", m_cb.qrFiles.first());
    const QString share = m_cb.qrCodes.first();
    const QRegularExpressionMatch m = QRegularExpression("^" + QRegularExpression::escape(s_cloud->url()) + "watch\\?id=(\\d+)$").match(share);
    ASSERT_TRUE(m.hasMatch()) << share.toStdString();
    const QString classroom = m.captured(1);

    // Snapshots through the real photo module on a thread of their own,
    // segments from a writer thread, all three before the first is up.
    KxModulePhoto photo;
    photo.init();
    photo.setCloundModule(m_module);
    const QString photoDir = m_work + "/photos";
    photo.config(photoDir, "Lesson");
    std::thread photoThread([&photo] {
        for (int i = 1; i <= 2; ++i) {
            IKxMediaPacket *p = createMediaPacket();
            const QByteArray data = jpegLike(i);
            p->setType(KX_PACKET_PHOTO);
            p->alloc(data.size());
            p->setData(data.constData(), data.size());
            photo.saveMediaPacket(p);
            p->release();
        }
    });
    QStringList segs;
    for (int i = 0; i < 3; ++i)
        segs << segment(kKey, i);
    offerVideoFromThread(segs, 1.0);
    photoThread.join();
    m_module->stop(false);

    ASSERT_TRUE(waitNoTask(30000)) << "task did not complete";
    ASSERT_TRUE(waitNoticesAnswered(1, 5000));
    ASSERT_TRUE(waitJournalSettled(5000));
    EXPECT_TRUE(m_module->isUploadDone());
    EXPECT_TRUE(m_module->notUploadList().isEmpty());

    // Bucket query: one GET with type=merioclass.
    const QJsonArray bucketGets = requests("GET", "api/bucket/bucket");
    ASSERT_EQ(1, bucketGets.size());
    EXPECT_EQ("merioclass", kxParams(bucketGets[0]).value("type").toString());

    // The chain: opening playlist, then segment, playlist, strictly serial.
    const QList<QJsonObject> chain = chainPuts();
    ASSERT_EQ(7, chain.size());
    const QStringList expectNames = {kKey + "-1.m3u8", kKey + ".000.ts", kKey + "-2.m3u8", kKey + ".001.ts",
                                     kKey + "-1.m3u8", kKey + ".002.ts", kKey + "-2.m3u8"};
    const QRegularExpression remoteRe("^storage/" + s_bucket + "/MerioClass/\\d{14}-" + kKey + "/[^/]+$");
    QList<QPair<double, QString>> listed;
    for (int i = 0; i < chain.size(); ++i) {
        const QString path = chain[i].value("path").toString();
        EXPECT_EQ(expectNames[i], fileName(path)) << i;
        EXPECT_TRUE(remoteRe.match(path).hasMatch()) << path.toStdString();
        EXPECT_EQ(200, chain[i].value("status").toInt()) << i;
        if (i > 0) {
            EXPECT_GE(t(chain[i], "time") + kJournalSlack, t(chain[i - 1], "end")) << "overlap before " << path.toStdString();
        }
        if (path.endsWith(".ts")) {
            listed.append({1.0, remoteOf(path)});
            EXPECT_EQ(QFileInfo(KxSegmentSource::folder() + QStringLiteral("/seg%1.ts").arg(listed.size() - 1, 3, 10, QLatin1Char('0'))).size(),
                      chain[i].value("bytes").toInt());
        } else {
            // Each playlist lists exactly the segments uploaded before it.
            EXPECT_EQ(playlistText(listed).size(), chain[i].value("bytes").toInt()) << i;
        }
    }
    // The last playlist, fetched back, is byte-exact.
    const QString lastPlaylist = remoteOf(chain.last().value("path").toString());
    EXPECT_EQ(playlistText(listed), s_cloud->fetch(s_bucket, lastPlaylist));

    // Playlist records: the first without a classroom id, the rest with it.
    const QJsonArray plRecords = records("1");
    ASSERT_EQ(4, plRecords.size());
    QSet<QString> codes;
    for (int i = 0; i < plRecords.size(); ++i) {
        const QJsonObject p = kxParams(plRecords[i]);
        EXPECT_EQ("m3u8", p.value("filetype").toString());
        EXPECT_EQ(kName + ".mp4", p.value("name").toString());
        EXPECT_EQ(i == 0 ? QString() : classroom, p.value("id").toString()) << i;
        EXPECT_EQ(QString::number(std::max(1, i)), p.value("length").toString()) << i;
        codes.insert(p.value("code").toString());
    }
    EXPECT_EQ("0", kxParams(plRecords[0]).value("size").toString());
    qint64 kib = 0;
    double sum = 0;
    for (int i = 0; i < 3; ++i) {
        sum += QFileInfo(KxSegmentSource::folder() + QStringLiteral("/seg%1.ts").arg(i, 3, 10, QLatin1Char('0'))).size() / 1024.0;
        kib = qint64(sum);
    }
    EXPECT_EQ(QString::number(kib), kxParams(plRecords[3]).value("size").toString());
    EXPECT_EQ(lastPlaylist, kxParams(plRecords[3]).value("path").toString());

    // Snapshot records.
    const QJsonArray snapRecords = records("2");
    ASSERT_EQ(2, snapRecords.size());
    QStringList snapNames;
    for (const QJsonValue &v : snapRecords) {
        const QJsonObject p = kxParams(v);
        EXPECT_EQ("png", p.value("filetype").toString());
        EXPECT_EQ(classroom, p.value("id").toString());
        EXPECT_FALSE(p.contains("length"));
        snapNames << p.value("name").toString();
        const QString local = photoDir + "/" + p.value("name").toString();
        EXPECT_EQ(QString::number(QFileInfo(local).size() / 1024), p.value("size").toString());
        EXPECT_EQ(QFile(local).size(), s_cloud->fetch(s_bucket, p.value("path").toString()).size());
        codes.insert(p.value("code").toString());
    }
    snapNames.sort();
    EXPECT_EQ(QStringList({"Lesson1.jpg", "Lesson2.jpg"}), snapNames);
    EXPECT_EQ(6, codes.size()) << "request codes repeat";

    // Completion: one notice, after the last record reply, for our classroom.
    const QJsonArray done = requests("POST", "api/merioclass/sendsure");
    ASSERT_EQ(1, done.size());
    EXPECT_EQ(classroom, kxParams(done[0]).value("id").toString()) << QJsonDocument(done[0].toObject()).toJson().constData();
    double lastRecordEnd = 0;
    for (const QJsonValue &v : requests("POST", "api/merioclass/merioclassroom"))
        lastRecordEnd = std::max(lastRecordEnd, t(v.toObject(), "end"));
    EXPECT_GE(t(done[0].toObject(), "time") + kJournalSlack, lastRecordEnd);

    // Local segments are gone, snapshots stay.
    for (const QString &s : segs)
        EXPECT_FALSE(QFileInfo::exists(s)) << s.toStdString();
    EXPECT_TRUE(QFileInfo::exists(photoDir + "/Lesson1.jpg"));

    // Progress: totals of the task, finished never falls and ends complete.
    int lastFinished = 0;
    UploadProgress last;
    for (const auto &report : m_cb.reports) {
        for (const UploadProgress &p : report) {
            EXPECT_EQ(kKey, p.taskId);
            EXPECT_EQ(kName + ".mp4", p.taskName);
            EXPECT_LE(p.finished, p.total);
            EXPECT_GE(p.finished, lastFinished);
            lastFinished = p.finished;
            last = p;
        }
    }
    // The completion notice counts as a piece until it is accepted; then
    // the task is no longer listed.
    EXPECT_EQ(6, last.total);
    EXPECT_EQ(5, last.finished);
    EXPECT_TRUE(m_cb.reports.last().isEmpty());

    // The service's page shows the last playlist; the playlist plays.
    const KxDevCloud::Reply page = s_cloud->request("GET", "watch?id=" + classroom);
    EXPECT_EQ(200, page.status);
    EXPECT_TRUE(page.body.contains(lastPlaylist.toUtf8())) << page.body.constData();

    QByteArray original;
    const QString local = mirrorPlaylist(lastPlaylist, &original);
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-count_packets", "-show_entries", "stream=codec_name,nb_read_packets",
                            "-show_entries", "format=duration", "-of", "json", local});
    ASSERT_TRUE(probe.waitForFinished(30000));
    ASSERT_EQ(0, probe.exitCode()) << probe.readAllStandardError().constData();
    const QJsonObject info = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
    QStringList codecs;
    for (const QJsonValue &s : info.value("streams").toArray()) {
        codecs << s.toObject().value("codec_name").toString();
        EXPECT_GT(s.toObject().value("nb_read_packets").toString().toInt(), 20);
    }
    codecs.sort();
    EXPECT_EQ(QStringList({"aac", "h264"}), codecs);
    EXPECT_NEAR(3.0, info.value("format").toObject().value("duration").toString().toDouble(), 0.4);
}

TEST_F(CloudCourse, OpeningPlaylistAndPlaylistTextAreByteExact)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    const QByteArray empty("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:11\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-ENDLIST\n");
    const QStringList puts = putPaths();
    ASSERT_EQ(1, puts.size());
    EXPECT_EQ(empty, s_cloud->fetch(s_bucket, remoteOf(puts[0])));
    QFile localPl(m_work + "/tmp/" + kKey + ".m3u8");
    ASSERT_TRUE(localPl.open(QIODevice::ReadOnly));
    EXPECT_EQ(empty, localPl.readAll());
    localPl.close();

    // Durations are written in general notation, six significant digits.
    const QList<double> durations = {10.0, 9.96, 1.0 / 3.0, 5.0000004, 123456.7};
    for (int i = 0; i < durations.size(); ++i)
        m_module->uploadVideo(segment(kKey, i).toUtf8().constData(), durations[i]);
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(30000));
    ASSERT_TRUE(waitJournalSettled(5000));

    QList<QPair<double, QString>> listed;
    QString lastPl;
    for (const QString &p : putPaths()) {
        if (p.endsWith(".ts"))
            listed.append({durations[listed.size()], remoteOf(p)});
        else
            lastPl = remoteOf(p);
    }
    const QByteArray text = s_cloud->fetch(s_bucket, lastPl);
    EXPECT_EQ(playlistText(listed), text);
    EXPECT_TRUE(text.contains("#EXTINF:10,\n"));
    EXPECT_TRUE(text.contains("#EXTINF:9.96,\n"));
    EXPECT_TRUE(text.contains("#EXTINF:0.333333,\n"));
    EXPECT_TRUE(text.contains("#EXTINF:5,\n"));
    EXPECT_TRUE(text.contains("#EXTINF:123457,\n"));
    // The record carries the truncated total length.
    const QJsonArray recs = requests("POST", "api/merioclass/merioclassroom");
    EXPECT_EQ("123481", kxParams(recs.last()).value("length").toString());
}

TEST_F(CloudCourse, SegmentWhileOpeningPlaylistInFlightIsSentOnce)
{
    // The opening playlist takes 0.3 s, the first segment 1.5 s: the
    // opening job ends while the segment's own job still runs.
    ASSERT_TRUE(s_cloud->addFault("storage/", "delay", 1, 0, 300, "PUT"));
    ASSERT_TRUE(s_cloud->addFault("storage/", "delay", 1, 0, 1500, "PUT"));
    m_module->start(kKey, kName);
    ASSERT_TRUE(kxWaitUntil([&] { return putPaths().size() == 1; }, 10000));
    const QString s0 = segment(kKey, 0), s1 = segment(kKey, 1);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    ASSERT_TRUE(kxWaitUntil([&] { return m_cb.qrCodes.size() == 1; }, 10000));
    m_module->uploadVideo(s1.toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(30000));
    ASSERT_TRUE(waitJournalSettled(5000));

    QStringList names;
    for (const QString &p : putPaths())
        names << p.section('/', -1);
    EXPECT_EQ(1, names.count(kKey + ".000.ts")) << names.join(' ').toStdString();
    EXPECT_EQ(1, names.count(kKey + ".001.ts")) << names.join(' ').toStdString();
    EXPECT_EQ(5, names.size()) << names.join(' ').toStdString();

    // The final playlist lists both segments once each, in order, with
    // their own remote paths.
    QList<QPair<double, QString>> listed;
    QString lastPl;
    for (const QString &p : putPaths()) {
        if (p.endsWith(".ts"))
            listed.append({1.0, remoteOf(p)});
        else
            lastPl = remoteOf(p);
    }
    EXPECT_EQ(playlistText(listed), s_cloud->fetch(s_bucket, lastPl));
    EXPECT_EQ(0, m_log->count({"KxModuleClound::sltUploadFinished", "segment not pending"}));
}

TEST_F(CloudCourse, CompletesOnlyAfterThePlaylistListingTheLastSegmentIsRegistered)
{
    // The opening record's reply comes after the first segment is up but
    // before the reply for the playlist that lists it; a reply must not
    // stand for a segment its playlist does not list.
    ASSERT_TRUE(s_cloud->addFault("api/merioclass/merioclassroom", "delay", 1, 0, 800));
    ASSERT_TRUE(s_cloud->addFault("api/merioclass/merioclassroom", "delay", 1, 0, 2500));
    m_module->start(kKey, kName);
    ASSERT_TRUE(kxWaitUntil([&] { return m_module->taskCount() == 1; }, 10000));
    m_module->uploadVideo(segment(kKey, 0).toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(30000));
    ASSERT_TRUE(waitNoticesAnswered(1, 5000));
    ASSERT_TRUE(waitJournalSettled(5000));

    const QJsonArray recs = requests("POST", "api/merioclass/merioclassroom");
    ASSERT_EQ(2, recs.size());
    const QJsonArray done = requests("POST", "api/merioclass/sendsure");
    ASSERT_EQ(1, done.size());
    for (const QJsonValue &r : recs)
        EXPECT_GE(done[0].toObject().value("time").toDouble() + kJournalSlack, r.toObject().value("end").toDouble());
    EXPECT_EQ(0, m_log->count({" task no matched. "}));
    EXPECT_EQ(1, m_cb.qrCodes.size());
}

TEST_F(CloudCourse, StopAfterEverythingIsRegisteredCompletesAtOnce)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    const QString s0 = segment(kKey, 0);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    ASSERT_TRUE(kxWaitUntil([&] { return requests("POST", "api/merioclass/merioclassroom").size() == 2 && m_module->pendingCount() == 0; }, 10000));
    EXPECT_EQ(1, m_module->taskCount());
    EXPECT_TRUE(QFileInfo::exists(s0));
    // No reply is left to come: stop itself sends the completion notice,
    // and the task is done once the notice is accepted.
    m_module->stop(false);
    EXPECT_FALSE(m_module->isUploadDone());
    ASSERT_TRUE(waitNoTask(10000));
    EXPECT_FALSE(QFileInfo::exists(s0));
    EXPECT_TRUE(m_module->isUploadDone());
    EXPECT_EQ(1, requests("POST", "api/merioclass/sendsure").size());

    // A recording stopped before its opening record is answered waits for
    // that answer (it carries the share text).
    ASSERT_TRUE(s_cloud->addFault("api/merioclass/merioclassroom", "delay", 1, 0, 500));
    const QString key2 = QStringLiteral("22222222222222222222222222222222");
    m_module->start(key2, "second");
    ASSERT_TRUE(kxWaitUntil([&] { return m_module->pendingCount() == 1; }, 10000));
    m_module->stop(false);
    EXPECT_EQ(1, m_module->taskCount());
    ASSERT_TRUE(waitNoTask(10000));
    EXPECT_EQ(2, m_cb.qrCodes.size());
}

TEST_F(CloudCourse, ProgressCountsOnlyRegisteredPieces)
{
    // Every record request fails for a passing reason: all 34 pieces go up,
    // none is registered while the requests are sent again.
    ASSERT_TRUE(s_cloud->addFault("api/merioclass/merioclassroom", "status", -1, 503));
    ASSERT_TRUE(startRecording(kKey, kName, false));
    ASSERT_TRUE(kxWaitUntil([&] { return m_module->taskCount() == 1; }, 10000));
    QStringList files;
    std::vector<QByteArray> utf8;
    for (int i = 0; i < 34; ++i) {
        const QString f = QStringLiteral("%1/%2.%3.%4").arg(m_segDir, kKey).arg(i, 3, 10, QLatin1Char('0')).arg(i < 30 ? "ts" : "jpg");
        QFile out(f);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(3000 + i, 'a'));
        files << f;
        utf8.push_back(f.toUtf8());
    }
    KxModuleClound *module = m_module;
    std::thread writer([&] { for (int i = 0; i < 30; ++i) module->uploadVideo(utf8[size_t(i)].constData(), 5.0); });
    std::thread photos([&] { for (int i = 30; i < 34; ++i) module->uploadPhoto(utf8[size_t(i)].constData()); });
    writer.join();
    photos.join();
    m_module->stop(false);
    ASSERT_TRUE(kxWaitUntil([&] { return putPaths().size() == 1 + 30 * 2 + 4; }, 60000)) << putPaths().size();
    m_module->startSendProgress();
    ASSERT_FALSE(m_cb.reports.isEmpty());
    ASSERT_EQ(1, m_cb.reports.last().size());
    EXPECT_EQ(34 + 1, m_cb.reports.last().first().total);
    EXPECT_EQ(0, m_cb.reports.last().first().finished);
    EXPECT_TRUE(m_cb.qrCodes.isEmpty());
    // The playlist record is sent again; snapshot records wait for the
    // classroom that only a playlist record opens.
    EXPECT_TRUE(kxWaitUntil([&] { return requests("POST", "api/merioclass/merioclassroom").size() >= 3; }, 10000));
    for (const QJsonValue &r : requests("POST", "api/merioclass/merioclassroom"))
        EXPECT_EQ("1", kxParams(r).value("type").toString());
    EXPECT_FALSE(m_module->isUploadDone());
    EXPECT_EQ(QList<QString>({kName + ".mp4"}), m_module->notUploadList());
    m_module->stopSendProgress();
    const int reports = m_cb.reports.size();

    // Now let the service answer: a second recording of 30 + 4 completes
    // with 34 of 34.
    s_cloud->admin("reset");
    const QString key2 = QStringLiteral("fedcba9876543210fedcba9876543210");
    ASSERT_TRUE(startRecording(key2, kName + "b"));
    EXPECT_EQ(reports, m_cb.reports.size()) << "progress sent while disabled";
    m_module->startSendProgress();
    for (int i = 0; i < 34; ++i) {
        const QString f = QStringLiteral("%1/%2.%3.%4").arg(m_segDir, key2).arg(i, 3, 10, QLatin1Char('0')).arg(i < 30 ? "ts" : "jpg");
        QFile out(f);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(2000, 'b'));
        out.close();
        if (i < 30)
            m_module->uploadVideo(f.toUtf8().constData(), 5.0);
        else
            m_module->uploadPhoto(f.toUtf8().constData());
    }
    m_module->stop(false);
    ASSERT_TRUE(kxWaitUntil([&] {
        for (const UploadProgress &p : m_cb.reports.last())
            if (p.taskId == key2)
                return p.finished == 34;
        return false;
    }, 60000));
    for (const UploadProgress &p : m_cb.reports.last()) {
        if (p.taskId == key2) {
            EXPECT_EQ(34 + 1, p.total);
        }
    }
    // The second completes, its notice accepted. (The first lingers when
    // notUploadList stopped a transfer of it, else it completes too once
    // the service answers its records again.)
    EXPECT_TRUE(kxWaitUntil([&] { return m_module->noticeAccepted(key2); }, 20000));
    EXPECT_TRUE(waitNoticesAnswered(1, 5000));
    EXPECT_FALSE(m_module->notUploadList().contains(kName + "b.mp4"));
}

TEST_F(CloudCourse, CancelUploadRemovesEverySegmentOfEveryTask)
{
    // Record replies are held back long enough that uploaded segments stay
    // unregistered.
    ASSERT_TRUE(s_cloud->addFault("api/merioclass/merioclassroom", "delay", -1, 0, 2500));
    const QString keyA = QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    const QString keyB = QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    ASSERT_TRUE(startRecording(keyA, "A"));
    const QString a0 = segment(keyA, 0);
    m_module->uploadVideo(a0.toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(startRecording(keyB, "B", false));
    ASSERT_TRUE(kxWaitUntil([&] { return m_module->taskCount() == 2; }, 10000));
    QStringList bs;
    for (int i = 0; i < 3; ++i)
        bs << segment(keyB, i);
    offerVideoFromThread(bs, 1.0);
    ASSERT_TRUE(kxWaitUntil([&] { return putPaths().filter(keyB + ".000.ts").size() == 1; }, 10000));

    EXPECT_FALSE(m_module->isUploadDone());
    QList<QString> open = m_module->notUploadList();
    std::sort(open.begin(), open.end());
    EXPECT_EQ(QList<QString>({"A.mp4", "B.mp4"}), open);
    m_module->cancelUpload();
    EXPECT_EQ(0, m_module->taskCount());
    EXPECT_EQ(0, m_module->pendingCount());
    EXPECT_TRUE(m_module->isUploadDone());
    EXPECT_FALSE(QFileInfo::exists(a0));
    for (const QString &s : bs)
        EXPECT_FALSE(QFileInfo::exists(s)) << s.toStdString();

    // Nothing more goes out for the dropped tasks; the current recording's
    // later files are refused.
    const int puts = putPaths().size();
    const QString late = segment(keyB, 3);
    m_module->uploadVideo(late.toUtf8().constData(), 1.0);
    EXPECT_TRUE(m_log->contains({"KxModuleClound::uploadVideo", "error id not found."}));
    kxWaitUntil([] { return false; }, 1500);
    EXPECT_EQ(puts, putPaths().size());
    EXPECT_EQ(0, requests("POST", "api/merioclass/sendsure").size());
    EXPECT_TRUE(m_module->notUploadList().isEmpty());
}

TEST_F(CloudCourse, DiscardCancelsAndRemovesTheRecording)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    // Slow storage: the segment is still in flight when the recording is
    // thrown away.
    ASSERT_TRUE(s_cloud->addFault("storage/", "delay", -1, 0, 1000, "PUT"));
    const QString s0 = segment(kKey, 0), s1 = segment(kKey, 1);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    m_module->uploadVideo(s1.toUtf8().constData(), 1.0);
    m_module->stop(true);
    EXPECT_EQ(0, m_module->taskCount());
    EXPECT_FALSE(QFileInfo::exists(s0));
    EXPECT_FALSE(QFileInfo::exists(s1));
    EXPECT_TRUE(m_log->contains({"KxModuleClound::stop", "task cancel.", kKey}));
    // Later files of the discarded recording are refused as cancelled.
    const QString s2 = segment(kKey, 2);
    m_module->uploadVideo(s2.toUtf8().constData(), 1.0);
    EXPECT_TRUE(m_log->contains({"KxModuleClound::uploadVideo", "task cancel"}));
    EXPECT_TRUE(QFileInfo::exists(s2));
    kxWaitUntil([] { return false; }, 1500);
    EXPECT_EQ(0, putPaths().filter(".001.ts").size());
    EXPECT_EQ(1, requests("POST", "api/merioclass/merioclassroom").size());
    EXPECT_EQ(0, requests("POST", "api/merioclass/sendsure").size());
}

TEST(CloudModule, PublishesItsInterfaceAndWorksWithoutNetworkManager)
{
    KxLogCapture log;
    qApp->setProperty("IKxNetWorkManager", QVariant());
    KxCloudCallbackLog cb;
    std::unique_ptr<KxModuleClound> m(static_cast<KxModuleClound *>(IKxModuleClound::createInstance()));
    EXPECT_EQ(static_cast<IKxModuleClound *>(m.get()), qobject_cast<IKxModuleClound *>(m.get()));
    EXPECT_NE(nullptr, m->qt_metacast(IKxModuleClound_iid));
    m->registerCallback(&cb);
    m->init();
    QTemporaryDir dir;
    m->config(dir.path());
    m->start(kKey, kName);
    ASSERT_TRUE(kxWaitUntil([&] { return !cb.net.isEmpty(); }, 5000));
    EXPECT_FALSE(cb.net.last());
    const QString f = dir.path() + "/x.ts";
    QFile(f).open(QIODevice::WriteOnly);
    m->uploadVideo(f.toUtf8().constData(), 1.0);
    EXPECT_TRUE(log.contains({"KxModuleClound::uploadVideo", "error id not found."}));
    EXPECT_TRUE(m->isUploadDone());
    EXPECT_TRUE(m->notUploadList().isEmpty());
    m->stop(false);
    m->destory();
    EXPECT_TRUE(log.contains({"KxModuleClound::destory"}));
}

} // namespace
