// The test helper against a real devcloud: start-up, direct requests,
// storage round trip, fault rules and the journal the other tests rely on.

#include "KxDevCloudFixture.h"

#include <gtest/gtest.h>

#include <QFile>

TEST(KxDevCloud, StartsOnLoopbackAndJournalsWhatItServes)
{
    KxDevCloud cloud;
    QString error;
    ASSERT_TRUE(cloud.start(&error)) << qPrintable(error);
    EXPECT_TRUE(cloud.url().startsWith(QStringLiteral("http://127.0.0.1:")));
    EXPECT_GT(cloud.port(), 0);

    const KxDevCloud::Reply bucket = cloud.request("GET", QStringLiteral("api/bucket/bucket?type=merioclass"));
    ASSERT_EQ(bucket.status, 200);
    EXPECT_EQ(bucket.json().object().value("data").toString(), QStringLiteral("merio-bucket"));

    const QByteArray payload("segment bytes \x01\x02", 16);
    const KxDevCloud::Reply put = cloud.request("PUT", QStringLiteral("storage/merio-bucket/MerioClass/a-b/k.001.ts"),
                                                payload, "video/mp2t");
    ASSERT_EQ(put.status, 200);
    EXPECT_EQ(cloud.fetch(QStringLiteral("merio-bucket"), QStringLiteral("/MerioClass/a-b/k.001.ts")), payload);
    QFile stored(cloud.storedFile(QStringLiteral("merio-bucket"), QStringLiteral("/MerioClass/a-b/k.001.ts")));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    EXPECT_EQ(stored.readAll(), payload);

    const QJsonArray journal = cloud.journal();
    ASSERT_EQ(journal.size(), 3);  // admin paths and the fetch's own admin calls are not journaled
    EXPECT_EQ(journal.at(0).toObject().value("path").toString(), QStringLiteral("api/bucket/bucket"));
    EXPECT_EQ(journal.at(0).toObject().value("params").toObject().value("type").toString(),
              QStringLiteral("merioclass"));
    EXPECT_EQ(journal.at(1).toObject().value("method").toString(), QStringLiteral("PUT"));
    EXPECT_EQ(journal.at(1).toObject().value("bytes").toInt(), payload.size());
    EXPECT_EQ(cloud.journalFor(QStringLiteral("storage/merio-bucket/MerioClass/a-b/k.001.ts"), "PUT").size(), 1);

    cloud.stop();
    EXPECT_FALSE(cloud.isRunning());
    EXPECT_EQ(cloud.request("GET", QString(), {}, {}, 1000).status, 0);
}

TEST(KxDevCloud, FaultRulesAreConsumedInOrder)
{
    KxDevCloud cloud;
    ASSERT_TRUE(cloud.start());
    ASSERT_TRUE(cloud.addFault(QStringLiteral("api/"), QStringLiteral("status"), 2, 503));
    ASSERT_TRUE(cloud.addFault(QStringLiteral("api/"), QStringLiteral("fail"), 1));
    EXPECT_EQ(cloud.request("GET", QStringLiteral("api/bucket/bucket")).status, 503);
    EXPECT_EQ(cloud.request("GET", QStringLiteral("api/bucket/bucket")).status, 503);
    const KxDevCloud::Reply failed = cloud.request("GET", QStringLiteral("api/bucket/bucket"));
    EXPECT_EQ(failed.status, 200);
    EXPECT_FALSE(failed.json().object().value("success").toBool(true));
    EXPECT_TRUE(cloud.request("GET", QStringLiteral("api/bucket/bucket")).json().object().value("success").toBool());

    ASSERT_TRUE(cloud.setOffline(true));
    EXPECT_EQ(cloud.request("GET", QStringLiteral("api/bucket/bucket"), {}, {}, 2000).status, 0);
    ASSERT_TRUE(cloud.setOffline(false));
    EXPECT_EQ(cloud.request("GET", QStringLiteral("api/bucket/bucket")).status, 200);
}
