#pragma once
// Cloud module: for every recording one upload task that asks the service for
// the storage bucket, uploads the segments one after the other, each followed
// by a rewritten playlist, uploads the snapshots, registers every playlist and
// snapshot as a classroom record, passes the share text of the first reply to
// the callback and sends the completion notice once everything is registered.
//
// Threads: the module lives on the thread that created it (the main thread).
// Every operation except uploadVideo and uploadPhoto must be called there;
// callbacks are made there. uploadVideo and uploadPhoto may be called from
// any thread: they queue the file in call order and the module's thread
// takes it up (at once when they are called on the module's thread, after
// the files queued before). start, stop and the queries first take up every
// file queued before them, so a file always belongs to the recording that
// was current when it was offered.
//
// Nothing offered is dropped silently. A task exists from start on; the
// bucket query is sent at start and, like every request, sent again when it
// fails. Pieces offered before its answer wait in the task's queue and go
// out in order once the bucket is known.
//
// Every task ends. A piece (segment or snapshot) that can never reach the
// class is given up: its local file is missing, the uploader refuses the
// job, the service answers 4xx (other than 408 and 429), or refuses its
// record ("success" false); a passing failure (5xx, 408, 429, transport
// error, time-out, oversized answer) is tried again after a growing pause.
// One retry bound (Cloud/RetryLimitMs, default ten minutes) covers the whole
// task, from its first failure since its last success: when it runs out,
// the failing piece and every piece still waiting are given up together.
// A given-up piece is logged, counted, and reported through the callback's
// error with code KxMerioErrors::OPERATION_FAILURE and the description
// "upload failed: <file name>" (the local file's name without folders); a
// given-up completion notice as "upload failed: completion notice of
// <task name>".
//
// A stopped task completes once each of its pieces was uploaded and
// registered or given up, nothing of it is on its way any more and its
// completion notice was accepted or given up; only then are its local
// segments removed and the task dropped. isUploadDone is true when no task
// is left; notUploadList names the tasks left.
//
// Registrations: playlist records of a task go out one at a time in order,
// and a retry sends the newest list, so the service never ends up with an
// older list than the last one uploaded. A snapshot record waits for the
// classroom id of its task (the first playlist record's answer) and is
// never sent without one.
//
// The module's parts live in their own files: KxModuleClound.cpp (life
// cycle, offered files, questions, progress, network state),
// KxCloudUploadChain.cpp (the task's upload jobs, retry bound, giving up,
// completion), KxCloudRegistrations.cpp (bucket query, classroom records,
// completion notice) and KxCloudPlaylistWriter (the playlist text).

#include "IKxModuleClound.h"
#include "KxCloudTask.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <deque>
#include <mutex>

class IKxNetWorkManager;
class KxInternetMonitor;

class KxModuleClound : public QObject, public IKxModuleClound {
    Q_OBJECT
    Q_INTERFACES(IKxModuleClound)
public:
    explicit KxModuleClound(QObject *parent = nullptr);
    /// Stops the internet monitor (bounded wait) and frees every task.
    ~KxModuleClound() override;

    /// Stores the callback (not owned, may be null); allowed at any time.
    void registerCallback(ICallBack *callback) override;
    /// Takes the network manager from the application property
    /// "IKxNetWorkManager", connects to its services and starts the internet
    /// monitor. Without a manager the module stays offline: every recording
    /// is reported offline and every file refused.
    void init() override;
    /// Begins a recording (key = task id): creates its task and sends the
    /// bucket query; pieces go out once its answer arrives. Without a
    /// network manager no task is made (the recording is not shared).
    void start(const QString &key, const QString &name) override;
    /// Ends the current recording. Without discard the task completes when
    /// its last record reply arrives; with discard its uploads are cancelled,
    /// its local segment files removed and the task dropped.
    void stop(bool discard) override;
    /// Asks the internet monitor to quit; tasks are left as they are.
    void destory() override;
    /// Work folder of the module's local playlists.
    void config(const QString &tmpFolder) override;
    /// Offers one finished segment (UTF-8 path, duration in seconds) of the
    /// current recording. Any thread.
    void uploadVideo(const char *path, double duration) override;
    /// Offers one saved snapshot (UTF-8 path) of the current recording. Any
    /// thread.
    void uploadPhoto(const char *path) override;
    /// True when every task has completed, its notice included (or none exists).
    bool isUploadDone() override;
    void startSendProgress() override;
    void stopSendProgress() override;
    /// Stops every transfer, removes the local segments of every task and
    /// drops all tasks and pending requests.
    void cancelUpload() override;
    /// Stops every transfer and returns the names of unfinished tasks.
    QList<QString> notUploadList() override;

    /// "%1/%2.m3u8" in folder, creating folder when missing.
    static QString createLocalM3U8FilePath(const QString &folder, const QString &taskId);

    /// Number of live tasks (diagnostics and tests).
    int taskCount() const { return m_tasks.size(); }
    /// Number of record requests awaiting their reply (diagnostics and
    /// tests); completion notices are not counted.
    int pendingCount() const;
    /// File names (without folders) of the pieces of a task given up so
    /// far, in the order they were given up; kept after the task ended
    /// until cancelUpload. Empty for unknown ids. Module's thread.
    QStringList givenUpFiles(const QString &taskId) const { return m_givenUpByTask.value(taskId); }
    /// Whether the completion notice of an ended task was accepted by the
    /// service; false while it is on its way, when it was given up, and
    /// for a task that never had a classroom.
    bool noticeAccepted(const QString &taskId) const { return m_noticeAccepted.contains(taskId); }

private slots:
    void sltUploadFinished(int res, QJsonObject jsonInfo);
    void sltHttpRequestFinish(QString mark, QJsonObject jsonObj, QString requestUrl);
    void sltHttpAuthenticateError();
    void sltHttpRequestError(QString mark, int code, QString requestUrl);
    void sltHttpConnectError();
    void sltHttpTimeout();
    void sltNetWorkState(bool has);
    void sltHttpRequestFailed(QString mark, int code, QString requestUrl);

private:
    struct FileOffer {
        bool isPhoto = false;
        QString path;
        double duration = 0;
    };

    void connectSignals();

    // Registrations (KxCloudRegistrations.cpp)
    void getBucketName(CloudTask *task);
    void handleBucketReply(quint64 code, const QJsonObject &jsonObj);
    /// The bucket is known: the opening playlist and every waiting piece go out.
    void openTask(CloudTask *task);
    void postFileUpdate(const QString &taskId, const QString &remotePath, const QString &localPath,
                        int32_t isPhoto, const QString &photoId, int listedSegments = -1);
    void postTaskDone(CloudTask *task);
    quint64 addPending(PendingRecordRequest *pending);
    /// Sends (again) the request of that code.
    void sendPending(quint64 code);
    void pendingFailed(quint64 code, int failure);
    /// Drops a pending request and what it stood for.
    void dropPending(quint64 code, const QString &reason);
    /// Sends the task's snapshot records held for its classroom id.
    void releaseHeldSnapshots(CloudTask *task);
    /// The playlist record on its way ended: the newest waiting one goes out.
    void nextPlaylistRecord(CloudTask *task, quint64 endedCode);
    void handleRecordReply(quint64 markCode, const QJsonObject &jsonObj);
    void handleNoticeReply(quint64 code, const QJsonObject &jsonObj);
    /// The notice was answered or given up: the task is done.
    void endTask(const QString &taskId, bool noticeAccepted);

    // The task's upload chain (KxCloudUploadChain.cpp)
    bool uploadFile(const QString &taskId, const QString &localPath, int type, QJsonObject job);
    bool submitNextSegment(CloudTask *task);
    bool submitPlaylist(CloudTask *task, bool opening);
    void submitSnapshot(CloudTask *task, const QString &photoId);
    void updateM3U8(const QString &taskId);
    QString createRemoteFilePath(const QString &fileName, const QString &taskId) const;
    /// Whether a failed piece or request may still succeed when tried again.
    static bool isPassingFailure(int code);
    /// Records the failure against the task's retry bound; true when it is
    /// to be tried again, false when it is given up.
    bool mayRetry(CloudTask *task, int code);
    /// Something of the task reached the service: its retry bound restarts
    /// at the next failure.
    static void succeeded(CloudTask *task) { task->failingSinceMs = -1; }
    /// Ends a job that failed for good: the piece is given up.
    void endFailedJob(CloudTask *task, int type, const QJsonObject &jsonInfo, int code);
    /// Gives up every piece of the task that still waits for its turn.
    void giveUpWaiting(CloudTask *task, const QString &reason);
    void giveUp(CloudTask *task, const QString &localPath, const QString &reason);

    /// Completes the task when it is stopped and every piece has ended.
    void completeIfEnded(const QString &taskId);

    // Module (KxModuleClound.cpp)
    void offerFile(FileOffer offer);
    /// Takes up every queued offer, in order (module's thread).
    Q_INVOKABLE void drainOffers();
    void acceptVideo(const QString &path, double duration);
    void acceptPhoto(const QString &path);
    CloudTask *acceptingTask(const char *operation, const QString &path);
    void sendProgress();
    void deleteTask(const QString &taskId);

    void httpGet(const QMap<QString, QString> &params, const QString &path, const QString &mark);
    void httpPost(const QMap<QString, QString> &params, const QString &path, const QString &mark);
    void submitJob(const QJsonObject &job);

    IKxNetWorkManager *m_pNet = nullptr;
    ICallBack *m_pCallback = nullptr;
    KxInternetMonitor *m_pMonitor = nullptr;
    QString m_strWorkFolder;
    QString m_strBucketName;        ///< of the latest bucket answer
    bool m_bProgress = false;
    QString m_strCurrentTaskId;
    QString m_strCurrentTaskName;
    QMap<QString, CloudTask *> m_tasks;
    QMap<quint64, PendingRecordRequest *> m_pending;
    QVector<QString> m_cancelledIds;
    bool m_bNetSeen = false;
    bool m_bLastNet = false;
    QElapsedTimer m_clock;          ///< failure times of jobs and requests
    int m_iRetryLimitMs = 600000;   ///< from the network configuration at init
    QMap<QString, QStringList> m_givenUpByTask;
    QSet<QString> m_noticeAccepted;
    int m_iGivenUpTotal = 0;

    // Files offered from other threads, taken up in order on the module's
    // thread. The only state shared between threads.
    std::mutex m_offerLock;
    std::deque<FileOffer> m_offers;
};
