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
#include <QSaveFile>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <atomic>

namespace {

// Process-wide: request codes stay unique across recordings and module
// instances, so a late reply can never be taken for a newer request.
std::atomic<quint64> s_requestCode{0};

constexpr int kTypePlaylist = 2;
constexpr int kTypeSnapshot = 3;
constexpr int kTypeSegment = 4;

// Keys of our own in the upload job; the uploader hands the job back
// unchanged.
const QString kKeyOpening = QStringLiteral("opening");
const QString kKeyListed = QStringLiteral("listed");

// Failed jobs and requests wait this long before the next attempt, doubling
// with every failure in a row.
constexpr int kFirstRetryPauseMs = 500;
constexpr int kMaxRetryPauseMs = 10000;
const QString kKeyFailingSince = QStringLiteral("failingSince");

// The request code travels in the requester's mark ("<path>#<code>"), which
// comes back with the answer or the failure of that very request.
const QChar kMarkSeparator = QLatin1Char('#');

const char kPathBucket[] = "api/bucket/bucket";
const char kPathRecord[] = "api/merioclass/merioclassroom";
const char kPathDone[] = "api/merioclass/sendsure";

QString pendingDump(const QMap<quint64, PendingRecordRequest *> &pending)
{
    QStringList parts;
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        parts << QStringLiteral("%1:%2:%3").arg(it.key()).arg(it.value()->taskId).arg(it.value()->localPath);
    return QLatin1Char('{') + parts.join(QStringLiteral(", ")) + QLatin1Char('}');
}

} // namespace

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
        n += pending->isNotice ? 0 : 1;
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
    QTimer::singleShot(200, this, [this]() {
        if (m_pCallback)
            m_pCallback->netStatusChanged(currentOnline());
    });
}

bool KxModuleClound::currentOnline()
{
    if (!m_pNet || !m_pMonitor)
        return false;
    return m_pMonitor->checkInternet();
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
    if (m_pCallback)
        m_pCallback->netStatusChanged(currentOnline());
    m_strCurrentTaskId = key;
    m_strCurrentTaskName = name + QStringLiteral(".mp4");
    getBucketName();
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
    if (m_pNet) {
        if (CloudVideoItem *seg = task->firstNotUploaded())
            m_pNet->uploader()->cancel(seg->localPath, seg->remotePath, m_strBucketName);
        for (CloudPhotoItem *photo : qAsConst(task->snapshots)) {
            if (!photo->bRegistered)
                m_pNet->uploader()->cancel(photo->localPath, photo->remotePath, m_strBucketName);
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

void KxModuleClound::httpGet(const QMap<QString, QString> &params, const QString &path)
{
    if (!m_pNet) {
        qDebug() << "KxModuleClound::httpGet" << "no network manager" << path;
        return;
    }
    m_pNet->httpRequester()->get(params, path, QString(), 0);
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

// ---------------------------------------------------------------------------
// HTTP exchanges

void KxModuleClound::getBucketName()
{
    qDebug() << "KxModuleClound::getBucketName";
    QMap<QString, QString> params;
    params.insert(QStringLiteral("type"), QStringLiteral("merioclass"));
    httpGet(params, QString::fromLatin1(kPathBucket));
}

void KxModuleClound::requestQRCodeContent()
{
    qDebug() << "KxModuleClound::requestQRCodeContent" << m_strCurrentTaskId << m_tasks.keys();
    if (m_cancelledIds.contains(m_strCurrentTaskId)) {
        qDebug() << "KxModuleClound::requestQRCodeContent" << "task cancel";
        return;
    }
    if (m_tasks.contains(m_strCurrentTaskId)) {
        qDebug() << "KxModuleClound::requestQRCodeContent" << "error taskID has already request."
                 << m_strCurrentTaskId;
        return;
    }
    auto *task = new CloudTask(m_strCurrentTaskId, m_strCurrentTaskName);
    m_tasks.insert(task->taskId, task);
    updateM3U8(task->taskId);
    submitPlaylist(task, true);
}

void KxModuleClound::postFileUpdate(const QString &taskId, const QString &remotePath, const QString &localPath,
                                    int32_t isPhoto, const QString &photoId, int listedSegments)
{
    qDebug() << "KxModuleClound::postFileUpdate" << taskId << remotePath << localPath << isPhoto;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << "KxModuleClound::postFileUpdate" << "no task." << taskId;
        return;
    }
    QMap<QString, QString> params;
    params.insert(QStringLiteral("type"), isPhoto ? QStringLiteral("2") : QStringLiteral("1"));
    params.insert(QStringLiteral("filetype"), isPhoto ? QStringLiteral("png") : QStringLiteral("m3u8"));
    params.insert(QStringLiteral("id"), task->classroomId);
    params.insert(QStringLiteral("path"), remotePath);
    if (isPhoto) {
        const qint64 bytes = QFileInfo(localPath).size();
        params.insert(QStringLiteral("size"), QString::number(static_cast<qint64>(bytes * (1.0 / 1024))));
        params.insert(QStringLiteral("name"), QFileInfo(localPath).fileName());
    } else {
        params.insert(QStringLiteral("size"), QString::number(static_cast<qint64>(task->size)));
        params.insert(QStringLiteral("name"), task->name);
        params.insert(QStringLiteral("length"),
                      QString::number(std::max<qint64>(1, static_cast<qint64>(task->length))));
    }
    const quint64 code = s_requestCode.fetch_add(1);
    params.insert(QStringLiteral("code"), QString::number(code));

    auto *pending = new PendingRecordRequest;
    pending->taskId = taskId;
    pending->isPhoto = isPhoto ? 1 : 0;
    pending->localPath = localPath;
    pending->photoId = photoId;
    pending->listedSegments = isPhoto ? -1 : listedSegments;
    pending->params = params;
    m_pending.insert(code, pending);
    sendPending(code);
}

void KxModuleClound::postTaskDone(const QString &taskId)
{
    qDebug() << "KxModuleClound::postTaskDone" << taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task || task->classroomId.isEmpty()) {
        // Nothing of it was ever registered: there is no classroom to close.
        qDebug() << "KxModuleClound::postTaskDone" << "no classroom, no notice" << taskId;
        return;
    }
    auto *pending = new PendingRecordRequest;
    pending->isNotice = true;
    pending->taskId = taskId;
    pending->localPath = task->name;
    pending->params.insert(QStringLiteral("id"), task->classroomId);
    const quint64 code = s_requestCode.fetch_add(1);
    m_pending.insert(code, pending);
    sendPending(code);
}

void KxModuleClound::sendPending(quint64 code)
{
    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending)
        return;  // answered, given up or dropped meanwhile
    // A record sent again joins the classroom that another reply opened
    // meanwhile, instead of opening one of its own.
    const CloudTask *task = pending->isNotice ? nullptr : m_tasks.value(pending->taskId, nullptr);
    if (task && !task->classroomId.isEmpty())
        pending->params.insert(QStringLiteral("id"), task->classroomId);
    const QString path = QString::fromLatin1(pending->isNotice ? kPathDone : kPathRecord);
    httpPost(pending->params, path, path + kMarkSeparator + QString::number(code));
}

bool KxModuleClound::isPassingFailure(int code)
{
    // 2xx and 3xx arrive here only with an answer that was no JSON object.
    return code == 408 || code == 429 || code >= 500 || (code > 0 && code < 400) || code == KxUploadConnectError
           || code == KxUploadTimeout || code == KxUploadAnswerTooLarge;
}

bool KxModuleClound::mayRetry(qint64 *failingSinceMs, int code) const
{
    const qint64 now = m_clock.elapsed();
    if (*failingSinceMs < 0)
        *failingSinceMs = now;
    return isPassingFailure(code) && now - *failingSinceMs < m_iRetryLimitMs;
}

void KxModuleClound::pendingFailed(quint64 code, int failure)
{
    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending) {
        qDebug() << "KxModuleClound::pendingFailed" << "not pending" << code;
        return;
    }
    if (!mayRetry(&pending->failingSinceMs, failure)) {
        dropPending(code, QStringLiteral("request failed with %1").arg(failure));
        return;
    }
    ++pending->failures;
    int pause = kFirstRetryPauseMs;
    for (int i = 1; i < pending->failures && pause < kMaxRetryPauseMs; ++i)
        pause *= 2;
    pause = std::min(pause, kMaxRetryPauseMs);
    qDebug() << "KxModuleClound::pendingFailed" << "resend." << code << failure << "in ms" << pause;
    QTimer::singleShot(pause, this, [this, code]() { sendPending(code); });
}

void KxModuleClound::dropPending(quint64 code, const QString &reason)
{
    PendingRecordRequest *pending = m_pending.take(code);
    if (!pending)
        return;
    qWarning() << "KxModuleClound::dropPending" << "given up" << code << reason << pending->taskId
               << pending->localPath;
    const QString taskId = pending->taskId;
    if (CloudTask *task = pending->isNotice ? nullptr : m_tasks.value(taskId, nullptr)) {
        // A playlist's segments may still be registered by a later playlist;
        // completeIfEnded gives up the ones no later playlist will carry.
        CloudPhotoItem *photo = pending->isPhoto ? task->snapshots.value(pending->photoId, nullptr) : nullptr;
        if (photo && !photo->bRegistered)
            giveUp(task, photo->localPath, reason);
    }
    delete pending;
    sendProgress();
    completeIfEnded(taskId);
}

void KxModuleClound::giveUp(CloudTask *task, const QString &localPath, const QString &reason)
{
    for (CloudVideoItem *seg : qAsConst(task->segments))
        if (seg->localPath == localPath && !seg->bRegistered)
            seg->bGivenUp = true;
    for (CloudPhotoItem *photo : qAsConst(task->snapshots))
        if (photo->localPath == localPath && !photo->bRegistered)
            photo->bGivenUp = true;
    const QString name = QFileInfo(localPath).fileName();
    task->givenUp.append(name);
    m_givenUpByTask[task->taskId].append(name);
    ++m_iGivenUpTotal;
    qWarning() << "KxModuleClound::giveUp" << "upload given up:" << name << reason << "task" << task->taskId
               << "given up in task" << task->givenUp.size() << "in all" << m_iGivenUpTotal;
    if (m_pCallback)
        m_pCallback->error(KxMerioErrors::OPERATION_FAILURE, QStringLiteral("upload failed: ") + name);
}

void KxModuleClound::completeIfEnded(const QString &taskId)
{
    CloudTask *task = m_tasks.value(taskId, nullptr);
    // A task cut off by a network loss stays open: files of it were
    // refused, so it is not complete.
    if (!task || !task->bStopped || !task->bOnline || task->bUploading || task->jobsInFlight > 0)
        return;
    for (const PendingRecordRequest *pending : qAsConst(m_pending))
        if (!pending->isNotice && pending->taskId == taskId)
            return;
    // Nothing of the task is on its way any more: a piece that has not
    // reached the class by now (uploaded, but no playlist carrying it was
    // registered) never will.
    for (CloudVideoItem *seg : qAsConst(task->segments))
        if (!seg->bGivenUp && !(seg->bUploaded && seg->bRegistered))
            giveUp(task, seg->localPath, QStringLiteral("no registered playlist lists it"));
    for (CloudPhotoItem *photo : qAsConst(task->snapshots))
        if (!photo->bGivenUp && !(photo->bUploaded && photo->bRegistered))
            giveUp(task, photo->localPath, QStringLiteral("never registered"));
    if (!isHttpDone(taskId))
        return;
    qInfo() << "KxModuleClound::completeIfEnded" << "task done" << taskId << "pieces"
            << task->segments.size() + task->snapshots.size() << "given up" << task->givenUp.size();
    postTaskDone(taskId);
    deleteTask(taskId);
}

bool KxModuleClound::isHttpDone(const QString &taskId)
{
    qDebug() << "KxModuleClound::isHttpDone" << taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << "KxModuleClound::isHttpDone" << "failed. no task id";
        return true;
    }
    if (!task->bStopped)
        return false;
    task->bVideosDone = true;
    for (const CloudVideoItem *seg : qAsConst(task->segments)) {
        qDebug() << "KxModuleClound::isHttpDone" << "video" << seg->bUploaded << seg->bRegistered;
        if (!seg->bGivenUp && (!seg->bUploaded || !seg->bRegistered)) {
            task->bVideosDone = false;
            return false;
        }
    }
    task->bPhotosDone = true;
    for (const CloudPhotoItem *photo : qAsConst(task->snapshots)) {
        qDebug() << "KxModuleClound::isHttpDone" << "photo" << photo->bUploaded << photo->bRegistered;
        if (!photo->bGivenUp && (!photo->bUploaded || !photo->bRegistered)) {
            task->bPhotosDone = false;
            return false;
        }
    }
    return true;
}

void KxModuleClound::sltHttpRequestFinish(QString mark, QJsonObject jsonObj, QString requestUrl)
{
    qDebug() << "KxModuleClound::sltHttpRequestFinish" << mark << jsonObj << requestUrl;
    bool hasCode = false;
    const quint64 markCode = mark.section(kMarkSeparator, 1).toULongLong(&hasCode);
    mark = mark.section(kMarkSeparator, 0, 0);
    if (mark == QLatin1String(kPathBucket)) {
        const QString bucket = jsonObj.value(QStringLiteral("data")).toString();
        if (bucket.isEmpty()) {
            // Without a bucket every upload would land outside any bucket;
            // the recording stays without a task, as if no reply had come.
            qDebug() << "KxModuleClound::sltHttpRequestFinish" << "error no bucket name." << jsonObj;
            return;
        }
        m_strBucketName = bucket;
        requestQRCodeContent();
    } else if (mark == QLatin1String(kPathDone)) {
        handleNoticeReply(hasCode ? markCode : ~quint64(0), jsonObj);
    } else if (mark == QLatin1String(kPathRecord)) {
        handleRecordReply(hasCode ? markCode : ~quint64(0), jsonObj);
    }
}

void KxModuleClound::handleNoticeReply(quint64 code, const QJsonObject &jsonObj)
{
    const QJsonValue success = jsonObj.value(QStringLiteral("success"));
    if (!success.isBool() || !success.toBool()) {
        dropPending(code, QStringLiteral("notice refused: ") + jsonObj.value(QStringLiteral("message")).toString());
        return;
    }
    qDebug() << "KxModuleClound::sltHttpRequestFinish" << "task upload done.";
    delete m_pending.take(code);
}

void KxModuleClound::handleRecordReply(quint64 markCode, const QJsonObject &jsonObj)
{
    const char *const fn = "KxModuleClound::sltHttpRequestFinish";
    const QJsonValue success = jsonObj.value(QStringLiteral("success"));
    if (!success.isBool() || !success.toBool()) {
        const QString message = jsonObj.value(QStringLiteral("message")).toString();
        qDebug() << fn << "http request failed. " << message;
        // The service refused this record: sending it again changes nothing.
        dropPending(markCode, QStringLiteral("record refused: ") + message);
        return;
    }
    const QString data = jsonObj.value(QStringLiteral("data")).toString();
    static const QRegularExpression idRe(QStringLiteral("id=\\d+"));
    static const QRegularExpression codeRe(QStringLiteral("code=\\S+"));
    static const QRegularExpression codePartRe(QStringLiteral("&code=\\S+"));
    const QRegularExpressionMatch idMatch = idRe.match(data);
    const QString id = idMatch.hasMatch() ? idMatch.captured(0).mid(3) : QString();
    const QRegularExpressionMatch codeMatch = codeRe.match(data);
    bool ok = false;
    quint64 code = codeMatch.hasMatch() ? codeMatch.captured(0).mid(5).toULongLong(&ok) : 0;
    if (!ok)
        code = 0;
    qDebug() << fn << "id:" << id << "code:" << code;
    if (markCode != ~quint64(0) && markCode != code) {
        // The answer belongs to the request that carried the mark, whatever
        // the service echoed.
        qWarning() << fn << "answer code" << code << "differs from its request's" << markCode;
        code = markCode;
    }

    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending) {
        qDebug() << fn << " http request no matched. " << pendingDump(m_pending);
        return;
    }
    const QString taskId = pending->taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << fn << " task no matched. " << taskId;
        return;
    }

    if (pending->isPhoto) {
        if (CloudPhotoItem *photo = task->snapshots.value(pending->photoId, nullptr))
            photo->bRegistered = true;
    } else {
        if (task->shareText.isEmpty()) {
            task->classroomId = id;
            QString share = data;
            share.remove(codePartRe);
            task->shareText = share;
            if (m_pCallback)
                m_pCallback->onQRCodeReceived(task->name, task->shareText);
        }
        task->bAlternate = !task->bAlternate;
        if (pending->listedSegments >= 0) {
            // The segments this playlist lists are the ones the service now
            // knows about; counting replies instead would let the opening
            // playlist's reply stand for a segment it does not list.
            const int listed = std::min<int>(pending->listedSegments, task->segments.size());
            for (int i = 0; i < listed; ++i)
                task->segments[i]->bRegistered = task->segments[i]->bRegistered || task->segments[i]->bUploaded;
        } else {
            for (CloudVideoItem *seg : qAsConst(task->segments)) {
                if (!seg->bRegistered) {
                    seg->bRegistered = true;
                    break;
                }
            }
        }
    }
    m_pending.remove(code);
    delete pending;

    sendProgress();
    completeIfEnded(taskId);
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
    const quint64 requestCode = mark.section(kMarkSeparator, 1).toULongLong(&hasCode);
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
    if (task->bUploading)
        return;  // waits for the playlist upload after the segment in flight
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
    QJsonObject job;
    job.insert(QStringLiteral("photo_id"), photoId);
    uploadFile(task->taskId, path, kTypeSnapshot, job);
}

// ---------------------------------------------------------------------------
// Upload jobs

QString KxModuleClound::createRemoteFilePath(const QString &fileName, const QString &taskId) const
{
    return QStringLiteral("/MerioClass/%1-%2/%3")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")), taskId, fileName);
}

QString KxModuleClound::createLocalM3U8FilePath(const QString &folder, const QString &taskId)
{
    QDir dir(folder);
    if (!dir.exists() && !QDir().mkpath(folder))
        qDebug() << "KxModuleClound::createLocalM3U8FilePath" << "mkpath failed." << folder;
    return QStringLiteral("%1/%2.m3u8").arg(folder, taskId);
}

bool KxModuleClound::uploadFile(const QString &taskId, const QString &localPath, int type, QJsonObject job)
{
    qDebug() << "KxModuleClound::uploadFile" << taskId << localPath << type << job;
    if (!QFileInfo::exists(localPath)) {
        qDebug() << "KxModuleClound::uploadFile" << "error file not exists." << localPath;
        return false;
    }
    CloudTask *task = m_tasks.value(taskId, nullptr);
    QString fileName;
    if (type == kTypePlaylist)
        fileName = QStringLiteral("%1-%2.m3u8").arg(taskId, (task && task->bAlternate) ? QStringLiteral("2") : QStringLiteral("1"));
    else
        fileName = QFileInfo(localPath).fileName();
    const QString remotePath = createRemoteFilePath(fileName, taskId);
    if (type == kTypeSegment && task)
        task->bUploading = true;
    if (task)
        ++task->jobsInFlight;

    job.insert(QStringLiteral("localPath"), localPath);
    job.insert(QStringLiteral("remotePath"), remotePath);
    job.insert(QStringLiteral("bucketName"), m_strBucketName);
    job.insert(QStringLiteral("replace"), true);
    job.insert(QStringLiteral("type"), type);
    job.insert(QStringLiteral("taskID"), taskId);
    submitJob(job);
    return true;
}

bool KxModuleClound::submitNextSegment(CloudTask *task)
{
    task->bUploading = false;
    while (CloudVideoItem *seg = task->firstNotUploaded()) {
        if (uploadFile(task->taskId, seg->localPath, kTypeSegment, QJsonObject()))
            return true;
        // A segment that vanished before its turn would stall every later
        // one; leave it out of the recording instead.
        qDebug() << "KxModuleClound::submitNextSegment" << "segment dropped" << seg->localPath;
        giveUp(task, seg->localPath, QStringLiteral("file missing at its turn"));
    }
    return false;
}

bool KxModuleClound::submitPlaylist(CloudTask *task, bool opening)
{
    const int listed = task->settledSegments();
    QJsonObject job;
    job.insert(kKeyListed, listed);
    if (opening)
        job.insert(kKeyOpening, true);
    return uploadFile(task->taskId, createLocalM3U8FilePath(m_strWorkFolder, task->taskId), kTypePlaylist, job);
}

void KxModuleClound::sltUploadFinished(int res, QJsonObject jsonInfo)
{
    qDebug() << "KxModuleClound::sltUploadFinished" << res << jsonInfo;
    const QString taskId = jsonInfo.value(QStringLiteral("taskID")).toString();
    const int type = jsonInfo.value(QStringLiteral("type")).toInt();
    const QString localPath = jsonInfo.value(QStringLiteral("localPath")).toString();
    const QString remotePath = jsonInfo.value(QStringLiteral("remotePath")).toString();

    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << "KxModuleClound::sltUploadFinished" << "no task." << taskId << m_tasks.size();
        return;
    }
    if (res != 0) {
        qint64 failingSince = qint64(jsonInfo.value(kKeyFailingSince).toDouble(-1));
        if (!mayRetry(&failingSince, res)) {
            endFailedJob(task, type, jsonInfo, res);
            return;
        }
        jsonInfo.insert(kKeyFailingSince, double(failingSince));
        qDebug() << "KxModuleClound::sltUploadFinished" << "reupload.";
        // Offered again from the event loop, never from inside the
        // uploader's signal: an uploader that fails a job synchronously
        // would otherwise recurse without end. The uploader spaces out
        // repeated failures itself.
        QMetaObject::invokeMethod(this, [this, jsonInfo]() {
            const QString id = jsonInfo.value(QStringLiteral("taskID")).toString();
            if (m_tasks.contains(id))
                submitJob(jsonInfo);
            else
                qDebug() << "KxModuleClound::sltUploadFinished" << "no task." << id << m_tasks.size();
        }, Qt::QueuedConnection);
        return;
    }

    --task->jobsInFlight;
    switch (type) {
    case kTypeSegment: {
        // Matched by path among the segments not yet uploaded: a stale
        // duplicate result must never mark another segment.
        CloudVideoItem *seg = nullptr;
        for (CloudVideoItem *item : qAsConst(task->segments)) {
            if (!item->bUploaded && item->localPath == localPath) {
                seg = item;
                break;
            }
        }
        if (!seg) {
            qDebug() << "KxModuleClound::sltUploadFinished" << "segment not pending" << localPath;
            completeIfEnded(taskId);
            return;
        }
        seg->bUploaded = true;
        seg->remotePath = remotePath;
        task->size += QFileInfo(seg->localPath).size() / 1024.0;
        task->length += seg->duration;
        updateM3U8(taskId);
        if (!submitPlaylist(task, false)) {
            // Without a playlist file the chain would stall for good; the
            // next segment's playlist carries this one as well.
            submitNextSegment(task);
        }
        break;
    }
    case kTypePlaylist: {
        // The opening playlist runs beside the chain: a segment accepted
        // meanwhile is already in flight, and must not be sent twice.
        if (!jsonInfo.value(kKeyOpening).toBool())
            submitNextSegment(task);
        postFileUpdate(taskId, remotePath, localPath, 0, QString(), jsonInfo.value(kKeyListed).toInt(-1));
        break;
    }
    case kTypeSnapshot: {
        const QString photoId = jsonInfo.value(QStringLiteral("photo_id")).toString();
        if (CloudPhotoItem *photo = task->snapshots.value(photoId, nullptr)) {
            photo->bUploaded = true;
            photo->remotePath = remotePath;
        }
        postFileUpdate(taskId, remotePath, localPath, 1, photoId);
        break;
    }
    default:
        qDebug() << "KxModuleClound::sltUploadFinished" << "error " << type;
        completeIfEnded(taskId);
        break;
    }
}

void KxModuleClound::endFailedJob(CloudTask *task, int type, const QJsonObject &jsonInfo, int code)
{
    const QString localPath = jsonInfo.value(QStringLiteral("localPath")).toString();
    const QString reason = QStringLiteral("upload failed with %1").arg(code);
    qWarning() << "KxModuleClound::endFailedJob" << type << localPath << reason;
    --task->jobsInFlight;
    const QString taskId = task->taskId;
    if (type == kTypeSegment) {
        giveUp(task, localPath, reason);
        submitNextSegment(task);
    } else if (type == kTypePlaylist) {
        // Its segments are carried by the next playlist, if one comes.
        if (!jsonInfo.value(kKeyOpening).toBool())
            submitNextSegment(task);
    } else if (type == kTypeSnapshot) {
        if (CloudPhotoItem *photo = task->snapshots.value(jsonInfo.value(QStringLiteral("photo_id")).toString(), nullptr))
            giveUp(task, photo->localPath, reason);
    }
    sendProgress();
    completeIfEnded(taskId);
}

void KxModuleClound::updateM3U8(const QString &taskId)
{
    qDebug() << "KxModuleClound::updateM3U8" << taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << "KxModuleClound::updateM3U8" << "error no task " << taskId;
        return;
    }
    const QString path = createLocalM3U8FilePath(m_strWorkFolder, taskId);
    // Written beside and renamed over the old one: an upload in flight keeps
    // reading the complete previous version.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qDebug() << "KxModuleClound::updateM3U8" << "file open fail." << path << file.errorString();
        return;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out.setGenerateByteOrderMark(false);
    out << QStringLiteral("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%1\n#EXT-X-MEDIA-SEQUENCE:0\n").arg(11);
    for (const CloudVideoItem *seg : qAsConst(task->segments)) {
        if (seg->bGivenUp)
            continue;  // a gap in the lesson rather than an end of it
        if (!seg->bUploaded)
            break;
        out << QStringLiteral("#EXTINF:%1,\n%2\n").arg(QString::number(seg->duration, 'g', 6), seg->remotePath);
    }
    qDebug() << "KxModuleClound::updateM3U8" << task->segments.size();
    out << QStringLiteral("#EXT-X-ENDLIST\n");
    out.flush();
    if (out.status() != QTextStream::Ok || !file.commit())
        qWarning() << "KxModuleClound::updateM3U8" << "file write fail." << path << file.errorString();
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
        entry.total = task->segments.size() + task->snapshots.size();
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
    for (const CloudTask *task : qAsConst(m_tasks)) {
        if (!task->bVideosDone || !task->bPhotosDone)
            return false;
    }
    return true;
}

QList<QString> KxModuleClound::notUploadList()
{
    drainOffers();
    qDebug() << "KxModuleClound::notUploadList";
    if (m_pNet)
        m_pNet->uploader()->stopAll();
    QList<QString> names;
    for (const CloudTask *task : qAsConst(m_tasks)) {
        if (!task->bVideosDone || !task->bPhotosDone)
            names.append(task->name);
    }
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
    m_tasks.remove(taskId);
    delete task;
}
