// The internet monitor thread against a devcloud that goes away and comes
// back, and its prompt end.

#include "KxInternetMonitor.h"
#include "KxNetTestSupport.h"

namespace {
const char *kChanged = SIGNAL(sigInternetChanged(bool));

QList<bool> states(const QSignalSpy &spy)
{
    QList<bool> out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toBool();
    return out;
}
}  // namespace

using KxInternetMonitorTest = KxNetTest;

TEST_F(KxInternetMonitorTest, FollowsTheServiceOfflineAndBack)
{
    startAll({QStringLiteral("MonitorIntervalMs=150")});
    KxInternetMonitor monitor(nullptr);
    EXPECT_TRUE(monitor.checkInternet());
    QSignalSpy changed(&monitor, kChanged);
    monitor.start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 10000));
    EXPECT_EQ(states(changed), QList<bool>{true});

    ASSERT_TRUE(cloud.setOffline(true));
    EXPECT_FALSE(monitor.checkInternet());
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 2; }, 15000));
    ASSERT_TRUE(cloud.setOffline(false));
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 3; }, 15000));
    EXPECT_EQ(states(changed), (QList<bool>{true, false, true}));  // no repeats of an unchanged state

    monitor.quit();
    EXPECT_TRUE(monitor.wait(5000));
}

TEST_F(KxInternetMonitorTest, OneMissedAnswerDoesNotReportOffline)
{
    startAll({QStringLiteral("MonitorIntervalMs=150")});
    KxInternetMonitor monitor(nullptr);
    QSignalSpy changed(&monitor, kChanged);
    monitor.start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 10000));
    // Exactly one probe is dropped; the next one is answered.
    ASSERT_TRUE(cloud.addFault(QString(), QStringLiteral("drop"), 1, 0, 0, QStringLiteral("HEAD")));
    ASSERT_TRUE(kxWaitUntil([&] {
        for (const QJsonValue &v : cloud.journal())
            if (v.toObject().value("fault").toString() == QLatin1String("drop"))
                return true;
        return false;
    }, 10000));
    const int seen = cloud.journal().size();
    ASSERT_TRUE(kxWaitUntil([&] { return cloud.journal().size() >= seen + 2; }, 10000));
    EXPECT_EQ(states(changed), QList<bool>{true});
    monitor.quit();
    EXPECT_TRUE(monitor.wait(5000));
}

TEST_F(KxInternetMonitorTest, QuitEndsTheThreadInTheMiddleOfAProbe)
{
    startAll({QStringLiteral("MonitorIntervalMs=100")});
    // Every answer is held far longer than a probe waits.
    ASSERT_TRUE(cloud.addFault(QString(), QStringLiteral("delay"), -1, 0, 20000));
    KxInternetMonitor monitor(nullptr);
    monitor.start();
    ASSERT_TRUE(kxWaitUntil([&] { return cloud.journal().size() >= 1; }, 10000));
    monitor.quit();
    // A probe waits up to 3 s; quitting does not wait for it.
    EXPECT_TRUE(monitor.wait(2500));

    // Quitting through the base class works too, and so does a restart.
    ASSERT_TRUE(cloud.admin(QStringLiteral("reset")).toObject().value("success").toBool());
    QSignalSpy changed(&monitor, kChanged);
    monitor.start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 10000));
    EXPECT_TRUE(changed.at(0).at(0).toBool());
    static_cast<QThread &>(monitor).quit();
    EXPECT_TRUE(monitor.wait(5000));
}

TEST_F(KxInternetMonitorTest, WithoutServerItReportsOfflineAndStillQuits)
{
    const QString iniPath = cloud.scratchDir() + QStringLiteral("/version.ini");
    QFile f(iniPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Cloud]\n");
    f.close();
    KxScopedVersionIni scoped(iniPath);
    auto *parent = new QObject;
    auto *monitor = new KxInternetMonitor(parent);
    EXPECT_FALSE(monitor->checkInternet());
    QSignalSpy changed(monitor, kChanged);
    monitor->start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 5000));
    EXPECT_FALSE(changed.at(0).at(0).toBool());
    // The owner is deleted with the thread still running: the destructor
    // ends it instead of aborting the process.
    delete parent;
}
