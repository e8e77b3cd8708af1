// The single-instance check between real processes: a message reaches the
// running instance, an instance that does not answer costs a bounded wait,
// and what a killed instance leaves behind does not block the next start.

#include "KxSingleInstance.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

namespace {

struct KxSingleInstanceTest : ::testing::Test {
    QTemporaryDir runtime;  // mode 0700, as a session's runtime folder is
    const QString id = "kxtest-" + QUuid::createUuid().toString(QUuid::Id128);
    QProcess peer;
    void SetUp() override { qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8()); }
    void TearDown() override
    {
        peer.kill();
        peer.waitForFinished(5000);
        qunsetenv("XDG_RUNTIME_DIR");
    }
    void startPeer(const QString &mode, const QString &text = QString())
    {
        peer.start(qEnvironmentVariable("KX_BIN_DIR") + "/kx_single_peer", {mode, id, text});
        ASSERT_TRUE(peer.waitForStarted(5000)) << peer.errorString().toStdString();
        if (mode == "send")
            return;
        ASSERT_TRUE(peer.waitForReadyRead(10000));
        ASSERT_EQ(peer.readLine().trimmed(), "ready");
    }
};

}  // namespace

// A running instance gets the message; one that never answers costs the
// sender its time-out and no more.
TEST_F(KxSingleInstanceTest, MessageToARunningInstance)
{
    const QString text = QString::fromUtf8("NorviMerioShare_active \xe8\xaf\xbe");
    for (const bool answers : {true, false}) {
        startPeer(answers ? "serve" : "hang");
        KxSingleInstance second(id);
        EXPECT_TRUE(second.isRunning());
        EXPECT_TRUE(second.serverPath().startsWith(runtime.path() + "/"));
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(second.sendMessage(text, 5000), answers);
        if (!answers) {
            EXPECT_GE(clock.elapsed(), 4900);
            EXPECT_LT(clock.elapsed(), 15000);  // bounded, with room for a loaded machine
            continue;
        }
        ASSERT_TRUE(peer.waitForFinished(10000));
        EXPECT_EQ(peer.exitCode(), 0);
        EXPECT_EQ(QString::fromUtf8(peer.readAll()), text + "\n");
    }
}

TEST_F(KxSingleInstanceTest, KilledInstanceLeavesNothingThatBlocks)
{
    startPeer("crash");
    ASSERT_TRUE(peer.waitForFinished(10000));
    ASSERT_EQ(peer.exitStatus(), QProcess::CrashExit);
    ASSERT_TRUE(QFileInfo::exists(runtime.path() + "/" + id + ".sock"));  // the stale socket

    KxSingleInstance next(id);
    ASSERT_FALSE(next.isRunning());
    QSignalSpy received(&next, &KxSingleInstance::messageReceived);
    startPeer("send", "wake up");
    ASSERT_TRUE(received.wait(10000));
    EXPECT_EQ(received.first().first().toString(), "wake up");
    ASSERT_TRUE(peer.waitForFinished(10000));
    EXPECT_EQ(peer.exitCode(), 0);
}

// A runtime folder that others may enter is not trusted with the socket.
TEST_F(KxSingleInstanceTest, OpenRuntimeFolderIsNotUsed)
{
    ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                          | QFileDevice::ExeOwner | QFileDevice::ExeOther));
    KxSingleInstance first(id);
    EXPECT_FALSE(first.isRunning());
    const QFileInfo folder(QFileInfo(first.serverPath()).absolutePath());
    EXPECT_NE(folder.absoluteFilePath(), QFileInfo(runtime.path()).absoluteFilePath());
    EXPECT_EQ(folder.permissions() & 0x0077, 0);  // nothing for group and others
}
