#pragma once
// Where the cloud service is and how it is reached, read from version.ini
// (see IKxNetWorkManager.h).

#include <QList>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

class QNetworkRequest;
class QSslConfiguration;

struct KxNetrelayConfig {
    QUrl serverUrl;   ///< ends with "/"; invalid when none is configured
    QUrl storageUrl;  ///< ends with "/"; https whenever serverUrl is
    int requestTimeoutMs = 15000;
    int monitorIntervalMs = 3000;
    /// How long a piece that keeps failing for passing reasons is tried
    /// before it is given up (uploads, record requests, completion notices).
    int retryLimitMs = 600000;
    /// false: every connection is direct ("Proxy=none").
    bool useSystemProxy = true;
    /// With a "CaBundle": the system's authorities plus the bundle's, read
    /// once; empty without one (the system's store is then used as is).
    QList<QSslCertificate> trustedCas;
    QString caBundlePath;
    /// "UploadToken": sent as "Authorization: Bearer <token>" with every
    /// request to the service and its storage; never written to a log.
    QByteArray uploadToken;

    bool hasServer() const { return serverUrl.isValid() && !serverUrl.isEmpty(); }

    /// The file that is read: $KX_VERSION_INI, else version.ini beside the program.
    static QString versionIniPath();
    /// Reads the file now.
    static KxNetrelayConfig load();
    /// The configuration of the live manager, or load() when there is none.
    static KxNetrelayConfig current();
    /// url + relative path (a leading "/" of path is ignored).
    static QUrl resolve(const QUrl &base, const QString &path);
    /// The url as it may appear in logs and signals: never with user
    /// name or password.
    static QString logText(const QUrl &url);

    /// The proxy a connection to url takes: the system's settings
    /// (http_proxy, https_proxy, no_proxy) unless switched off; loopback
    /// hosts are always reached directly.
    QNetworkProxy proxyFor(const QUrl &url) const;
    /// TLS settings of every request: trustedCas, or the system's
    /// authorities when there are none.
    QSslConfiguration sslConfiguration() const;
    /// Applies sslConfiguration to an https request and the upload token.
    void prepare(QNetworkRequest *request) const;
};
