#pragma once
// The network manager and its services (internal; callers use
// IKxNetWorkManager.h). All objects live on the manager's thread; public
// operations called on other threads are queued to it.

#include "IKxNetWorkManager.h"
#include "KxNetrelayConfig.h"

#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <deque>
#include <mutex>

class QNetworkAccessManager;
class QNetworkReply;
class KxUploader;

/// Runs fn on obj's thread: at once when called there, else queued.
template <class Fn>
void kxRunOnThreadOf(QObject *obj, Fn fn)
{
    if (QThread::currentThread() == obj->thread())
        fn();
    else
        QMetaObject::invokeMethod(obj, std::move(fn), Qt::QueuedConnection);
}

/// How one finished reply is classified.
struct KxReplyOutcome {
    enum Kind { Json, HttpError, AuthError, ConnectError, Timeout, TooLarge } kind = ConnectError;
    int status = 0;
    QJsonObject body;
};
/// Largest answer body taken from the service; a larger one is refused.
constexpr qint64 KxMaxAnswerBytes = 1024 * 1024;
/// Aborts reply as soon as its answer is known to exceed KxMaxAnswerBytes
/// (announced length or bytes received); kxAnswerTooLarge tells it after.
void kxLimitAnswer(QNetworkReply *reply);
bool kxAnswerTooLarge(const QNetworkReply *reply);
/// Classifies a finished reply; timedOut tells that our own timer aborted it.
KxReplyOutcome kxClassifyReply(QNetworkReply *reply, bool timedOut);

class KxConnectivityProbe : public QObject, public IKxConnectivityProbe {
    Q_OBJECT
public:
    KxConnectivityProbe(const KxNetrelayConfig &cfg, QObject *parent);
    QObject *qobject() override { return this; }
    bool isReachable(int ms) override;

private:
    const KxNetrelayConfig m_cfg;
};

class KxHttpRequester : public QObject, public IKxHttpRequester {
    Q_OBJECT
public:
    KxHttpRequester(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent);
    QObject *qobject() override { return this; }
    void post(const QMap<QString, QString> &params, const QString &path, const QString &mark, int flag) override;
    void get(const QMap<QString, QString> &params, const QString &path, const QString &mark, int flag) override;

    /// Form / query encoding: key=value pairs, every reserved byte escaped.
    static QByteArray encodeParams(const QMap<QString, QString> &params);

signals:
    void sglHttpRequestFinish(QString path, QJsonObject body, QString url);
    void sglHttpRequestError(QString path, int status, QString url);
    void sglHttpAuthenticateError();
    void sglHttpConnectError();
    void sglhttptimeout();
    void sglHttpRequestFailed(QString path, int code, QString url);

private:
    void send(bool isPost, const QMap<QString, QString> &params, const QString &path, const QString &mark);

    const KxNetrelayConfig m_cfg;
    QNetworkAccessManager *m_nam;
};

class KxActionReporter : public QObject, public IKxActionReporter {
    Q_OBJECT
public:
    static constexpr int MaxQueued = 1000;
    static constexpr int DefaultBatch = 20;
    static constexpr int SendDelayMs = 2000;

    KxActionReporter(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent);
    QObject *qobject() override { return this; }
    void setAppInfo(const QString &appKey, const QString &appName, const QString &version) override;
    void setUploadSize(int size) override;
    void addAction(const QString &id, const QJsonObject &info) override;

    /// Actions dropped because the queue was full.
    quint64 droppedCount() const;
    /// Actions waiting (not counting a batch in flight).
    int queuedCount() const;
    /// Actions the service has accepted.
    quint64 sentCount() const;

private:
    void schedule();
    void sendBatch();
    void onBatchFinished(QNetworkReply *reply, bool timedOut);

    const KxNetrelayConfig m_cfg;
    QNetworkAccessManager *m_nam;
    QTimer m_timer;

    mutable std::mutex m_lock;  // guards everything below
    std::deque<QJsonObject> m_queue;
    QString m_appKey, m_appName, m_version;
    int m_batch = DefaultBatch;
    quint64 m_dropped = 0;
    quint64 m_sent = 0;
    bool m_schedulePosted = false;
    // Owner thread only.
    QJsonArray m_inFlight;
    int m_failuresInRow = 0;
};

class KxSoftWareUpdate : public QObject, public IKxSoftWareUpdate {
    Q_OBJECT
public:
    static constexpr const char *UpdaterName = "NorviSoftwareUpdate";

    KxSoftWareUpdate(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent);
    QObject *qobject() override { return this; }
    void checkUpdate(const QJsonObject &request) override;
    void startUpdate(const QJsonObject &info) override;

signals:
    void sigAllVersionCheckResult(QJsonObject answer);
    void signalError(ErrorInfo info);

private:
    void emitError(int code, const QString &message);

    const KxNetrelayConfig m_cfg;
    QNetworkAccessManager *m_nam;
};

class KxNetWorkManager : public QObject, public IKxNetWorkManager {
    Q_OBJECT
public:
    KxNetWorkManager(const KxNetrelayConfig &cfg, QObject *parent);
    ~KxNetWorkManager() override;

    QObject *qobject() override { return this; }
    IKxConnectivityProbe *connectivityProbe() override;
    IKxHttpRequester *httpRequester() override;
    IKxUploader *uploader() override;
    IKxActionReporter *actionReporter() override;
    IKxSoftWareUpdate *softwareUpdate() override;

    const KxNetrelayConfig &config() const { return m_cfg; }
    /// Copies the configuration of the process-wide manager; false when none lives.
    static bool liveConfig(KxNetrelayConfig *out);

private:
    const KxNetrelayConfig m_cfg;
    QNetworkAccessManager *m_nam;
    KxConnectivityProbe *m_probe;
    KxHttpRequester *m_requester;
    KxUploader *m_uploader;
    KxActionReporter *m_reporter;
    KxSoftWareUpdate *m_update;
};
