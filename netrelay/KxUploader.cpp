#include "KxUploader.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

#include "KxNetWorkManager.h"

#include <algorithm>

namespace {

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

// Failure records older than this no longer slow a job down.
constexpr qint64 FailureMemoryMs = 120000;

// The bucket is one path segment and the remote path stays inside it: a
// "." or ".." segment would make the URL land elsewhere on the service.
bool isSafeRemote(const QString &bucket, const QString &remote)
{
    if (bucket.isEmpty() || remote.isEmpty() || bucket.contains(QLatin1Char('/')) ||
        bucket == QLatin1String(".") || bucket == QLatin1String(".."))
        return false;
    const QStringList parts = remote.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    for (const QString &p : parts)
        if (p == QLatin1String(".") || p == QLatin1String("..") || p.contains(QLatin1Char('\\')))
            return false;
    return true;
}

}  // namespace

KxUploader::KxUploader(const KxNetrelayConfig &cfg, QNetworkAccessManager *nam, QObject *parent)
    : QObject(parent), m_cfg(cfg), m_nam(nam)
{
    m_clock.start();
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &KxUploader::dispatch);
}

KxUploader::~KxUploader()
{
    std::vector<JobPtr> running;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const JobPtr &j : m_running)
            j->cancelled = true;
        running.swap(m_running);
        m_waiting.clear();
    }
    for (const JobPtr &j : running) {
        if (j->reply) {
            QNetworkReply *r = j->reply;
            j->reply = nullptr;
            r->disconnect(this);
            r->abort();
            delete r;
        }
    }
}

int KxUploader::retryPauseMs(int failuresInRow)
{
    if (failuresInRow <= 0)
        return 0;
    qint64 pause = FirstRetryPauseMs;
    for (int i = 1; i < failuresInRow && pause < MaxRetryPauseMs; ++i)
        pause *= 2;
    return int(std::min<qint64>(pause, MaxRetryPauseMs));
}

QByteArray KxUploader::contentTypeFor(const QString &localPath)
{
    const QString ext = QFileInfo(localPath).suffix().toLower();
    if (ext == QLatin1String("ts"))
        return "video/mp2t";
    if (ext == QLatin1String("m3u8"))
        return "application/vnd.apple.mpegurl";
    if (ext == QLatin1String("jpg") || ext == QLatin1String("jpeg"))
        return "image/jpeg";
    if (ext == QLatin1String("png"))
        return "image/png";
    if (ext == QLatin1String("mp4"))
        return "video/mp4";
    if (ext == QLatin1String("json"))
        return "application/json";
    if (ext == QLatin1String("txt"))
        return "text/plain";
    return "application/octet-stream";
}

QString KxUploader::keyOf(const QString &local, const QString &remote, const QString &bucket)
{
    return local + QChar(0) + remote + QChar(0) + bucket;
}

int KxUploader::pendingCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return int(m_waiting.size() + m_running.size());
}

int KxUploader::failuresInRow(const QJsonObject &job) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_failures.constFind(keyOf(str(job, "localPath"), str(job, "remotePath"), str(job, "bucketName")));
    return it == m_failures.cend() ? 0 : it->inRow;
}

void KxUploader::upload(const QJsonObject &json)
{
    auto job = std::make_shared<Job>();
    job->json = json;
    job->localPath = str(json, "localPath");
    job->remotePath = str(json, "remotePath");
    job->bucketName = str(json, "bucketName");
    {
        std::lock_guard<std::mutex> guard(m_lock);
        job->id = m_nextId++;
        const auto it = m_failures.constFind(keyOf(job->localPath, job->remotePath, job->bucketName));
        if (it != m_failures.cend())
            job->notBeforeMs = it->atMs + retryPauseMs(it->inRow);
        m_waiting.push_back(job);
    }
    qDebug() << "KxUploader::upload" << job->id << job->localPath << job->remotePath;
    postDispatch();
}

void KxUploader::postDispatch()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_dispatchPosted)
            return;
        m_dispatchPosted = true;
    }
    // Jobs start from the event loop: a caller that submits from a
    // finished-signal handler is never re-entered.
    QMetaObject::invokeMethod(this, &KxUploader::dispatch, Qt::QueuedConnection);
}

void KxUploader::dispatch()
{
    std::vector<JobPtr> toStart;
    qint64 nextWakeMs = -1;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_dispatchPosted = false;
        const qint64 now = m_clock.elapsed();
        for (auto it = m_waiting.begin(); it != m_waiting.end() && int(m_running.size()) < MaxRunning;) {
            if ((*it)->notBeforeMs <= now) {
                m_running.push_back(*it);
                toStart.push_back(*it);
                it = m_waiting.erase(it);
            } else {
                ++it;
            }
        }
        if (int(m_running.size()) < MaxRunning) {
            for (const JobPtr &j : m_waiting) {
                const qint64 wait = j->notBeforeMs - now;
                if (nextWakeMs < 0 || wait < nextWakeMs)
                    nextWakeMs = std::max<qint64>(wait, 1);
            }
        }
    }
    if (nextWakeMs > 0)
        m_retryTimer.start(int(nextWakeMs));
    for (const JobPtr &j : toStart)
        startJob(j);
}

void KxUploader::startJob(const JobPtr &job)
{
    if (job->cancelled) {
        finishJob(job, KxUploadOk);  // only leaves the running list
        return;
    }
    if (!m_cfg.hasServer()) {
        finishJob(job, KxUploadNoServer);
        return;
    }
    if (job->localPath.isEmpty() || !isSafeRemote(job->bucketName, job->remotePath)) {
        qWarning() << "KxUploader::startJob" << "incomplete job" << job->json;
        finishJob(job, KxUploadBadJob);
        return;
    }
    auto *file = new QFile(job->localPath);
    if (!file->open(QIODevice::ReadOnly)) {
        qWarning() << "KxUploader::startJob" << "cannot read" << job->localPath << file->errorString();
        delete file;
        finishJob(job, KxUploadFileError);
        return;
    }
    QString remote = job->remotePath;
    if (!remote.startsWith(QLatin1Char('/')))
        remote.prepend(QLatin1Char('/'));
    const QUrl url = KxNetrelayConfig::resolve(m_cfg.storageUrl, job->bucketName + remote);
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::ContentTypeHeader, contentTypeFor(job->localPath));
    req.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
    m_cfg.prepare(&req);
    QNetworkReply *reply = m_nam->put(req, file);
    kxLimitAnswer(reply);
    file->setParent(reply);
    job->reply = reply;

    // The bound is on silence while the file goes out, not on the whole
    // transfer: a large file on a slow line keeps going as long as bytes
    // move. The answer itself must come within one bound of the last byte
    // sent; a server trickling its answer does not extend it.
    job->idleTimer = new QTimer(reply);
    job->idleTimer->setSingleShot(true);
    connect(job->idleTimer, &QTimer::timeout, reply, [job] {
        job->timedOut = true;
        if (job->reply)
            job->reply->abort();
    });
    job->idleTimer->start(m_cfg.requestTimeoutMs);
    const int idleMs = m_cfg.requestTimeoutMs;
    auto lastSent = std::make_shared<qint64>(0);
    auto touch = [job, idleMs, lastSent](qint64 sent, qint64) {
        if (job->idleTimer && sent > *lastSent) {
            *lastSent = sent;
            job->idleTimer->start(idleMs);
        }
    };
    connect(reply, &QNetworkReply::uploadProgress, job->idleTimer, touch);
    connect(reply, &QNetworkReply::finished, this, [this, job] { finishJob(job, resultOf(job)); });
    qDebug() << "KxUploader::startJob" << job->id << KxNetrelayConfig::logText(url);
}

int KxUploader::resultOf(const JobPtr &job)
{
    QNetworkReply *reply = job->reply;
    if (!reply)
        return KxUploadConnectError;
    if (job->timedOut)
        return KxUploadTimeout;
    if (kxAnswerTooLarge(reply))
        return KxUploadAnswerTooLarge;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return KxUploadConnectError;
    const int code = status.toInt();
    return (code >= 200 && code < 300) ? KxUploadOk : code;
}

void KxUploader::finishJob(JobPtr job, int result)
{
    if (job->reply) {
        job->reply->disconnect(this);
        job->reply->deleteLater();
        job->reply = nullptr;
        job->idleTimer = nullptr;  // a child of the reply
    }
    bool report = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto it = std::find(m_running.begin(), m_running.end(), job);
        if (it != m_running.end()) {
            m_running.erase(it);
            report = !job->cancelled;
        }
        if (report) {
            const QString key = keyOf(job->localPath, job->remotePath, job->bucketName);
            const qint64 now = m_clock.elapsed();
            if (result == KxUploadOk) {
                m_failures.remove(key);
            } else {
                Failure &f = m_failures[key];
                f.inRow = (now - f.atMs > FailureMemoryMs && f.inRow > 0) ? 1 : f.inRow + 1;
                f.atMs = now;
            }
            if (m_failures.size() > 1024) {
                for (auto f = m_failures.begin(); f != m_failures.end();)
                    f = (now - f->atMs > FailureMemoryMs) ? m_failures.erase(f) : std::next(f);
            }
        }
    }
    if (report) {
        if (result == KxUploadOk)
            qDebug() << "KxUploader::finishJob" << job->id << "done" << job->remotePath;
        else
            qWarning() << "KxUploader::finishJob" << job->id << "failed" << result << job->localPath;
        emit signalUploadFinished(result, job->json);
    }
    postDispatch();
}

void KxUploader::stopAll()
{
    qInfo() << "KxUploader::stopAll";
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const JobPtr &j : m_waiting)
            j->cancelled = true;
        for (const JobPtr &j : m_running)
            j->cancelled = true;
        m_waiting.clear();
    }
    if (QThread::currentThread() == thread())
        abortCancelled();
    else
        QMetaObject::invokeMethod(this, &KxUploader::abortCancelled, Qt::QueuedConnection);
}

void KxUploader::cancel(const QString &localPath, const QString &remotePath, const QString &bucketName)
{
    qInfo() << "KxUploader::cancel" << localPath << remotePath << bucketName;
    auto matches = [&](const JobPtr &j) {
        return j->localPath == localPath && j->bucketName == bucketName &&
               (remotePath.isEmpty() || j->remotePath == remotePath);
    };
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            if (matches(*it)) {
                (*it)->cancelled = true;
                it = m_waiting.erase(it);
            } else {
                ++it;
            }
        }
        for (const JobPtr &j : m_running)
            if (matches(j))
                j->cancelled = true;
    }
    if (QThread::currentThread() == thread())
        abortCancelled();
    else
        QMetaObject::invokeMethod(this, &KxUploader::abortCancelled, Qt::QueuedConnection);
}

// Running replies belong to the owner thread; cancelled flags were set under
// the lock, so a reply that finishes meanwhile is not reported either way.
void KxUploader::abortCancelled()
{
    std::vector<JobPtr> doomed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_running.begin(); it != m_running.end();) {
            if ((*it)->cancelled) {
                doomed.push_back(*it);
                it = m_running.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const JobPtr &j : doomed) {
        if (j->reply) {
            QNetworkReply *r = j->reply;
            j->reply = nullptr;
            j->idleTimer = nullptr;
            r->disconnect(this);
            r->abort();
            r->deleteLater();
        }
    }
    if (!doomed.empty())
        postDispatch();
}
