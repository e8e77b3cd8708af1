// Cloud module against a devcloud that misbehaves: service down, slow,
// answering errors, "success": false, malformed or non-object JSON to the
// bucket query, record replies in reverse order, unknown request codes,
// late bucket replies, failing uploads, network loss, vanished files and an
// unwritable playlist. Each must end without a crash, a hang or a request
// repeated in a tight loop. (How tasks end when pieces fail for good is
// tst_kxcloudendings.)

#include "KxCloudTestSupport.h"

#include "KxModuleClound.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

const QString kKey = QStringLiteral("11112222333344445555666677778888");
const QString kName = QStringLiteral("Lesson 20261207 090000");
const QString kRecord = QStringLiteral("api/merioclass/merioclassroom");
const QString kBucket = QStringLiteral("api/bucket/bucket");

class CloudFaults : public KxCloudTest {
protected:
    static void SetUpTestSuite()
    {
        // Quick monitor probes and a short request bound keep these cases
        // short; the delays injected below stay under the bound unless a
        // time-out is the point.
        s_extraIni = QStringList({QStringLiteral("MonitorIntervalMs=200"), QStringLiteral("RequestTimeoutMs=1500"),
                                  QStringLiteral("RetryLimitMs=2500")});
        KxCloudTest::SetUpTestSuite();
    }
    void pause(int ms) { kxWaitUntil([] { return false; }, ms); }
    QList<QPair<double, QString>> listedSegments() const
    {
        QList<QPair<double, QString>> out;
        for (const QString &p : putPaths())
            if (p.endsWith(QLatin1String(".ts")))
                out.append({1.0, remoteOf(p)});
        return out;
    }
    QString lastPlaylist() const
    {
        QString out;
        for (const QString &p : putPaths())
            if (p.endsWith(QLatin1String(".m3u8")))
                out = remoteOf(p);
        return out;
    }
};

struct ServiceFault {
    const char *name;
    const char *kind;     // devcloud fault kind
    int status;
    int ms;
    const char *logged;   // what the module logs for it
    bool retried;         // a passing failure: the query is sent again
};

// ---------------------------------------------------------------------------
// The bucket query fails: it is sent again while the bound lasts; the
// pieces offered meanwhile wait, and are given up and reported when the
// bucket never comes.

class BucketFault : public CloudFaults, public ::testing::WithParamInterface<ServiceFault> {};

TEST_P(BucketFault, PiecesWaitThenAreReported)
{
    const ServiceFault f = GetParam();
    ASSERT_TRUE(s_cloud->addFault(kBucket, f.kind, -1, f.status, f.ms));
    m_module->start(kKey, kName);
    const QString s0 = segment(kKey, 0);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    m_module->uploadPhoto(s0.toUtf8().constData());
    m_module->stop(false);
    ASSERT_TRUE(kxWaitUntil([&] { return m_log->contains({f.logged}); }, 10000)) << f.logged;
    if (f.retried) {
        EXPECT_FALSE(m_module->isUploadDone());
    }
    ASSERT_TRUE(waitNoTask(15000));
    EXPECT_TRUE(m_module->isUploadDone());
    EXPECT_EQ(2, m_cb.errors.size());
    EXPECT_EQ(QStringList({kKey + ".000.ts", kKey + ".000.ts"}), m_module->givenUpFiles(kKey));
    // Refusals are final. (Qt's HTTP stack itself replays a request once
    // when the service closes a kept-alive connection without answering.)
    const int queries = requests("GET", kBucket).size();
    EXPECT_TRUE(f.retried ? queries >= 2 : queries <= 2) << queries;
    EXPECT_TRUE(putPaths().isEmpty());
    EXPECT_TRUE(requests("POST", kRecord).isEmpty());
    EXPECT_TRUE(m_cb.qrCodes.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Service, BucketFault, ::testing::Values(
    ServiceFault{"dropped", "drop", 0, 0, "KxModuleClound::sltHttpConnectError", true},
    ServiceFault{"status500", "status", 500, 0, "KxModuleClound::sltHttpRequestError", true},
    ServiceFault{"status401", "status", 401, 0, "KxModuleClound::sltHttpAuthenticateError", false},
    ServiceFault{"status403", "status", 403, 0, "KxModuleClound::sltHttpAuthenticateError", false},
    ServiceFault{"malformed", "malformed", 0, 0, "KxModuleClound::sltHttpRequestError", true},
    ServiceFault{"nonobject", "nonobject", 0, 0, "KxModuleClound::sltHttpRequestError", true},
    ServiceFault{"successFalse", "fail", 0, 0, "error no bucket name.", false},
    ServiceFault{"tooSlow", "delay", 0, 2500, "KxModuleClound::sltHttpTimeout", true}),
    [](const ::testing::TestParamInfo<ServiceFault> &i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------

TEST_F(CloudFaults, SlowServiceWithinTheBoundStillCompletes)
{
    ASSERT_TRUE(s_cloud->addFault(QString(), "delay", -1, 0, 300));
    ASSERT_TRUE(startRecording(kKey, kName));
    m_module->uploadVideo(segment(kKey, 0).toUtf8().constData(), 1.0);
    m_module->uploadVideo(segment(kKey, 1).toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(30000));
    EXPECT_EQ(playlistText(listedSegments()), s_cloud->fetch(s_bucket, lastPlaylist()));
    EXPECT_EQ(2, listedSegments().size());
    EXPECT_TRUE(kxWaitUntil([&] { return requests("POST", "api/merioclass/sendsure").size() == 1; }, 5000));
}

TEST_F(CloudFaults, RecordRepliesInReverseOrderAreMatchedByCode)
{
    // Two snapshot records are answered in reverse order.
    m_module->startSendProgress();
    ASSERT_TRUE(startRecording(kKey, kName));
    ASSERT_TRUE(waitJournalSettled(5000));
    ASSERT_TRUE(s_cloud->reverseNext(2, kRecord, 10000));
    for (const char *name : {"/Lesson1.jpg", "/Lesson2.jpg"}) {
        QFile f(m_segDir + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'p'));
        f.close();
        m_module->uploadPhoto(f.fileName().toUtf8().constData());
    }
    ASSERT_TRUE(kxWaitUntil([&] { return requests("POST", kRecord).size() == 3 && m_module->pendingCount() == 0; }, 15000));
    ASSERT_TRUE(waitJournalSettled(5000));
    // The share text names the classroom that holds every record.
    const QString share = m_cb.qrCodes.first();
    const QString classroom = share.mid(share.indexOf("id=") + 3);
    const QJsonArray records = s_cloud->admin("classroom", {{"id", classroom}}).toObject().value("records").toArray();
    ASSERT_EQ(3, records.size()) << share.toStdString();
    EXPECT_EQ("1", records.first().toObject().value("type").toString());
    EXPECT_FALSE(share.contains("code="));
    // Both replies found their request: the snapshots count as finished.
    EXPECT_EQ(0, m_log->count({" http request no matched. "}));
    ASSERT_FALSE(m_cb.reports.last().isEmpty());
    EXPECT_EQ(2 + 1, m_cb.reports.last().first().total);
    EXPECT_EQ(2, m_cb.reports.last().first().finished);
}

TEST_F(CloudFaults, ReplyWhoseCodeIsNotPendingIsIgnored)
{
    ASSERT_TRUE(s_cloud->addFault(kRecord, "delay", 1, 0, 800));
    m_module->start(kKey, kName);
    ASSERT_TRUE(kxWaitUntil([&] { return requests("POST", kRecord).size() == 1; }, 10000));
    m_module->cancelUpload();  // forgets the pending request
    ASSERT_TRUE(kxWaitUntil([&] { return m_log->contains({" http request no matched. "}); }, 10000));
    EXPECT_TRUE(m_cb.qrCodes.isEmpty());
    EXPECT_EQ(0, m_module->taskCount());
}

TEST_F(CloudFaults, BucketReplyAfterDiscardOpensNoTask)
{
    ASSERT_TRUE(s_cloud->addFault(kBucket, "delay", 1, 0, 600));
    m_module->start(kKey, kName);
    m_module->stop(true);
    ASSERT_TRUE(kxWaitUntil([&] { return m_log->contains({"KxModuleClound::handleBucketReply", "task cancel"}); }, 10000));
    pause(300);
    EXPECT_EQ(0, m_module->taskCount());
    EXPECT_TRUE(putPaths().isEmpty());
    const QString s0 = segment(kKey, 0);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    EXPECT_TRUE(m_log->contains({"KxModuleClound::uploadVideo", "task cancel"}));
}

TEST_F(CloudFaults, BucketRepliesOpenTheirOwnRecordings)
{
    // A recording started before the previous one's bucket reply: each
    // reply opens the recording that asked for it.
    ASSERT_TRUE(s_cloud->addFault(kBucket, "delay", 2, 0, 500));
    const QString keyB = QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    m_module->start(kKey, "A");
    m_module->start(keyB, "B");
    EXPECT_EQ(2, m_module->taskCount());
    m_module->uploadVideo(segment(keyB, 0).toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(20000));
    QStringList files = m_cb.qrFiles;
    files.sort();
    EXPECT_EQ(QStringList({"A.mp4", "B.mp4"}), files);
    EXPECT_EQ(1, putPaths().filter(keyB + ".000.ts").size());
    EXPECT_TRUE(putPaths().filter(kKey + ".000.ts").isEmpty());
}

TEST_F(CloudFaults, UploadFailingThreeTimesThenSucceedingIsListedOnce)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    ASSERT_TRUE(s_cloud->addFault("storage/", "status", 3, 500, 0, "PUT"));
    const QString s0 = segment(kKey, 0), s1 = segment(kKey, 1);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    m_module->uploadVideo(s1.toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(30000));

    QStringList names;
    QStringList seg0Paths;
    for (const QString &p : putPaths()) {
        names << p.section('/', -1);
        if (p.endsWith(".000.ts"))
            seg0Paths << p;
    }
    const QStringList expected = {kKey + "-1.m3u8", kKey + ".000.ts", kKey + ".000.ts", kKey + ".000.ts",
                                  kKey + ".000.ts", kKey + "-2.m3u8", kKey + ".001.ts", kKey + "-1.m3u8"};
    EXPECT_EQ(expected.size(), names.size()) << names.join(' ').toStdString();
    ASSERT_EQ(4, seg0Paths.size());
    seg0Paths.removeDuplicates();
    EXPECT_EQ(1, seg0Paths.size()) << "a retried job keeps its remote path";
    EXPECT_EQ(3, m_log->count({"KxModuleClound::sltUploadFinished", "reupload."}));
    const auto listed = listedSegments();
    EXPECT_EQ(4 + 1, listed.size());  // four PUTs of segment 0, one of segment 1
    const QByteArray text = s_cloud->fetch(s_bucket, lastPlaylist());
    EXPECT_EQ(1, text.count(".000.ts")) << text.constData();
    EXPECT_EQ(1, text.count(".001.ts")) << text.constData();
    EXPECT_TRUE(text.indexOf(".000.ts") < text.indexOf(".001.ts"));
}

TEST_F(CloudFaults, UploadFailingForeverIsNotHammered)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    ASSERT_TRUE(s_cloud->addFault("storage/", "status", -1, 503, 0, "PUT"));
    m_module->uploadVideo(segment(kKey, 0).toUtf8().constData(), 1.0);
    pause(3000);
    const int attempts = putPaths().filter(".000.ts").size();
    EXPECT_GE(attempts, 2);
    EXPECT_LE(attempts, 6);
    // The recording is thrown away: the failing job ends with it.
    m_module->stop(true);
    pause(1500);
    EXPECT_EQ(attempts + (putPaths().filter(".000.ts").size() > attempts ? 1 : 0),
              putPaths().filter(".000.ts").size());
}

TEST_F(CloudFaults, NetworkLossStopsTheRecordingsUploadsForGood)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    m_module->uploadVideo(segment(kKey, 0).toUtf8().constData(), 1.0);
    ASSERT_TRUE(kxWaitUntil([&] { return requests("POST", kRecord).size() == 2; }, 10000));
    ASSERT_TRUE(waitJournalSettled(5000));

    ASSERT_TRUE(s_cloud->setOffline(true));
    ASSERT_TRUE(kxWaitUntil([&] { return !m_cb.net.isEmpty() && !m_cb.net.last(); }, 10000));
    ASSERT_TRUE(s_cloud->setOffline(false));
    ASSERT_TRUE(kxWaitUntil([&] { return m_cb.net.last(); }, 10000));

    const int puts = putPaths().size();
    const QString s1 = segment(kKey, 1);
    const QString photo = m_segDir + "/after.jpg";
    QFile(photo).open(QIODevice::WriteOnly);
    m_module->uploadVideo(s1.toUtf8().constData(), 1.0);
    m_module->uploadPhoto(photo.toUtf8().constData());
    EXPECT_EQ(1, m_log->count({"KxModuleClound::uploadVideo", "no network cannot upload."}));
    EXPECT_EQ(1, m_log->count({"KxModuleClound::uploadPhoto", "no network cannot upload."}));
    m_module->stop(false);
    pause(300);
    EXPECT_EQ(puts, putPaths().size());

    // The next recording uploads normally.
    const QString key2 = QStringLiteral("99990000999900009999000099990000");
    ASSERT_TRUE(startRecording(key2, "next"));
    m_module->uploadVideo(segment(key2, 0).toUtf8().constData(), 1.0);
    m_module->stop(false);
    ASSERT_TRUE(kxWaitUntil([&] { return m_module->taskCount() == 1; }, 20000));
    EXPECT_EQ(1, requests("POST", "api/merioclass/sendsure").size());
    EXPECT_EQ(1, putPaths().filter(key2 + ".000.ts").size());
    // The recording cut off by the loss is still open.
    EXPECT_EQ(QList<QString>({kName + ".mp4"}), m_module->notUploadList());
}

TEST_F(CloudFaults, FilesDeletedBeforeUploadAreLeftOut)
{
    ASSERT_TRUE(startRecording(kKey, kName));
    m_module->uploadVideo((m_segDir + "/missing.ts").toUtf8().constData(), 1.0);
    EXPECT_EQ(1, m_log->count({"KxModuleClound::uploadVideo", "error file not exists."}));
    m_module->uploadPhoto((m_segDir + "/missing.jpg").toUtf8().constData());
    EXPECT_EQ(1, m_log->count({"KxModuleClound::uploadPhoto", "error file not exists."}));

    // Segment 1 vanishes while segment 0 is in flight.
    ASSERT_TRUE(s_cloud->addFault("storage/", "delay", 1, 0, 600, "PUT"));
    const QString s0 = segment(kKey, 0), s1 = segment(kKey, 1), s2 = segment(kKey, 2);
    m_module->uploadVideo(s0.toUtf8().constData(), 1.0);
    m_module->uploadVideo(s1.toUtf8().constData(), 1.0);
    m_module->uploadVideo(s2.toUtf8().constData(), 1.0);
    ASSERT_TRUE(QFile::remove(s1));
    m_module->stop(false);
    ASSERT_TRUE(waitNoTask(20000)) << "chain stalled";
    const auto listed = listedSegments();
    ASSERT_EQ(2, listed.size());
    EXPECT_TRUE(listed[0].second.endsWith(".000.ts"));
    EXPECT_TRUE(listed[1].second.endsWith(".002.ts"));
    // The hole is marked before the segment after it.
    QByteArray expected = playlistText(listed);
    expected.insert(expected.indexOf("#EXTINF", expected.indexOf(".000.ts")), "#EXT-X-DISCONTINUITY\n");
    EXPECT_EQ(expected, s_cloud->fetch(s_bucket, lastPlaylist()));
    EXPECT_TRUE(m_log->contains({"KxModuleClound::uploadFile", "error file not exists.", ".001.ts"}));
    EXPECT_TRUE(kxWaitUntil([&] { return requests("POST", "api/merioclass/sendsure").size() == 1; }, 5000));
}

TEST_F(CloudFaults, PlaylistThatCannotBeWrittenDoesNotStallSegments)
{
    // A plain file where the work folder should be.
    const QString blocker = m_work + "/blocker";
    {
        QFile f(blocker);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    m_module->config(blocker + "/sub");
    m_module->start(kKey, kName);
    ASSERT_TRUE(kxWaitUntil([&] { return m_log->contains({"KxModuleClound::uploadFile", "error file not exists."}); }, 10000));
    EXPECT_TRUE(m_log->contains({"mkpath failed."}));
    EXPECT_TRUE(m_log->contains({"KxModuleClound::updateM3U8", "file open fail."}));
    EXPECT_TRUE(m_log->contains({"KxModuleClound::uploadFile", "error file not exists.", ".m3u8"}));

    m_module->uploadVideo(segment(kKey, 0).toUtf8().constData(), 1.0);
    m_module->uploadVideo(segment(kKey, 1).toUtf8().constData(), 1.0);
    ASSERT_TRUE(kxWaitUntil([&] { return putPaths().size() == 2; }, 10000));
    pause(500);
    EXPECT_EQ(2, putPaths().size());
    EXPECT_TRUE(requests("POST", kRecord).isEmpty());
    EXPECT_TRUE(m_cb.qrCodes.isEmpty());
    // Nothing can carry the uploaded segments to the class: stopping ends
    // the task and tells what was lost.
    m_module->stop(false);
    EXPECT_TRUE(m_module->isUploadDone());
    EXPECT_EQ(2, m_cb.errors.size());
}

} // namespace
