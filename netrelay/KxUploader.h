#pragma once
// File uploads by HTTP PUT (internal; see IKxUploader in IKxNetWorkManager.h).

#include "IKxNetWorkManager.h"
#include "KxNetrelayConfig.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;

class KxUploader : public QObject, public IKxUploader {
    Q_OBJECT
public:
    static constexpr int MaxRunning = 3;
    static constexpr int FirstRetryPauseMs = 500;
    static constexpr int MaxRetryPauseMs = 10000;

    KxUploader(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent);
    /// Aborts the running transfers without reporting them.
    ~KxUploader() override;

    QObject *qobject() override { return this; }
    void upload(const QJsonObject &job) override;
    void stopAll() override;
    void cancel(const QString &localPath, const QString &remotePath, const QString &bucketName) override;

    /// The pause before the next attempt after failures in a row.
    static int retryPauseMs(int failuresInRow);
    /// Content type sent for a local file, by its extension.
    static QByteArray contentTypeFor(const QString &localPath);
    /// Jobs waiting plus running.
    int pendingCount() const;
    /// Failed attempts in a row of the job's file (0 after a success).
    int failuresInRow(const QJsonObject &job) const;

signals:
    void signalUploadFinished(int result, QJsonObject job);

private:
    struct Job {
        quint64 id = 0;
        QJsonObject json;
        QString localPath, remotePath, bucketName;
        qint64 notBeforeMs = 0;  // on m_clock
        std::atomic<bool> cancelled{false};
        // Owner thread only.
        QNetworkReply *reply = nullptr;
        QTimer *idleTimer = nullptr;
        bool timedOut = false;
    };
    using JobPtr = std::shared_ptr<Job>;
    struct Failure {
        int inRow = 0;
        qint64 atMs = 0;
    };

    static QString keyOf(const QString &local, const QString &remote, const QString &bucket);
    void postDispatch();
    void dispatch();
    void startJob(const JobPtr &job);
    // By value: the caller's pointer may be the one held by the reply's
    // connection, which finishJob's disconnect hands over to be freed.
    void finishJob(JobPtr job, int result);
    void abortCancelled();
    int resultOf(const JobPtr &job);

    const KxNetrelayConfig m_cfg;
    QNetworkAccessManager *m_nam;
    QTimer m_retryTimer;
    QElapsedTimer m_clock;

    mutable std::mutex m_lock;  // guards everything below
    std::deque<JobPtr> m_waiting;
    std::vector<JobPtr> m_running;
    QHash<QString, Failure> m_failures;
    quint64 m_nextId = 1;
    bool m_dispatchPosted = false;
};
