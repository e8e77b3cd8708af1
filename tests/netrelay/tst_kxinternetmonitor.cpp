// The internet monitor thread against a devcloud that goes away and comes
// back, and its prompt end.

#include "KxInternetMonitor.h"
#include "KxNetTestSupport.h"

namespace {
// The monitor emits on its own thread; QSignalSpy would record there, so
// the states are collected on the test's thread through a queued connection.
struct StateLog : QObject {
    explicit StateLog(KxInternetMonitor *m)
    {
        connect(m, &KxInternetMonitor::sigInternetChanged, this, [this](bool on) { states << on; },
                Qt::QueuedConnection);
    }
    int count() const { return states.size(); }
    QList<bool> states;
};
}  // namespace

using KxInternetMonitorTest = KxNetTest;

TEST_F(KxInternetMonitorTest, FollowsTheServiceOfflineAndBack)
{
    startAll({QStringLiteral("MonitorIntervalMs=150")});
    KxInternetMonitor monitor(nullptr);
    EXPECT_TRUE(monitor.checkInternet());
    StateLog changed(&monitor);
    monitor.start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 10000));
    EXPECT_EQ(changed.states, QList<bool>{true});

    ASSERT_TRUE(cloud.setOffline(true));
    EXPECT_FALSE(monitor.checkInternet());
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 2; }, 15000));
    ASSERT_TRUE(cloud.setOffline(false));
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 3; }, 15000));
    EXPECT_EQ(changed.states, (QList<bool>{true, false, true}));  // no repeats of an unchanged state

    monitor.quit();
    EXPECT_TRUE(monitor.wait(5000));
}

TEST_F(KxInternetMonitorTest, OneMissedAnswerDoesNotReportOffline)
{
    startAll({QStringLiteral("MonitorIntervalMs=150")});
    KxInternetMonitor monitor(nullptr);
    StateLog changed(&monitor);
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
    EXPECT_EQ(changed.states, QList<bool>{true});
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
    StateLog changed(&monitor);
    monitor.start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 10000));
    EXPECT_TRUE(changed.states.at(0));
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
    StateLog changed(monitor);
    monitor->start();
    ASSERT_TRUE(kxWaitUntil([&] { return changed.count() >= 1; }, 5000));
    EXPECT_FALSE(changed.states.at(0));
    // The owner is deleted with the thread still running: the destructor
    // ends it instead of aborting the process.
    delete parent;
}
