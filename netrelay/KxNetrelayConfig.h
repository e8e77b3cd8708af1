#pragma once
// Where the cloud service is, read from version.ini (see IKxNetWorkManager.h).

#include <QString>
#include <QUrl>

struct KxNetrelayConfig {
    QUrl serverUrl;   ///< ends with "/"; invalid when none is configured
    QUrl storageUrl;  ///< ends with "/"
    int requestTimeoutMs = 15000;
    int monitorIntervalMs = 3000;

    bool hasServer() const { return serverUrl.isValid() && !serverUrl.isEmpty(); }

    /// The file that is read: $KX_VERSION_INI, else version.ini beside the program.
    static QString versionIniPath();
    /// Reads the file now.
    static KxNetrelayConfig load();
    /// The configuration of the live manager, or load() when there is none.
    static KxNetrelayConfig current();
    /// url + relative path (a leading "/" of path is ignored).
    static QUrl resolve(const QUrl &base, const QString &path);
};
