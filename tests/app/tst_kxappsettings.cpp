// The settings files, the installation identity, the file log, the scale
// and the translation path rule, including what a broken installation leaves.

#include "KxAppSettings.h"
#include "KxFileLog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {
const char GarbageBytes[] = "\x00\xff\x01[[=\n\x89PNG\r\n\x1a\n=]";
const QByteArray Garbage(GarbageBytes, sizeof GarbageBytes - 1);

// Puts content at path: nothing for a null QByteArray, a folder (a file that
// cannot be read) for "<dir>", else the bytes.
void place(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (content == "<dir>")
        QDir().mkpath(path);
    QFile f(path);
    if (!content.isNull() && content != "<dir>" && f.open(QIODevice::WriteOnly))
        f.write(content);
}
QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
}  // namespace

TEST(KxAppSettings, VersionIniGivesValuesOrDefaults)
{
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.path().toUtf8());
    const QString defLog = dir.path() + "/Tolvane/NorviMerioShare/Log", name = QString::fromUtf8("\xe8\xaf\xbe");
    // needLog | logPath | appKey | appName | version | uploadSize
    const std::pair<QByteArray, QString> rows[] = {
        {QByteArray(), "0|LOG||||0"}, {"", "0|LOG||||0"}, {"<dir>", "0|LOG||||0"}, {Garbage, "0|LOG||||0"},
        {"[Log]\nNeedLog=1\nPath=/var/x y\n[versionInformation]\nappKey=K1\nappName=" + name.toUtf8()
             + "\nversion=1.2.3\nuploadSize=7\n", "1|/var/x y|K1|" + name + "|1.2.3|7"},
        {"[Log]\nNeedLog=2\nPath=  \n[versionInformation]\nuploadSize=seven\n", "0|LOG||||0"},
    };
    for (int n = 0; n < int(std::size(rows)); ++n) {
        const QString path = dir.filePath(QStringLiteral("version%1.ini").arg(n));
        place(path, rows[n].first);
        const KxVersionInfo i = KxVersionInfo::read(path);
        const QString got = QStringList{QString::number(i.needLog), i.logPath, i.appKey, i.appName, i.version,
                                        QString::number(i.uploadSize)}.join('|');
        EXPECT_EQ(got.toStdString(), QString(rows[n].second).replace("LOG", defLog).toStdString()) << n;
    }
    EXPECT_EQ(KxAppPaths::configIniPath(), dir.path() + "/Tolvane/NorviMerioShare/Config/config.ini");
    qputenv("XDG_DATA_HOME", "relative/share");
    EXPECT_EQ(KxAppPaths::programDataPath(), QDir::homePath() + "/.local/share/Tolvane/NorviMerioShare");
    qunsetenv("XDG_DATA_HOME");
}

// Each call is one start: a well-formed identity is kept, anything else is
// renewed and then kept; one that cannot be written is new at every start.
TEST(KxAppSettings, InstallationIdentityAcrossStarts)
{
    QTemporaryDir dir;
    const QRegularExpression form("^[0-9a-fA-F]{32}$");
    const QString given = "0123456789abcdef0123456789ABCDEF";
    const QByteArray rows[] = {QByteArray(), "", "[Config]\nUUID=\n", "[Config]\nUUID=hello\n",
                               "[Config]\nUUID=" + given.toUtf8() + "\n", Garbage, "<dir>"};
    for (int n = 0; n < int(std::size(rows)); ++n) {
        SCOPED_TRACE(n);
        const QString path = dir.filePath(QStringLiteral("start%1/Config/config.ini").arg(n));
        place(path, rows[n]);
        const QString first = kxInstallationIdentity(path);
        ASSERT_TRUE(form.match(first).hasMatch()) << first.toStdString();
        EXPECT_EQ(first == given, rows[n].contains(given.toUtf8()));
        const bool writable = rows[n] != "<dir>";
        EXPECT_EQ(kxInstallationIdentity(path) == first, writable);
        if (!writable)
            continue;
        QSettings(path, QSettings::IniFormat).remove("Config/UUID");
        const QString renewed = kxInstallationIdentity(path);
        EXPECT_NE(renewed, first);
        EXPECT_EQ(kxInstallationIdentity(path), renewed);
    }
}

TEST(KxAppSettings, FileLogOneFilePerMinuteOrTheWorkingDirectory)
{
    QTemporaryDir dir;
    const QString oldCwd = QDir::currentPath(), ini = dir.filePath("version.ini");
    qputenv("KX_VERSION_INI", ini.toUtf8());
    auto useLogPath = [&](const QString &path) { place(ini, "[Log]\nNeedLog=1\nPath=" + path.toUtf8() + "\n"); };
    const QDateTime at(QDate(2026, 12, 7), QTime(10, 59, 59, 500));
    QDateTime now = at;
    KxFileLog::setClock([&now] { return now; });
    const QMessageLogContext ctx("src/KxThing.cpp", 42, "f", "default");
    const QString folder = dir.filePath("logs/nested");
    useLogPath(folder);
    KxFileLog::handler(QtDebugMsg, ctx, QString::fromUtf8("first \xe8\xaf\xbe"));
    now = at.addMSecs(499);
    KxFileLog::handler(QtWarningMsg, ctx, "second");
    now = at.addMSecs(500);
    KxFileLog::handler(QtCriticalMsg, QMessageLogContext(), "third");
    EXPECT_EQ(readFile(folder + "/log_12-07_1059.txt"), "[10:59:59 500] \"first \xe8\xaf\xbe\" (src/KxThing.cpp 42)\r\n"
                                                        "[10:59:59 999] \"second\" (src/KxThing.cpp 42)\r\n");
    EXPECT_EQ(readFile(folder + "/log_12-07_1100.txt"), "[11:00:00 000] \"third\" ( 0)\r\n");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);

    // A folder below a plain file cannot be made.
    useLogPath(ini + "/Log");
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    KxFileLog::handler(QtDebugMsg, QMessageLogContext(), "here");
    EXPECT_EQ(readFile(dir.filePath("log_12-07_1100.txt")), "[11:00:00 000] \"here\" ( 0)\r\n");
    QDir::setCurrent(oldCwd);
    KxFileLog::setClock({});
    qunsetenv("KX_VERSION_INI");
}

TEST(KxAppSettings, ScaleFactorAndTranslationFile)
{
    const std::pair<int, double> widths[] = {{7680, 2}, {3840, 2}, {3839, 1}, {1025, 1}, {1024, 0.8}, {0, 0.8}};
    for (const auto &w : widths)
        EXPECT_DOUBLE_EQ(kxScaleFactorForWidth(w.first), w.second) << w.first;

    // Installed: Environment beside the program; built: the source tree's.
    QTemporaryDir dir;
    const QString installed = dir.path() + "/opt/app", built = dir.path() + "/src/build/bin";
    QDir().mkpath(installed + "/Environment/translations");
    const QString tr = "/Environment/translations/NorviMerioShare_";
    EXPECT_EQ(kxTranslationFilePath(installed, QLocale::Chinese), installed + tr + "zh_CN.qm");
    EXPECT_EQ(kxTranslationFilePath(installed, QLocale::German), installed + tr + "en.qm");
    EXPECT_EQ(kxTranslationFilePath(built, QLocale::Chinese), dir.path() + "/src" + tr + "zh_CN.qm");
    EXPECT_EQ(kxTranslationFilePath(built, QLocale::English), dir.path() + "/src" + tr + "en.qm");
}
