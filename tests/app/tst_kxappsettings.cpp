// The settings files, the installation identity, the scale and the
// translation path rule, including the files a broken installation leaves.

#include "KxAppSettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const char *const Missing = nullptr;
const QByteArray Garbage("\x00\xff\x01[[=\n\x89PNG\r\n\x1a\n=]", 20);

// Puts content at path: nothing for Missing, a folder for "<dir>" (a file that
// cannot be read), else the bytes.
void place(const QString &path, const char *content, int size = -1)
{
    if (!content)
        return;
    if (QByteArray(content) == "<dir>") {
        QDir().mkpath(path);
        return;
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content, size < 0 ? qstrlen(content) : size);
}

bool isIdentity(const QString &s)
{
    return QRegExp(QStringLiteral("[0-9a-fA-F]{32}")).exactMatch(s);
}

}  // namespace

TEST(KxAppSettings, VersionIniGivesValuesOrDefaults)
{
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.path().toUtf8());
    const QString defaultLog = dir.path() + "/Tolvane/NorviMerioShare/Log";
    struct Row { const char *content; int size; bool needLog; QString logPath, appKey, appName, version; int uploadSize; };
    const Row rows[] = {
        {Missing, -1, false, defaultLog, "", "", "", 0},
        {"", -1, false, defaultLog, "", "", "", 0},
        {"<dir>", -1, false, defaultLog, "", "", "", 0},
        {Garbage.constData(), Garbage.size(), false, defaultLog, "", "", "", 0},
        {"[Log]\nNeedLog=1\nPath=/var/x y\nLevel=Info\n[versionInformation]\nappKey=K1\n"
         "appName=\xe8\xaf\xbe\xe5\xa0\x82\nversion=1.2.3\nuploadSize=7\n", -1,
         true, "/var/x y", "K1", QString::fromUtf8("\xe8\xaf\xbe\xe5\xa0\x82"), "1.2.3", 7},
        {"[Log]\nNeedLog=2\nPath=  \n[versionInformation]\nuploadSize=seven\n", -1, false, defaultLog, "", "", "", 0},
    };
    int n = 0;
    for (const Row &row : rows) {
        const QString path = dir.filePath(QStringLiteral("version%1.ini").arg(n++));
        place(path, row.content, row.size);
        const KxVersionInfo info = KxVersionInfo::read(path);
        SCOPED_TRACE(n);
        EXPECT_EQ(info.needLog, row.needLog);
        EXPECT_EQ(info.logPath, row.logPath);
        EXPECT_EQ(info.appKey, row.appKey);
        EXPECT_EQ(info.appName, row.appName);
        EXPECT_EQ(info.version, row.version);
        EXPECT_EQ(info.uploadSize, row.uploadSize);
    }
    EXPECT_EQ(KxAppPaths::configIniPath(), dir.path() + "/Tolvane/NorviMerioShare/Config/config.ini");
    qputenv("XDG_DATA_HOME", "relative/share");
    EXPECT_EQ(KxAppPaths::programDataPath(), QDir::homePath() + "/.local/share/Tolvane/NorviMerioShare");
    qunsetenv("XDG_DATA_HOME");
}

// Every start reads the identity again: it is kept when well-formed, renewed
// (and then kept) otherwise, and renewed at every start when it cannot be written.
TEST(KxAppSettings, InstallationIdentityAcrossStarts)
{
    QTemporaryDir dir;
    const QString valid = "0123456789abcdef0123456789ABCDEF";
    struct Row { const char *content; bool keepsGiven; bool writable; };
    const Row rows[] = {
        {Missing, false, true}, {"", false, true}, {"[Config]\nUUID=\n", false, true},
        {"[Config]\nUUID=hello\n", false, true}, {"[Config]\nUUID=0123456789abcdef0123456789ABCDEF\n", true, true},
        {Garbage.constData(), false, true}, {"<dir>", false, false},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(n);
        const QString path = dir.filePath(QStringLiteral("start%1/Config/config.ini").arg(n++));
        QDir().mkpath(QFileInfo(path).absolutePath());
        place(path, row.content, row.content == Garbage.constData() ? Garbage.size() : -1);
        const QString first = kxInstallationIdentity(path);
        ASSERT_TRUE(isIdentity(first)) << first.toStdString();
        if (row.keepsGiven) {
            EXPECT_EQ(first, valid);
        }
        const QString second = kxInstallationIdentity(path);
        EXPECT_EQ(second == first, row.writable);
        if (!row.writable)
            continue;
        EXPECT_EQ(QSettings(path, QSettings::IniFormat).value("Config/UUID").toString(), first);
        QSettings(path, QSettings::IniFormat).remove("Config/UUID");
        const QString renewed = kxInstallationIdentity(path);
        EXPECT_TRUE(isIdentity(renewed));
        EXPECT_NE(renewed, first);
        EXPECT_EQ(kxInstallationIdentity(path), renewed);
    }
}

TEST(KxAppSettings, ScaleFactorFromScreenWidth)
{
    const std::pair<int, double> rows[] = {{7680, 2}, {3840, 2}, {3839, 1}, {1920, 1}, {1025, 1},
                                           {1024, 0.8}, {800, 0.8}, {0, 0.8}};
    for (const auto &row : rows)
        EXPECT_DOUBLE_EQ(kxScaleFactorForWidth(row.first), row.second) << row.first;
}

TEST(KxAppSettings, TranslationFileBesideTheProgramOrInTheSourceTree)
{
    QTemporaryDir dir;
    const QString installed = dir.path() + "/opt/app", built = dir.path() + "/src/build/bin";
    QDir().mkpath(installed + "/Environment/translations");
    QDir().mkpath(built);
    struct Row { QString appDir; QLocale::Language language; QString expected; };
    const Row rows[] = {
        {installed, QLocale::Chinese, installed + "/Environment/translations/NorviMerioShare_zh_CN.qm"},
        {installed, QLocale::German, installed + "/Environment/translations/NorviMerioShare_en.qm"},
        {built, QLocale::Chinese, dir.path() + "/src/Environment/translations/NorviMerioShare_zh_CN.qm"},
        {built, QLocale::English, dir.path() + "/src/Environment/translations/NorviMerioShare_en.qm"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(kxTranslationFilePath(row.appDir, row.language), row.expected);
}
