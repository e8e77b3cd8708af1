#include "KxNetrelayConfig.h"

#include "KxNetWorkManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSettings>
#include <QSslConfiguration>

namespace {

QUrl baseUrl(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QUrl();
    QUrl url(trimmed, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        qWarning() << "KxNetrelayConfig::load" << "ignoring unusable url" << KxNetrelayConfig::logText(url);
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
        const QUrl fallback = cfg.serverUrl.resolved(QUrl(QStringLiteral("storage/")));
        cfg.storageUrl = storage.trimmed().isEmpty() ? fallback : baseUrl(storage);
        if (!cfg.storageUrl.isValid())
            cfg.storageUrl = fallback;
        // Files would otherwise travel in clear text while the API is
        // protected; a plain-http storage beside an https service is taken
        // for a mistake, never followed.
        if (cfg.serverUrl.scheme().toLower() == QLatin1String("https")
            && cfg.storageUrl.scheme().toLower() != QLatin1String("https")) {
            qWarning() << "KxNetrelayConfig::load" << "StorageUrl would leave https, using"
                       << logText(fallback) << "instead of" << logText(cfg.storageUrl);
            cfg.storageUrl = fallback;
        }
    }
    cfg.requestTimeoutMs = positive(ini.value(QStringLiteral("RequestTimeoutMs")), cfg.requestTimeoutMs);
    cfg.monitorIntervalMs = positive(ini.value(QStringLiteral("MonitorIntervalMs")), cfg.monitorIntervalMs);
    cfg.retryLimitMs = positive(ini.value(QStringLiteral("RetryLimitMs")), cfg.retryLimitMs);
    cfg.useSystemProxy = ini.value(QStringLiteral("Proxy")).toString().trimmed().toLower() != QLatin1String("none");
    cfg.caBundlePath = ini.value(QStringLiteral("CaBundle")).toString().trimmed();
    if (!cfg.caBundlePath.isEmpty()) {
        QFile bundle(cfg.caBundlePath);
        if (!bundle.open(QIODevice::ReadOnly))
            qWarning() << "KxNetrelayConfig::load" << "cannot read CaBundle" << cfg.caBundlePath << bundle.errorString();
        else
            cfg.trustedCas = QSslCertificate::fromDevice(&bundle, QSsl::Pem);
        if (cfg.trustedCas.isEmpty())
            qWarning() << "KxNetrelayConfig::load" << "no certificate in CaBundle" << cfg.caBundlePath;
        else
            cfg.trustedCas = QSslConfiguration::systemCaCertificates() + cfg.trustedCas;
    }
    // Only characters a bearer token may carry: a stray line break would
    // split the header.
    const QByteArray token = ini.value(QStringLiteral("UploadToken")).toString().trimmed().toLatin1();
    static const QRegularExpression tokenChars(QStringLiteral("^[A-Za-z0-9._~+/=-]*$"));
    if (tokenChars.match(QString::fromLatin1(token)).hasMatch())
        cfg.uploadToken = token;
    else
        qWarning() << "KxNetrelayConfig::load" << "ignoring an UploadToken with characters a token cannot have";
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

QString KxNetrelayConfig::logText(const QUrl &url)
{
    return url.toString(QUrl::RemoveUserInfo);
}

QNetworkProxy KxNetrelayConfig::proxyFor(const QUrl &url) const
{
    const QString host = url.host();
    const QHostAddress address(host);
    if (!useSystemProxy || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || (!address.isNull() && address.isLoopback()))
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    return proxies.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : proxies.first();
}

QSslConfiguration KxNetrelayConfig::sslConfiguration() const
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    if (!trustedCas.isEmpty())
        conf.setCaCertificates(trustedCas);
    return conf;
}

void KxNetrelayConfig::prepare(QNetworkRequest *request) const
{
    if (!trustedCas.isEmpty() && request->url().scheme().toLower() == QLatin1String("https"))
        request->setSslConfiguration(sslConfiguration());
    if (!uploadToken.isEmpty())
        request->setRawHeader("Authorization", "Bearer " + uploadToken);
}
