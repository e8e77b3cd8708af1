#pragma once
// Test helper: runs a private instance of tools/devcloud (the stand-in cloud
// service) on a free loopback port, and talks to it directly.
//
// Each KxDevCloud owns one server process and one temporary folder; tests
// that run in parallel therefore never share a server. The server is
// started with --exit-with-stdin, so it also ends when the test process
// dies. All calls are blocking, bounded in time, and run on the calling
// thread without spinning its event loop.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QProcess;
class QTemporaryDir;

class KxDevCloud {
public:
    struct Reply {
        int status = 0;  ///< HTTP status; 0 when there was no answer
        QByteArray body;
        QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    };

    KxDevCloud();
    /// Stops the server (SIGTERM, then SIGKILL after 3 s) and removes the
    /// temporary folder.
    ~KxDevCloud();
    KxDevCloud(const KxDevCloud &) = delete;
    KxDevCloud &operator=(const KxDevCloud &) = delete;

    /// Starts python3 $KX_SOURCE_DIR/tools/devcloud/devcloud.py and waits at
    /// most timeoutMs for its URL. Returns false (with a reason in error)
    /// when it did not come up.
    bool start(QString *error = nullptr, const QStringList &extraArgs = {}, int timeoutMs = 15000);
    /// Stops the server; safe to call twice.
    void stop();
    bool isRunning() const;

    QString url() const { return m_url; }  ///< "http://127.0.0.1:PORT/"
    quint16 port() const { return m_port; }
    /// Folder where the server keeps uploaded files (<bucket>/<remote path>).
    QString dataDir() const;
    /// A private scratch folder of the test (removed with the fixture).
    QString scratchDir() const;
    /// The stored file of an upload: dataDir + bucket + remotePath.
    QString storedFile(const QString &bucket, const QString &remotePath) const;

    /// Sends one request on loopback and waits at most timeoutMs for the
    /// whole answer. path is relative to url() and may carry a query.
    Reply request(const QByteArray &method, const QString &path, const QByteArray &body = {},
                  const QByteArray &contentType = {}, int timeoutMs = 5000) const;
    /// GET storage/<bucket>/<remotePath>; empty when not found.
    QByteArray fetch(const QString &bucket, const QString &remotePath) const;

    /// GET _admin/<what>?params; the parsed answer, or null on failure.
    QJsonValue admin(const QString &what, const QMap<QString, QString> &params = {}) const;
    /// Every request the server received, in arrival order.
    QJsonArray journal(bool clear = false) const;
    /// The journal entries of one path (and method, when given).
    QJsonArray journalFor(const QString &path, const QString &method = {}) const;
    /// Adds a fault rule (see devcloud.py): kind status, fail, malformed,
    /// nonobject, delay or drop; count -1 = unlimited.
    bool addFault(const QString &pathPrefix, const QString &kind, int count = 1, int status = 500,
                  int ms = 0, const QString &method = {}) const;
    /// Drops every service request while on (for ms milliseconds when > 0).
    bool setOffline(bool on, int ms = 0) const;
    /// Answers the next count requests under pathPrefix in reverse order.
    bool reverseNext(int count, const QString &pathPrefix = QStringLiteral("api/merioclass/merioclassroom"),
                     int waitMs = 10000) const;

    /// Writes a version.ini with group Cloud pointing at this server (plus
    /// any extra "Key=value" lines of that group) into the scratch folder
    /// and returns its path; tests hand it over in KX_VERSION_INI.
    QString writeVersionIni(const QStringList &extraCloudLines = {}) const;

private:
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_url;
    quint16 m_port = 0;
};

/// Spins the calling thread's event loop until cond() holds or timeoutMs
/// passes; returns cond()'s last value.
bool kxWaitUntil(const std::function<bool()> &cond, int timeoutMs);

/// Keeps this test process from loading Qt plugins. Call it before the first
/// network manager is made: Qt Network's bearer plugins otherwise start a
/// D-Bus thread whose work inside uninstrumented Qt and glib
/// ThreadSanitizer reports as races. Not for tests that need a platform
/// plugin (widgets).
void kxLoadNoQtPlugins();

/// Sets KX_VERSION_INI for the lifetime of the object, restoring the old
/// value afterwards.
class KxScopedVersionIni {
public:
    explicit KxScopedVersionIni(const QString &path);
    ~KxScopedVersionIni();

private:
    QByteArray m_old;
    bool m_hadOld = false;
};
