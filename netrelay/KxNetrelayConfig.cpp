#include "KxNetrelayConfig.h"

#include "KxNetWorkManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSettings>

namespace {

QUrl baseUrl(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QUrl();
    QUrl url(trimmed, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        qWarning() << "KxNetrelayConfig::load" << "ignoring unusable url" << trimmed;
        return QUrl();
    }
    if (!url.path().endsWith(QLatin1Char('/')))
        url.setPath(url.path() + QLatin1Char('/'));
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

int positive(const QVariant &v, int fallback)
{
    bool ok = false;
    const int n = v.toInt(&ok);
    return ok && n > 0 ? n : fallback;
}

}  // namespace

QString KxNetrelayConfig::versionIniPath()
{
    const QString env = QString::fromLocal8Bit(qgetenv("KX_VERSION_INI"));
    if (!env.isEmpty())
        return env;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/version.ini");
}

KxNetrelayConfig KxNetrelayConfig::load()
{
    KxNetrelayConfig cfg;
    QSettings ini(versionIniPath(), QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    ini.beginGroup(QStringLiteral("Cloud"));
    cfg.serverUrl = baseUrl(ini.value(QStringLiteral("ServerUrl")).toString());
    if (cfg.hasServer()) {
        const QString storage = ini.value(QStringLiteral("StorageUrl")).toString();
        cfg.storageUrl = storage.trimmed().isEmpty() ? cfg.serverUrl.resolved(QUrl(QStringLiteral("storage/")))
                                                     : baseUrl(storage);
        if (!cfg.storageUrl.isValid())
            cfg.storageUrl = cfg.serverUrl.resolved(QUrl(QStringLiteral("storage/")));
    }
    cfg.requestTimeoutMs = positive(ini.value(QStringLiteral("RequestTimeoutMs")), cfg.requestTimeoutMs);
    cfg.monitorIntervalMs = positive(ini.value(QStringLiteral("MonitorIntervalMs")), cfg.monitorIntervalMs);
    ini.endGroup();
    return cfg;
}

KxNetrelayConfig KxNetrelayConfig::current()
{
    KxNetrelayConfig cfg;
    if (KxNetWorkManager::liveConfig(&cfg))
        return cfg;
    return load();
}

QUrl KxNetrelayConfig::resolve(const QUrl &base, const QString &path)
{
    QString rel = path;
    while (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    QUrl url = base;
    url.setPath(base.path() + rel, QUrl::DecodedMode);
    return url;
}
