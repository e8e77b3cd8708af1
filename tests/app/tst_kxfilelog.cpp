// The file log: one file per minute, whole lines from many threads, and the
// working directory when the log folder cannot be made.

#include "KxFileLog.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct KxFileLogTest : ::testing::Test {
    QTemporaryDir dir;
    QString oldCwd = QDir::currentPath();
    void useVersionIni(const QString &logPath)
    {
        const QString ini = dir.filePath("version.ini");
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QStringLiteral("[Log]\nNeedLog=1\nPath=%1\n").arg(logPath).toUtf8());
        f.close();
        qputenv("KX_VERSION_INI", ini.toUtf8());
    }
    void TearDown() override
    {
        KxFileLog::setClock({});
        qunsetenv("KX_VERSION_INI");
        QDir::setCurrent(oldCwd);
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

const QDateTime At(QDate(2026, 12, 7), QTime(10, 59, 59, 500));

}  // namespace

TEST_F(KxFileLogTest, OneFilePerMinuteCreatedInTheConfiguredFolder)
{
    const QString folder = dir.filePath("logs/nested");
    useVersionIni(folder);
    QDateTime now = At;
    KxFileLog::setClock([&now] { return now; });
    const QMessageLogContext ctx("src/KxThing.cpp", 42, "f", "default");
    KxFileLog::handler(QtDebugMsg, ctx, QString::fromUtf8("first \xe8\xaf\xbe"));
    now = At.addMSecs(499);
    KxFileLog::handler(QtWarningMsg, ctx, "second");
    now = At.addMSecs(500);
    KxFileLog::handler(QtCriticalMsg, QMessageLogContext(), "third");

    EXPECT_EQ(read(folder + "/log_12-07_1059.txt"), "[10:59:59 500] \"first \xe8\xaf\xbe\" (src/KxThing.cpp 42)\r\n"
                                                    "[10:59:59 999] \"second\" (src/KxThing.cpp 42)\r\n");
    EXPECT_EQ(read(folder + "/log_12-07_1100.txt"), "[11:00:00 000] \"third\" ( 0)\r\n");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);
}

TEST_F(KxFileLogTest, UnmakeableFolderFallsBackToTheWorkingDirectory)
{
    QFile blocker(dir.filePath("plain-file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    useVersionIni(blocker.fileName() + "/Log");
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    KxFileLog::setClock([] { return At; });
    KxFileLog::handler(QtDebugMsg, QMessageLogContext(), "here");
    EXPECT_EQ(read(dir.filePath("log_12-07_1059.txt")), "[10:59:59 500] \"here\" ( 0)\r\n");
}

// Modules log from their own threads; no line may be torn or lost.
TEST_F(KxFileLogTest, LinesFromManyThreadsStayWhole)
{
    useVersionIni(dir.filePath("mt"));
    KxFileLog::setClock([] { return At; });
    const int threads = 4, each = 150;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([t] {
            for (int i = 0; i < each; ++i)
                KxFileLog::handler(QtDebugMsg, QMessageLogContext(), QStringLiteral("t%1 n%2 %3").arg(t).arg(i).arg(QString(40, 'x')));
        });
    for (std::thread &th : pool)
        th.join();
    const QList<QByteArray> lines = read(dir.filePath("mt/log_12-07_1059.txt")).split('\n');
    ASSERT_EQ(lines.size(), threads * each + 1);  // the last split is empty
    QSet<QByteArray> seen;
    for (int k = 0; k < threads * each; ++k) {
        const QByteArray &line = lines[k];
        ASSERT_TRUE(line.startsWith("[10:59:59 500] \"t") && line.endsWith("\" ( 0)\r")) << line.constData();
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), threads * each);
}
