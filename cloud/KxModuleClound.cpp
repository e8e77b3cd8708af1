#include "KxModuleClound.h"

#include "IKxNetWorkManager.h"
#include "KxInternetMonitor.h"
#include "KxMerioErrors.h"
#include "KxNetrelayConfig.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <atomic>

using namespace kxcloud;

IKxModuleClound *IKxModuleClound::createInstance()
{
    qDebug() << "IKxModuleClound::createInstance";
    return new KxModuleClound();
}

KxModuleClound::KxModuleClound(QObject *parent)
    : QObject(parent)
{
    qDebug() << "KxModuleClound::KxModuleClound";
    kxRegisterCoreMetaTypes();
    m_clock.start();
}

KxModuleClound::~KxModuleClound()
{
    qDebug() << "KxModuleClound::~KxModuleClound";
    if (m_pMonitor) {
        // The monitor is our child: a QThread destroyed while it runs aborts
        // the process, so make sure it has ended before the children go.
        if (m_pMonitor->isRunning()) {
            m_pMonitor->quit();
            if (!m_pMonitor->wait(5000))
                qWarning() << "KxModuleClound::~KxModuleClound" << "internet monitor did not end";
        }
    }
    qDeleteAll(m_tasks);
    m_tasks.clear();
    qDeleteAll(m_pending);
    m_pending.clear();
}

int KxModuleClound::pendingCount() const
{
    int n = 0;
    for (const PendingRecordRequest *pending : m_pending)
        n += pending->kind == PendingRecordRequest::Record ? 1 : 0;
    return n;
}

void KxModuleClound::registerCallback(ICallBack *callback)
{
    qDebug() << "KxModuleClound::registerCallback" << static_cast<void *>(callback);
    m_pCallback = callback;
}

void KxModuleClound::init()
{
    qDebug() << "KxModuleClound::init";
    qDeleteAll(m_tasks);
    m_tasks.clear();
    qDeleteAll(m_pending);
    m_pending.clear();

    m_pNet = qApp ? qApp->property("IKxNetWorkManager").value<IKxNetWorkManager *>() : nullptr;
    if (!m_pNet)
        qWarning() << "KxModuleClound::init" << "no network manager; working offline";
    connectSignals();
    m_iRetryLimitMs = KxNetrelayConfig::current().retryLimitMs;
    qDebug() << "KxModuleClound::init" << "retry bound ms" << m_iRetryLimitMs;

    if (!m_pMonitor) {
        m_pMonitor = new KxInternetMonitor(this);
        connect(m_pMonitor, SIGNAL(sigInternetChanged(bool)), this, SLOT(sltNetWorkState(bool)));
        m_pMonitor->start();
    }
    // The monitor reports its first result by itself; a probe of our own
    // here would bypass its rule of two misses.
}

void KxModuleClound::config(const QString &tmpFolder)
{
    m_strWorkFolder = QDir::toNativeSeparators(tmpFolder);
    qDebug() << "KxModuleClound::config" << m_strWorkFolder;
}

void KxModuleClound::start(const QString &key, const QString &name)
{
    // Files offered so far belong to the recording before this one.
    drainOffers();
    qDebug() << "KxModuleClound::start" << key << name;
    // The state the monitor has confirmed, never a probe of its own: one
    // slow answer must not make the controller cancel every task.
    if (m_pCallback && m_bNetSeen)
        m_pCallback->netStatusChanged(m_bLastNet);
    if (CloudTask *previous = m_tasks.value(m_strCurrentTaskId, nullptr)) {
        if (!previous->bStopped) {
            qDebug() << "KxModuleClound::start" << "previous recording not stopped" << previous->taskId;
            previous->bStopped = true;
            completeIfEnded(previous->taskId);
        }
    }
    m_strCurrentTaskId = key;
    m_strCurrentTaskName = name + QStringLiteral(".mp4");
    if (m_cancelledIds.contains(key)) {
        qDebug() << "KxModuleClound::start" << "task cancel" << key;
        return;
    }
    if (!m_pNet) {
        qDebug() << "KxModuleClound::start" << "no network manager: not shared";
        return;
    }
    if (m_tasks.contains(key)) {
        qDebug() << "KxModuleClound::start" << "error taskID has already request." << key;
        return;
    }
    auto *task = new CloudTask(key, m_strCurrentTaskName);
    m_tasks.insert(key, task);
    getBucketName(task);
}

void KxModuleClound::stop(bool discard)
{
    // The last segment and snapshots offered before stop still belong to it.
    drainOffers();
    qDebug() << "KxModuleClound::stop" << discard << m_strCurrentTaskId;
    if (discard && !m_cancelledIds.contains(m_strCurrentTaskId))
        m_cancelledIds.append(m_strCurrentTaskId);

    CloudTask *task = m_tasks.value(m_strCurrentTaskId, nullptr);
    if (!task)
        return;
    task->bStopped = true;
    if (!discard) {
        // Everything may already have ended (the last reply came before
        // stop); no later event would then ever complete the task.
        completeIfEnded(task->taskId);
        return;
    }

    task->bOnline = false;
    task->bCancelled = true;
    qDebug() << "KxModuleClound::stop" << "task cancel." << task->taskId;
    if (m_pNet && task->bBucketKnown) {
        if (CloudVideoItem *seg = task->firstNotUploaded())
            m_pNet->uploader()->cancel(seg->localPath, seg->remotePath, task->bucket);
        for (CloudPhotoItem *photo : qAsConst(task->snapshots)) {
            if (!photo->bRegistered)
                m_pNet->uploader()->cancel(photo->localPath, photo->remotePath, task->bucket);
        }
    }
    deleteTask(task->taskId);
}

void KxModuleClound::destory()
{
    drainOffers();
    qDebug() << "KxModuleClound::destory" << m_tasks.size();
    if (m_pMonitor && m_pMonitor->isRunning())
        m_pMonitor->quit();
}

// ---------------------------------------------------------------------------
// Network manager access

void KxModuleClound::connectSignals()
{
    qDebug() << "KxModuleClound::connectSignals";
    if (!m_pNet)
        return;
    QObject *uploader = m_pNet->uploader()->qobject();
    QObject *http = m_pNet->httpRequester()->qobject();
    connect(uploader, SIGNAL(signalUploadFinished(int, QJsonObject)), this,
            SLOT(sltUploadFinished(int, QJsonObject)), Qt::UniqueConnection);
    connect(http, SIGNAL(sglHttpRequestFinish(QString, QJsonObject, QString)), this,
            SLOT(sltHttpRequestFinish(QString, QJsonObject, QString)), Qt::UniqueConnection);
    connect(http, SIGNAL(sglHttpAuthenticateError()), this, SLOT(sltHttpAuthenticateError()),
            Qt::UniqueConnection);
    connect(http, SIGNAL(sglHttpRequestError(QString, int, QString)), this,
            SLOT(sltHttpRequestError(QString, int, QString)), Qt::UniqueConnection);
    connect(http, SIGNAL(sglHttpConnectError()), this, SLOT(sltHttpConnectError()), Qt::UniqueConnection);
    connect(http, SIGNAL(sglhttptimeout()), this, SLOT(sltHttpTimeout()), Qt::UniqueConnection);
    // Names the failed request, so that it can be sent again; a requester
    // without it leaves failed requests unanswered until the task is dropped.
    if (!connect(http, SIGNAL(sglHttpRequestFailed(QString, int, QString)), this,
                 SLOT(sltHttpRequestFailed(QString, int, QString)), Qt::UniqueConnection))
        qWarning() << "KxModuleClound::connectSignals" << "requester does not name failed requests";
}

void KxModuleClound::httpGet(const QMap<QString, QString> &params, const QString &path, const QString &mark)
{
    if (!m_pNet) {
        qDebug() << "KxModuleClound::httpGet" << "no network manager" << path;
        return;
    }
    m_pNet->httpRequester()->get(params, path, mark, 0);
}

void KxModuleClound::httpPost(const QMap<QString, QString> &params, const QString &path, const QString &mark)
{
    if (!m_pNet) {
        qDebug() << "KxModuleClound::httpPost" << "no network manager" << path;
        return;
    }
    m_pNet->httpRequester()->post(params, path, mark, 0);
}

void KxModuleClound::submitJob(const QJsonObject &job)
{
    if (!m_pNet) {
        qDebug() << "KxModuleClound::submitJob" << "no network manager";
        return;
    }
    m_pNet->uploader()->upload(job);
}

void KxModuleClound::sltHttpRequestFinish(QString mark, QJsonObject jsonObj, QString requestUrl)
{
    qDebug() << "KxModuleClound::sltHttpRequestFinish" << mark << jsonObj << requestUrl;
    bool hasCode = false;
    const quint64 markCode = mark.section(QLatin1Char(MarkSeparator), 1).toULongLong(&hasCode);
    mark = mark.section(QLatin1Char(MarkSeparator), 0, 0);
    const quint64 code = hasCode ? markCode : ~quint64(0);
    if (mark == QLatin1String(PathBucket))
        handleBucketReply(code, jsonObj);
    else if (mark == QLatin1String(PathDone))
        handleNoticeReply(code, jsonObj);
    else if (mark == QLatin1String(PathRecord))
        handleRecordReply(code, jsonObj);
}

void KxModuleClound::sltHttpAuthenticateError()
{
    qDebug() << "KxModuleClound::sltHttpAuthenticateError";
}

void KxModuleClound::sltHttpRequestError(QString mark, int code, QString requestUrl)
{
    qDebug() << "KxModuleClound::sltHttpRequestError" << mark;
    qDebug() << "KxModuleClound::sltHttpRequestError" << code;
    qDebug() << "KxModuleClound::sltHttpRequestError" << requestUrl;
}

void KxModuleClound::sltHttpConnectError()
{
    qDebug() << "KxModuleClound::sltHttpConnectError";
}

void KxModuleClound::sltHttpTimeout()
{
    qDebug() << "KxModuleClound::sltHttpTimeout";
}

void KxModuleClound::sltHttpRequestFailed(QString mark, int code, QString requestUrl)
{
    qDebug() << "KxModuleClound::sltHttpRequestFailed" << mark << code << requestUrl;
    bool hasCode = false;
    const quint64 requestCode = mark.section(QLatin1Char(MarkSeparator), 1).toULongLong(&hasCode);
    if (hasCode)
        pendingFailed(requestCode, code);
}

void KxModuleClound::sltNetWorkState(bool has)
{
    if (!m_bNetSeen || has != m_bLastNet) {
        m_bNetSeen = true;
        m_bLastNet = has;
        qDebug() << "KxModuleClound::sltNetWorkState" << has;
    }
    if (m_pCallback)
        m_pCallback->netStatusChanged(has);
    if (!has) {
        for (CloudTask *task : qAsConst(m_tasks))
            task->bOnline = false;
    }
}

// ---------------------------------------------------------------------------
// Accepting files

void KxModuleClound::uploadVideo(const char *path, double duration)
{
    if (!path) {
        qDebug() << "KxModuleClound::uploadVideo" << "null path";
        return;
    }
    FileOffer offer;
    offer.isPhoto = false;
    offer.path = QString::fromUtf8(path);
    offer.duration = duration;
    offerFile(std::move(offer));
}

void KxModuleClound::uploadPhoto(const char *path)
{
    if (!path) {
        qDebug() << "KxModuleClound::uploadPhoto" << "null path";
        return;
    }
    FileOffer offer;
    offer.isPhoto = true;
    offer.path = QString::fromUtf8(path);
    offerFile(std::move(offer));
}

void KxModuleClound::offerFile(FileOffer offer)
{
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(m_offerLock);
        wasEmpty = m_offers.empty();
        m_offers.push_back(std::move(offer));
    }
    if (QThread::currentThread() == thread()) {
        drainOffers();
    } else if (wasEmpty) {
        // One wake-up per batch: the drain takes everything queued by then.
        // Invoked by name so that nothing of ours travels inside the event;
        // the offers themselves pass through m_offerLock only.
        QMetaObject::invokeMethod(this, "drainOffers", Qt::QueuedConnection);
    }
}

void KxModuleClound::drainOffers()
{
    for (;;) {
        FileOffer offer;
        {
            std::lock_guard<std::mutex> lock(m_offerLock);
            if (m_offers.empty())
                return;
            offer = std::move(m_offers.front());
            m_offers.pop_front();
        }
        if (offer.isPhoto)
            acceptPhoto(offer.path);
        else
            acceptVideo(offer.path, offer.duration);
    }
}

CloudTask *KxModuleClound::acceptingTask(const char *operation, const QString &path)
{
    if (m_cancelledIds.contains(m_strCurrentTaskId)) {
        qDebug() << operation << "task cancel" << path;
        return nullptr;
    }
    CloudTask *task = m_tasks.value(m_strCurrentTaskId, nullptr);
    if (!task) {
        qDebug() << operation << "error id not found." << path;
        return nullptr;
    }
    if (!task->bOnline) {
        qDebug() << operation << "no network cannot upload." << path;
        return nullptr;
    }
    if (!QFileInfo::exists(path)) {
        qDebug() << operation << "error file not exists." << path;
        giveUp(task, path, QStringLiteral("file missing when offered"));
        return nullptr;
    }
    return task;
}

void KxModuleClound::acceptVideo(const QString &path, double duration)
{
    qDebug() << "KxModuleClound::uploadVideo" << path << duration;
    CloudTask *task = acceptingTask("KxModuleClound::uploadVideo", path);
    if (!task)
        return;
    auto *seg = new CloudVideoItem;
    seg->duration = duration;
    seg->localPath = path;
    task->segments.append(seg);
    task->bVideosDone = false;
    if (task->bBucketLost) {
        giveUp(task, path, QStringLiteral("no bucket"));
        return;
    }
    if (!task->bBucketKnown || task->bUploading)
        return;  // waits for the bucket, or for the playlist upload after the segment in flight
    submitNextSegment(task);
}

void KxModuleClound::acceptPhoto(const QString &path)
{
    qDebug() << "KxModuleClound::uploadPhoto" << path;
    CloudTask *task = acceptingTask("KxModuleClound::uploadPhoto", path);
    if (!task)
        return;
    const QString photoId = QUuid::createUuid().toString().remove(QRegularExpression(QStringLiteral("[{}-]")));
    auto *photo = new CloudPhotoItem;
    photo->localPath = path;
    task->snapshots.insert(photoId, photo);
    task->bPhotosDone = false;
    if (task->bBucketLost)
        giveUp(task, path, QStringLiteral("no bucket"));
    else if (task->bBucketKnown)
        submitSnapshot(task, photoId);
    // else it goes out when the bucket is known
}

// ---------------------------------------------------------------------------
// Progress, questions, cancelling

void KxModuleClound::sendProgress()
{
    qDebug() << "KxModuleClound::sendProgress" << m_bProgress << static_cast<void *>(m_pCallback);
    if (!m_bProgress || !m_pCallback)
        return;
    QList<UploadProgress> list;
    for (CloudTask *task : qAsConst(m_tasks)) {
        if (task->bCancelled) {
            qDebug() << "KxModuleClound::sendProgress" << "task cancel.";
            continue;
        }
        UploadProgress entry;
        entry.taskId = task->taskId;
        entry.taskName = task->name;
        // The completion notice counts as a piece: the task is not done, and
        // the teacher not told so, before the service has been told.
        entry.total = task->segments.size() + task->snapshots.size() + 1;
        entry.finished = task->registeredPieces();
        qDebug() << "KxModuleClound::sendProgress" << entry.taskId << entry.taskName << entry.total
                 << entry.finished;
        list.append(entry);
    }
    m_pCallback->uploadStatusChanged(list);
}

void KxModuleClound::startSendProgress()
{
    qDebug() << "KxModuleClound::startSendProgress";
    drainOffers();
    m_bProgress = true;
    sendProgress();
}

void KxModuleClound::stopSendProgress()
{
    qDebug() << "KxModuleClound::stopSendProgress";
    m_bProgress = false;
}

bool KxModuleClound::isUploadDone()
{
    drainOffers();
    qDebug() << "KxModuleClound::isUploadDone" << m_tasks.size();
    // A task is dropped only once it has completed, its notice included.
    return m_tasks.isEmpty();
}

QList<QString> KxModuleClound::notUploadList()
{
    drainOffers();
    qDebug() << "KxModuleClound::notUploadList";
    if (m_pNet)
        m_pNet->uploader()->stopAll();
    QList<QString> names;
    for (const CloudTask *task : qAsConst(m_tasks))
        names.append(task->name);
    return names;
}

void KxModuleClound::cancelUpload()
{
    // Files offered before the cancel are taken into their task first, so
    // that their local segments are removed with it.
    drainOffers();
    qDebug() << "KxModuleClound::cancelUpload" << m_tasks.size();
    if (m_pNet)
        m_pNet->uploader()->stopAll();
    const QStringList ids = m_tasks.keys();
    for (const QString &id : ids)
        deleteTask(id);
    m_tasks.clear();
    qDeleteAll(m_pending);
    m_pending.clear();
    m_givenUpByTask.clear();
}

void KxModuleClound::deleteTask(const QString &taskId)
{
    qDebug() << "KxModuleClound::deleteTask" << taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << "KxModuleClound::deleteTask" << "failed. no task id";
        return;
    }
    for (const CloudVideoItem *seg : qAsConst(task->segments)) {
        const bool removed = QFile::remove(seg->localPath);
        qDebug() << "KxModuleClound::deleteTask" << "del video file: " << removed << seg->localPath;
    }
    // Its requests go with it; a late answer finds nothing to match.
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it.value()->taskId == taskId) {
            delete it.value();
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    m_tasks.remove(taskId);
    delete task;
}
