#include "KxAppSettings.h"

#include "KxNetrelayConfig.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QUuid>

namespace KxAppPaths {

QString versionIniPath()
{
    // One rule for the program and the network library, which reads the
    // same file for the cloud service's address.
    return KxNetrelayConfig::versionIniPath();
}

QString programDataPath()
{
    QString base = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/Tolvane/NorviMerioShare");
}

QString configIniPath()
{
    return programDataPath() + QStringLiteral("/Config/config.ini");
}

QString defaultLogPath()
{
    return programDataPath() + QStringLiteral("/Log");
}

}  // namespace KxAppPaths

KxVersionInfo KxVersionInfo::read(const QString &path)
{
    KxVersionInfo info;
    QSettings ini(path, QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    if (ini.status() != QSettings::NoError)
        qWarning() << "KxVersionInfo::read" << path << "could not be read whole, status" << ini.status();
    info.needLog = ini.value(QStringLiteral("Log/NeedLog"), 0).toInt() == 1;
    info.logPath = ini.value(QStringLiteral("Log/Path")).toString().trimmed();
    if (info.logPath.isEmpty())
        info.logPath = KxAppPaths::defaultLogPath();
    info.logLevel = ini.value(QStringLiteral("Log/Level"), info.logLevel).toString();
    info.appKey = ini.value(QStringLiteral("versionInformation/appKey")).toString();
    info.appName = ini.value(QStringLiteral("versionInformation/appName")).toString();
    info.version = ini.value(QStringLiteral("versionInformation/version")).toString();
    info.uploadSize = ini.value(QStringLiteral("versionInformation/uploadSize"), 0).toInt();
    return info;
}

QString kxInstallationIdentity(const QString &configIniPath)
{
    static const QRegularExpression identityForm(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    const QString key = QStringLiteral("Config/UUID");
    QDir().mkpath(QFileInfo(configIniPath).absolutePath());
    QSettings ini(configIniPath, QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    const QString stored = ini.value(key).toString();
    if (identityForm.match(stored).hasMatch())
        return stored;
    if (ini.contains(key))
        qWarning() << "kxInstallationIdentity" << "replacing a malformed identity" << stored;
    const QString fresh = QUuid::createUuid().toString().remove(QRegularExpression(QStringLiteral("[{}-]")));
    ini.setValue(key, fresh);
    ini.sync();
    // A file it could not parse whole is still rewritten; only access fails the write.
    if (ini.status() == QSettings::AccessError)
        qWarning() << "kxInstallationIdentity" << "could not write" << configIniPath << "status" << ini.status()
                   << "- the identity changes at every start";
    return fresh;
}

double kxScaleFactorForWidth(int width)
{
    if (width >= 3840)
        return 2.0;
    if (width <= 1024)
        return 0.8;
    return 1.0;
}

QString kxTranslationFilePath(const QString &appDir, QLocale::Language systemLanguage)
{
    QString environment = appDir + QStringLiteral("/Environment/");
    if (!QDir(environment).exists())
        environment = appDir + QStringLiteral("../../../Environment/");
    const QString name = systemLanguage == QLocale::Chinese ? QStringLiteral("NorviMerioShare_zh_CN.qm")
                                                            : QStringLiteral("NorviMerioShare_en.qm");
    return QDir::cleanPath(QFileInfo(environment + QStringLiteral("/translations/") + name).absoluteFilePath());
}
