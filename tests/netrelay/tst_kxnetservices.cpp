// The action reporter and the software-update service against devcloud.

#include "KxNetTestSupport.h"
#include "KxNetWorkManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QSettings>

#include <thread>
#include <vector>

namespace {
QJsonArray receivedActions(const KxDevCloud &cloud)
{
    return cloud.admin(QStringLiteral("actions")).toArray();
}
}  // namespace

using KxActionReporterTest = KxNetTest;

TEST_F(KxActionReporterTest, SendsEveryActionInBatchesWithTheAppIdentity)
{
    startAll();
    IKxActionReporter *rep = mgr->actionReporter();
    rep->setAppInfo(QStringLiteral("key-1"), QStringLiteral("NorviMerioShare"), QStringLiteral("1.2.3"));
    rep->setUploadSize(5);
    // Reported from several threads at once, as the program does.
    const int threads = 3, each = 4;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([rep, t] {
            for (int i = 0; i < each; ++i) {
                QJsonObject info{{"uuid", "0123abcd"}, {"n", t * 100 + i}};
                rep->addAction(QStringLiteral("id_test_%1").arg(t), info);
            }
        });
    for (std::thread &th : pool)
        th.join();
    ASSERT_TRUE(kxWaitUntil([&] { return receivedActions(cloud).size() >= threads * each; }, 15000));
    const QJsonArray got = receivedActions(cloud);
    ASSERT_EQ(got.size(), threads * each);
    QSet<int> numbers;
    for (const QJsonValue &v : got) {
        const QJsonObject a = v.toObject();
        EXPECT_TRUE(a.value("action").toString().startsWith("id_test_"));
        EXPECT_EQ(a.value("uuid").toString(), QStringLiteral("0123abcd"));
        EXPECT_EQ(a.value("appKey").toString(), QStringLiteral("key-1"));
        EXPECT_EQ(a.value("appName").toString(), QStringLiteral("NorviMerioShare"));
        EXPECT_EQ(a.value("version").toString(), QStringLiteral("1.2.3"));
        EXPECT_GT(a.value("time").toDouble(), 1.6e12);
        numbers.insert(a.value("info").toObject().value("n").toInt());
    }
    EXPECT_EQ(numbers.size(), threads * each);
    const QJsonArray posts = cloud.journalFor(QStringLiteral("api/action/report"), "POST");
    EXPECT_GE(posts.size(), 3);
    for (const QJsonValue &v : posts) {
        EXPECT_TRUE(v.toObject().value("contentType").toString().startsWith("application/json"));
        EXPECT_LE(v.toObject().value("json").toObject().value("actions").toArray().size(), 5);
    }
}

TEST_F(KxActionReporterTest, AFailedBatchIsKeptAndSentAgainLater)
{
    startAll();
    ASSERT_TRUE(cloud.addFault(QStringLiteral("api/action/report"), QStringLiteral("status"), 1, 503));
    IKxActionReporter *rep = mgr->actionReporter();
    rep->setUploadSize(2);
    rep->addAction(QStringLiteral("id_a"), {{"uuid", "u"}});
    rep->addAction(QStringLiteral("id_b"), {{"uuid", "u"}});
    ASSERT_TRUE(kxWaitUntil([&] { return receivedActions(cloud).size() >= 2; }, 15000));
    const QJsonArray got = receivedActions(cloud);
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(got.at(0).toObject().value("action").toString(), QStringLiteral("id_a"));
    EXPECT_EQ(got.at(1).toObject().value("action").toString(), QStringLiteral("id_b"));
    // One refused attempt, one accepted: no tight loop.
    EXPECT_EQ(cloud.journalFor(QStringLiteral("api/action/report")).size(), 2);
}

TEST_F(KxActionReporterTest, TheQueueIsBoundedAndTheCallerNeverWaits)
{
    startAll();
    ASSERT_TRUE(cloud.setOffline(true));  // nothing leaves
    auto *rep = dynamic_cast<KxActionReporter *>(mgr->actionReporter());
    ASSERT_NE(rep, nullptr);
    rep->setUploadSize(100000);  // never a full batch
    for (int i = 0; i < KxActionReporter::MaxQueued + 500; ++i)
        rep->addAction(QStringLiteral("id_flood"), {{"uuid", "u"}, {"i", i}});
    EXPECT_EQ(rep->queuedCount(), KxActionReporter::MaxQueued);
    EXPECT_EQ(rep->droppedCount(), 500u);
}

using KxSoftWareUpdateTest = KxNetTest;

TEST_F(KxSoftWareUpdateTest, CheckSendsTheVersionFileAndPassesTheAnswerOn)
{
    startAll({QStringLiteral("RequestTimeoutMs=1500")});
    const QString versionFile = cloud.scratchDir() + QStringLiteral("/app-version.ini");
    {
        QSettings ini(versionFile, QSettings::IniFormat);
        ini.setValue(QStringLiteral("versionInformation/appKey"), QStringLiteral("k9"));
        ini.setValue(QStringLiteral("versionInformation/appName"), QStringLiteral("NorviMerioShare"));
        ini.setValue(QStringLiteral("versionInformation/version"), QStringLiteral("1.0.4"));
    }
    ASSERT_FALSE(cloud.admin(QStringLiteral("version"),
                             {{QStringLiteral("json"), QStringLiteral("{\"hasNewVersion\": true, \"version\": \"1.1.0\"}")}})
                     .isNull());
    IKxSoftWareUpdate *upd = mgr->softwareUpdate();
    QSignalSpy result(upd->qobject(), SIGNAL(sigAllVersionCheckResult(QJsonObject)));
    QSignalSpy error(upd->qobject(), SIGNAL(signalError(ErrorInfo)));
    upd->checkUpdate({{"versionInfoFilePath", versionFile}, {"openAfterInstall", "/opt/x/NorviMerioShare"}});
    ASSERT_TRUE(kxWaitUntil([&] { return result.count() + error.count() >= 1; }, 10000));
    ASSERT_EQ(result.count(), 1);
    const QJsonObject answer = result.at(0).at(0).toJsonObject();
    EXPECT_TRUE(answer.value("success").toBool());
    EXPECT_EQ(answer.value("data").toObject().value("version").toString(), QStringLiteral("1.1.0"));
    const QJsonArray checks = cloud.journalFor(QStringLiteral("api/version/check"), "GET");
    ASSERT_EQ(checks.size(), 1);
    const QJsonObject q = checks.at(0).toObject().value("query").toObject();
    EXPECT_EQ(q.value("appKey").toString(), QStringLiteral("k9"));
    EXPECT_EQ(q.value("version").toString(), QStringLiteral("1.0.4"));

    // Failures come as errors: 2 for the network, 3 for a bad answer.
    struct Row {
        const char *kind;
        int code;
    };
    for (const Row &r : {Row{"drop", KxUpdateErrorNetwork}, Row{"delay", KxUpdateErrorNetwork},
                         Row{"status", KxUpdateErrorAnswer}, Row{"fail", KxUpdateErrorAnswer},
                         Row{"malformed", KxUpdateErrorAnswer}}) {
        ASSERT_FALSE(cloud.admin(QStringLiteral("reset")).isNull());
        ASSERT_TRUE(cloud.addFault(QStringLiteral("api/version/check"), QString::fromLatin1(r.kind),
                                   QByteArray(r.kind) == "drop" ? -1 : 1, 500, 4000));
        error.clear();
        upd->checkUpdate({{"versionInfoFilePath", versionFile}});
        ASSERT_TRUE(kxWaitUntil([&] { return error.count() >= 1; }, 10000)) << r.kind;
        EXPECT_EQ(error.at(0).at(0).value<ErrorInfo>().code, r.code) << r.kind;
        EXPECT_EQ(result.count(), 1) << r.kind;
    }
}

TEST_F(KxSoftWareUpdateTest, StartRunsTheUpdaterWithTheAnswerOrReportsItMissing)
{
    startAll();
    const QString dir = cloud.scratchDir() + QStringLiteral("/updater");
    ASSERT_TRUE(QDir().mkpath(dir));
    qputenv("KX_UPDATER_DIR", dir.toLocal8Bit());
    IKxSoftWareUpdate *upd = mgr->softwareUpdate();
    QSignalSpy error(upd->qobject(), SIGNAL(signalError(ErrorInfo)));
    const QJsonObject info{{"data", QJsonObject{{"version", "1.1.0"}}},
                           {"style", QJsonObject{{"softName", "NorviMerioShare"}}}};

    upd->startUpdate(info);
    EXPECT_EQ(error.count(), 0);  // reported from the event loop, not inside the call
    ASSERT_TRUE(kxWaitUntil([&] { return error.count() >= 1; }, 5000));
    EXPECT_EQ(error.at(0).at(0).value<ErrorInfo>().code, KxUpdateErrorUpdaterMissing);

    // A stand-in updater that records its argument.
    const QString out = dir + QStringLiteral("/arg.json");
    const QString script = dir + QStringLiteral("/NorviSoftwareUpdate");
    QFile f(script);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("#!/bin/sh\nprintf '%s' \"$1\" > '") + out.toLocal8Bit() + "'\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    error.clear();
    upd->startUpdate(info);
    ASSERT_TRUE(kxWaitUntil([&] { return QFile::exists(out) && QFileInfo(out).size() > 0; }, 10000));
    EXPECT_EQ(QJsonDocument::fromJson(readAll(out)).object(), info);
    EXPECT_EQ(error.count(), 0);
    qunsetenv("KX_UPDATER_DIR");
}
