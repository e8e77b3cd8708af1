// The uploader against a real devcloud: what is stored, with which content
// type, how many transfers overlap, the pause before a failed job runs again,
// cancelling, and submissions from many threads at once.

#include "KxNetTestSupport.h"
#include "KxUploader.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

const char *kFinished = SIGNAL(signalUploadFinished(int, QJsonObject));
const QString kBucket = QStringLiteral("merio-bucket");

QJsonObject makeJob(const QString &local, const QString &remote, int type = 4)
{
    QJsonObject job;
    job.insert(QStringLiteral("localPath"), local);
    job.insert(QStringLiteral("remotePath"), remote);
    job.insert(QStringLiteral("bucketName"), kBucket);
    job.insert(QStringLiteral("replace"), true);
    job.insert(QStringLiteral("type"), type);
    job.insert(QStringLiteral("taskID"), QStringLiteral("0123456789abcdef0123456789abcdef"));
    return job;
}

QJsonArray puts(const KxDevCloud &cloud)
{
    QJsonArray out;
    for (const QJsonValue &v : cloud.journal())
        if (v.toObject().value("method").toString() == QLatin1String("PUT"))
            out.append(v);
    return out;
}

}  // namespace

using KxUploaderTest = KxNetTest;

TEST_F(KxUploaderTest, StoresEachFileUnderBucketAndPathWithItsContentType)
{
    startAll();
    struct Row {
        QString name;
        int size;
        QString remote;
        QByteArray type;
    };
    const std::vector<Row> rows{
        {QStringLiteral("k.001.ts"), 3 * 1024 * 1024 + 17, QStringLiteral("/MerioClass/20260101120000-k/k.001.ts"), "video/mp2t"},
        {QStringLiteral("k-1.m3u8"), 120, QStringLiteral("/MerioClass/20260101120001-k/k-1.m3u8"), "application/vnd.apple.mpegurl"},
        {QStringLiteral("photo.jpg"), 40000, QStringLiteral("/MerioClass/20260101120002-k/photo.jpg"), "image/jpeg"},
        {QStringLiteral("shot.PNG"), 5000, QStringLiteral("MerioClass/no-leading-slash/shot.PNG"), "image/png"},
        {QStringLiteral("empty.bin"), 0, QStringLiteral("/MerioClass/x/empty.bin"), "application/octet-stream"},
        {QStringLiteral("name with space.ts"), 1000, QStringLiteral("/MerioClass/x/name with space.ts"), "video/mp2t"},
    };
    QSignalSpy finished(mgr->uploader()->qobject(), kFinished);
    QMap<QString, QJsonObject> submitted;
    for (const Row &r : rows) {
        const QString local = makeFile(r.name, r.size);
        QJsonObject job = makeJob(local, r.remote);
        job.insert(QStringLiteral("photo_id"), r.name);  // extra keys travel along
        submitted.insert(r.remote, job);
        mgr->uploader()->upload(job);
    }
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= int(rows.size()); }, 30000));
    kxWaitUntil([] { return false; }, 200);
    ASSERT_EQ(finished.count(), int(rows.size()));

    QSet<QString> seen;
    for (const QList<QVariant> &args : qAsConst(finished)) {
        EXPECT_EQ(args.at(0).toInt(), 0);
        const QJsonObject job = args.at(1).toJsonObject();
        const QString remote = job.value("remotePath").toString();
        EXPECT_EQ(job, submitted.value(remote)) << qPrintable(remote);  // exactly as submitted
        seen.insert(remote);
    }
    EXPECT_EQ(seen.size(), int(rows.size()));

    const QJsonArray journal = puts(cloud);
    ASSERT_EQ(journal.size(), int(rows.size()));
    for (const Row &r : rows) {
        const QString local = cloud.scratchDir() + QLatin1Char('/') + r.name;
        EXPECT_EQ(readAll(cloud.storedFile(kBucket, r.remote)), readAll(local)) << qPrintable(r.name);
        QString rel = r.remote;
        if (rel.startsWith('/'))
            rel.remove(0, 1);
        const QString path = QStringLiteral("storage/") + kBucket + QLatin1Char('/') + rel;
        bool found = false;
        for (const QJsonValue &v : journal) {
            const QJsonObject e = v.toObject();
            if (e.value("path").toString() != path)
                continue;
            found = true;
            EXPECT_EQ(e.value("contentType").toString().toLatin1(), r.type) << qPrintable(r.name);
            EXPECT_EQ(e.value("bytes").toInt(), r.size);
        }
        EXPECT_TRUE(found) << qPrintable(path);
    }
}

TEST_F(KxUploaderTest, AtMostThreeTransfersRunAndTheRestWaitTheirTurn)
{
    startAll();
    // Every PUT is held for a while, so transfers that may overlap do.
    ASSERT_TRUE(cloud.addFault(QStringLiteral("storage/"), QStringLiteral("delay"), -1, 0, 500));
    QSignalSpy finished(mgr->uploader()->qobject(), kFinished);
    const int n = 8;
    QStringList order;
    for (int i = 0; i < n; ++i) {
        const QString name = QStringLiteral("seg%1.ts").arg(i);
        const QString remote = QStringLiteral("/MerioClass/c/") + name;
        order << QStringLiteral("storage/merio-bucket/MerioClass/c/") + name;
        mgr->uploader()->upload(makeJob(makeFile(name, 2000 + i), remote));
    }
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= n; }, 30000));
    for (const QList<QVariant> &args : qAsConst(finished))
        EXPECT_EQ(args.at(0).toInt(), 0);

    const QJsonArray journal = puts(cloud);
    ASSERT_EQ(journal.size(), n);
    // Overlap of the [arrival, answer] intervals on the server.
    std::vector<std::pair<double, int>> edges;
    for (const QJsonValue &v : journal) {
        edges.emplace_back(v.toObject().value("time").toDouble(), +1);
        edges.emplace_back(v.toObject().value("end").toDouble(), -1);
    }
    std::sort(edges.begin(), edges.end());
    int live = 0, most = 0;
    for (const auto &e : edges)
        most = std::max(most, live += e.second);
    EXPECT_LE(most, 3);
    EXPECT_GE(most, 2);  // they do run side by side
    // The first three requests to arrive are the first three submitted; the
    // others started only as earlier ones ended.
    QStringList firstThree;
    for (int i = 0; i < 3; ++i)
        firstThree << journal.at(i).toObject().value("path").toString();
    std::sort(firstThree.begin(), firstThree.end());
    EXPECT_EQ(firstThree, order.mid(0, 3));
    const double firstEnd = std::min({journal.at(0).toObject().value("end").toDouble(),
                                      journal.at(1).toObject().value("end").toDouble(),
                                      journal.at(2).toObject().value("end").toDouble()});
    for (int i = 3; i < n; ++i)
        EXPECT_GE(journal.at(i).toObject().value("time").toDouble(), firstEnd - 0.05);
}

TEST_F(KxUploaderTest, AJobThatFailedRunsAgainOnlyAfterAGrowingPause)
{
    startAll();
    ASSERT_TRUE(cloud.addFault(QStringLiteral("storage/"), QStringLiteral("status"), 3, 500));
    IKxUploader *up = mgr->uploader();
    // Offer the job again at once after every failure, as the cloud module does.
    QSignalSpy finished(up->qobject(), kFinished);
    const QJsonObject job = makeJob(makeFile(QStringLiteral("k.001.ts"), 50000), QStringLiteral("/MerioClass/r/k.001.ts"));
    up->upload(job);
    QList<int> results;
    QList<int> failureCounts;
    int handled = 0;
    ASSERT_TRUE(kxWaitUntil([&] {
        while (handled < finished.count()) {
            const int res = finished.at(handled++).at(0).toInt();
            results << res;
            failureCounts << dynamic_cast<KxUploader *>(up)->failuresInRow(job);
            if (res != 0)
                up->upload(job);
        }
        return !results.isEmpty() && results.last() == 0;
    }, 30000));
    EXPECT_EQ(results, (QList<int>{500, 500, 500, 0}));
    EXPECT_EQ(failureCounts, (QList<int>{1, 2, 3, 0}));
    EXPECT_EQ(finished.at(2).at(1).toJsonObject(), job);  // the job as submitted, also on failure

    const QJsonArray journal = puts(cloud);
    ASSERT_EQ(journal.size(), 4);
    // The pauses between attempts grow: about 0.5 s, 1 s, 2 s at least.
    const double minGap[] = {0.45, 0.95, 1.95};
    for (int i = 1; i < 4; ++i) {
        const double gap = journal.at(i).toObject().value("time").toDouble() -
                           journal.at(i - 1).toObject().value("end").toDouble();
        EXPECT_GE(gap, minGap[i - 1]) << "attempt " << i;
    }
    EXPECT_EQ(readAll(cloud.storedFile(kBucket, QStringLiteral("/MerioClass/r/k.001.ts"))),
              readAll(job.value("localPath").toString()));
}

TEST(KxUploaderPause, DoublesFromHalfASecondUpToTenSeconds)
{
    const int expected[] = {0, 500, 1000, 2000, 4000, 8000, 10000, 10000};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(KxUploader::retryPauseMs(i), expected[i]) << i;
    EXPECT_EQ(KxUploader::retryPauseMs(1000), 10000);
}

struct BadJobCase {
    const char *name;
    bool createFile;
    const char *remote;
    bool withBucket;
    int expected;
    const char *serverToken = nullptr;  ///< the service asks for this token
    const char *iniToken = nullptr;     ///< version.ini's UploadToken
};

class KxUploaderBadJobTest : public KxNetTest, public ::testing::WithParamInterface<BadJobCase> {};

TEST_P(KxUploaderBadJobTest, EndsOnceWithAFailureCode)
{
    const BadJobCase c = GetParam();
    if (c.serverToken) {
        QString error;
        ASSERT_TRUE(cloud.start(&error, {QStringLiteral("--upload-token"), QString::fromLatin1(c.serverToken)}))
            << qPrintable(error);
        QStringList lines{QStringLiteral("RequestTimeoutMs=800")};
        if (c.iniToken)
            lines << QStringLiteral("UploadToken=") + QString::fromLatin1(c.iniToken);
        makeManager(cloud.writeVersionIni(lines));
    } else {
        startAll({QStringLiteral("RequestTimeoutMs=800")});
    }
    if (QByteArray(c.name) == "server_gone")
        cloud.stop();
    if (QByteArray(c.name) == "slow_server") {
        ASSERT_TRUE(cloud.addFault(QStringLiteral("storage/"), QStringLiteral("delay"), 1, 0, 4000));
    }
    if (QByteArray(c.name) == "server_refuses") {
        ASSERT_TRUE(cloud.addFault(QStringLiteral("storage/"), QStringLiteral("status"), 1, 507));
    }
    const QString local = c.createFile ? makeFile(QStringLiteral("f.ts"), 3000)
                                       : cloud.scratchDir() + QStringLiteral("/missing.ts");
    QJsonObject job = makeJob(local, QString::fromLatin1(c.remote));
    if (!c.withBucket)
        job.remove(QStringLiteral("bucketName"));
    QSignalSpy finished(mgr->uploader()->qobject(), kFinished);
    mgr->uploader()->upload(job);
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= 1; }, 15000)) << c.name;
    kxWaitUntil([] { return false; }, 200);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), c.expected) << c.name;
    EXPECT_EQ(finished.at(0).at(1).toJsonObject(), job);
    // Nothing escaped the storage folder.
    EXPECT_FALSE(QFileInfo::exists(cloud.scratchDir() + QStringLiteral("/../escape.ts")));
    EXPECT_FALSE(QFileInfo::exists(cloud.dataDir() + QStringLiteral("/../escape.ts")));
}

INSTANTIATE_TEST_SUITE_P(
    Table, KxUploaderBadJobTest,
    ::testing::Values(BadJobCase{"missing_file", false, "/MerioClass/x/a.ts", true, KxUploadFileError},
                      BadJobCase{"no_bucket", true, "/MerioClass/x/a.ts", false, KxUploadBadJob},
                      BadJobCase{"no_remote_path", true, "", true, KxUploadBadJob},
                      BadJobCase{"server_gone", true, "/MerioClass/x/a.ts", true, KxUploadConnectError},
                      BadJobCase{"slow_server", true, "/MerioClass/x/a.ts", true, KxUploadTimeout},
                      BadJobCase{"server_refuses", true, "/MerioClass/x/a.ts", true, 507},
                      BadJobCase{"path_traversal", true, "/../../escape.ts", true, KxUploadBadJob},
                      BadJobCase{"dot_segment", true, "/MerioClass/./x.ts", true, KxUploadBadJob},
                      BadJobCase{"token_missing", true, "/MerioClass/x/a.ts", true, 401, "t0k-en_1"},
                      BadJobCase{"token_wrong", true, "/MerioClass/x/a.ts", true, 401, "t0k-en_1", "t0k-en_2"},
                      BadJobCase{"token_with_line_break", true, "/MerioClass/x/a.ts", true, 401, "t0k",
                                 "t0k\\r\\nX-Evil: 1"}),
    [](const ::testing::TestParamInfo<BadJobCase> &info) { return std::string(info.param.name); });

TEST_F(KxUploaderTest, WithAnUploadTokenFilesAndRecordsAreAccepted)
{
    QString error;
    ASSERT_TRUE(cloud.start(&error, {QStringLiteral("--upload-token"), QStringLiteral("Zq-9_x.~+/=")}))
        << qPrintable(error);
    makeManager(cloud.writeVersionIni({QStringLiteral("UploadToken=Zq-9_x.~+/=")}));
    QSignalSpy finished(mgr->uploader()->qobject(), kFinished);
    const QString local = makeFile(QStringLiteral("k.001.ts"), 5000);
    mgr->uploader()->upload(makeJob(local, QStringLiteral("/MerioClass/t/k.001.ts")));
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= 1; }, 15000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
    EXPECT_EQ(readAll(cloud.storedFile(kBucket, QStringLiteral("/MerioClass/t/k.001.ts"))), readAll(local));
}

TEST_F(KxUploaderTest, CancelledAndStoppedJobsAreNeverReported)
{
    startAll();
    ASSERT_TRUE(cloud.addFault(QStringLiteral("storage/"), QStringLiteral("delay"), -1, 0, 1000));
    IKxUploader *up = mgr->uploader();
    QSignalSpy finished(up->qobject(), kFinished);
    QList<QJsonObject> jobs;
    for (int i = 0; i < 5; ++i) {
        jobs << makeJob(makeFile(QStringLiteral("c%1.ts").arg(i), 1000), QStringLiteral("/MerioClass/c/c%1.ts").arg(i));
        up->upload(jobs.last());
    }
    // Job 1 is running (empty remote path matches any), job 4 is still waiting.
    ASSERT_TRUE(kxWaitUntil([&] { return puts(cloud).size() >= 3; }, 10000));
    up->cancel(jobs[1].value("localPath").toString(), QString(), kBucket);
    up->cancel(jobs[4].value("localPath").toString(), jobs[4].value("remotePath").toString(), kBucket);
    up->cancel(QStringLiteral("/not/submitted.ts"), QString(), kBucket);  // ignored
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= 3; }, 15000));
    kxWaitUntil([] { return false; }, 2500);  // long enough for the cancelled ones to have ended
    ASSERT_EQ(finished.count(), 3);
    QStringList done;
    for (const QList<QVariant> &args : qAsConst(finished))
        done << args.at(1).toJsonObject().value("localPath").toString();
    std::sort(done.begin(), done.end());
    EXPECT_EQ(done, (QStringList{jobs[0].value("localPath").toString(), jobs[2].value("localPath").toString(),
                                 jobs[3].value("localPath").toString()}));

    // stopAll ends running and waiting jobs alike.
    finished.clear();
    for (int i = 0; i < 5; ++i)
        up->upload(jobs[i]);
    ASSERT_TRUE(kxWaitUntil([&] { return puts(cloud).size() >= 6; }, 10000));
    up->stopAll();
    kxWaitUntil([] { return false; }, 2500);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(dynamic_cast<KxUploader *>(up)->pendingCount(), 0);

    // And the uploader still works afterwards.
    up->upload(jobs[0]);
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= 1; }, 10000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
}

TEST_F(KxUploaderTest, JobsFromManyThreadsEachEndExactlyOnce)
{
    startAll();
    IKxUploader *up = mgr->uploader();
    QSignalSpy finished(up->qobject(), kFinished);
    const int threads = 4, perThread = 15;
    QStringList files;
    for (int i = 0; i < threads * perThread; ++i)
        files << makeFile(QStringLiteral("t%1.ts").arg(i), 500 + i);
    std::vector<std::thread> pool;
    std::atomic<int> go{0};
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < perThread; ++i) {
                const int n = t * perThread + i;
                up->upload(makeJob(files[n], QStringLiteral("/MerioClass/m/t%1.ts").arg(n)));
                if (i == perThread / 2)
                    up->cancel(QStringLiteral("/nothing/here.ts"), QString(), kBucket);
            }
        });
    }
    go = 1;
    for (std::thread &th : pool)
        th.join();
    ASSERT_TRUE(kxWaitUntil([&] { return finished.count() >= threads * perThread; }, 60000));
    kxWaitUntil([] { return false; }, 200);
    ASSERT_EQ(finished.count(), threads * perThread);
    QSet<QString> remotes;
    for (const QList<QVariant> &args : qAsConst(finished)) {
        EXPECT_EQ(args.at(0).toInt(), 0);
        remotes.insert(args.at(1).toJsonObject().value("remotePath").toString());
    }
    EXPECT_EQ(remotes.size(), threads * perThread);
    for (int n = 0; n < threads * perThread; ++n)
        EXPECT_EQ(readAll(cloud.storedFile(kBucket, QStringLiteral("/MerioClass/m/t%1.ts").arg(n))), readAll(files[n]));
}
