// The cloud module's exchanges with the service's API: the bucket query of
// each task, the classroom records of its playlists and snapshots, and its
// completion notice. Every request is kept until it is answered or given
// up, and sent again as it was when it fails for a passing reason.

#include "KxModuleClound.h"

#include "KxMerioErrors.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <atomic>

using namespace kxcloud;

namespace {

// Process-wide: request codes stay unique across recordings and module
// instances, so a late reply can never be taken for a newer request. 0 is
// never used ("no request" in CloudTask).
std::atomic<quint64> s_requestCode{1};

QString pendingDump(const QMap<quint64, PendingRecordRequest *> &pending)
{
    QStringList parts;
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        parts << QStringLiteral("%1:%2:%3").arg(it.key()).arg(it.value()->taskId).arg(it.value()->localPath);
    return QLatin1Char('{') + parts.join(QStringLiteral(", ")) + QLatin1Char('}');
}

} // namespace

quint64 KxModuleClound::addPending(PendingRecordRequest *pending)
{
    const quint64 code = s_requestCode.fetch_add(1);
    m_pending.insert(code, pending);
    return code;
}

void KxModuleClound::getBucketName(CloudTask *task)
{
    qDebug() << "KxModuleClound::getBucketName" << task->taskId;
    auto *pending = new PendingRecordRequest;
    pending->kind = PendingRecordRequest::Bucket;
    pending->taskId = task->taskId;
    pending->localPath = task->name;
    pending->params.insert(QStringLiteral("type"), QStringLiteral("merioclass"));
    sendPending(addPending(pending));
}

void KxModuleClound::handleBucketReply(quint64 code, const QJsonObject &jsonObj)
{
    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending || pending->kind != PendingRecordRequest::Bucket) {
        // Its task was discarded or cancelled meanwhile.
        qDebug() << "KxModuleClound::handleBucketReply" << "task cancel" << code;
        return;
    }
    const QString bucket = jsonObj.value(QStringLiteral("data")).toString();
    if (bucket.isEmpty()) {
        // Without a bucket every upload would land outside any bucket.
        qDebug() << "KxModuleClound::sltHttpRequestFinish" << "error no bucket name." << jsonObj;
        dropPending(code, QStringLiteral("no bucket name"));
        return;
    }
    const QString taskId = pending->taskId;
    delete m_pending.take(code);
    m_strBucketName = bucket;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task)
        return;
    succeeded(task);
    task->bucket = bucket;
    openTask(task);
}

void KxModuleClound::openTask(CloudTask *task)
{
    qDebug() << "KxModuleClound::requestQRCodeContent" << task->taskId << "waiting segments"
             << task->segments.size() << "snapshots" << task->snapshots.size();
    task->bBucketKnown = true;
    const QString taskId = task->taskId;
    updateM3U8(taskId);
    submitPlaylist(task, true);
    // Pieces offered before the bucket was known go out now, in order.
    if (!task->bUploading)
        submitNextSegment(task);
    const QStringList photoIds = task->snapshots.keys();
    for (const QString &photoId : photoIds) {
        const CloudPhotoItem *photo = task->snapshots.value(photoId);
        if (!photo->bSubmitted && !photo->bGivenUp)
            submitSnapshot(task, photoId);
    }
    completeIfEnded(taskId);
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

    auto *pending = new PendingRecordRequest;
    pending->taskId = taskId;
    pending->isPhoto = isPhoto ? 1 : 0;
    pending->localPath = localPath;
    pending->photoId = photoId;
    pending->listedSegments = isPhoto ? -1 : listedSegments;
    const quint64 code = addPending(pending);
    params.insert(QStringLiteral("code"), QString::number(code));
    pending->params = params;

    if (isPhoto) {
        if (task->classroomId.isEmpty()) {
            // Sent without an id it would open a classroom of its own.
            qDebug() << "KxModuleClound::postFileUpdate" << "waits for the classroom id" << code;
            pending->held = true;
            return;
        }
        sendPending(code);
        return;
    }
    if (task->playlistRecordSent) {
        // One playlist record at a time, so that an older list can never
        // arrive after a newer one; a newer list replaces one still waiting.
        if (task->playlistRecordNext) {
            qDebug() << "KxModuleClound::postFileUpdate" << "superseded" << task->playlistRecordNext;
            delete m_pending.take(task->playlistRecordNext);
        }
        pending->held = true;
        task->playlistRecordNext = code;
        return;
    }
    task->playlistRecordSent = code;
    sendPending(code);
}

void KxModuleClound::postTaskDone(CloudTask *task)
{
    qDebug() << "KxModuleClound::postTaskDone" << task->taskId;
    if (task->classroomId.isEmpty()) {
        // Nothing of it was ever registered: there is no classroom to close.
        qDebug() << "KxModuleClound::postTaskDone" << "no classroom, no notice" << task->taskId;
        endTask(task->taskId, false);
        return;
    }
    task->bNoticePending = true;
    auto *pending = new PendingRecordRequest;
    pending->kind = PendingRecordRequest::Notice;
    pending->taskId = task->taskId;
    pending->localPath = task->name;
    pending->params.insert(QStringLiteral("id"), task->classroomId);
    sendPending(addPending(pending));
}

void KxModuleClound::sendPending(quint64 code)
{
    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending)
        return;  // answered, given up or dropped meanwhile
    const CloudTask *task = m_tasks.value(pending->taskId, nullptr);
    if (pending->kind == PendingRecordRequest::Bucket) {
        pending->held = false;
        httpGet(pending->params, QString::fromLatin1(PathBucket),
                QString::fromLatin1(PathBucket) + QLatin1Char(MarkSeparator) + QString::number(code));
        return;
    }
    if (pending->kind == PendingRecordRequest::Record) {
        // A record sent again joins the classroom that another reply opened
        // meanwhile, instead of opening one of its own.
        if (task && !task->classroomId.isEmpty())
            pending->params.insert(QStringLiteral("id"), task->classroomId);
        if (pending->isPhoto && pending->params.value(QStringLiteral("id")).isEmpty()) {
            pending->held = true;
            return;
        }
    }
    pending->held = false;
    const QString path = QString::fromLatin1(pending->kind == PendingRecordRequest::Notice ? PathDone : PathRecord);
    httpPost(pending->params, path, path + QLatin1Char(MarkSeparator) + QString::number(code));
}

void KxModuleClound::pendingFailed(quint64 code, int failure)
{
    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending) {
        qDebug() << "KxModuleClound::pendingFailed" << "not pending" << code;
        return;
    }
    CloudTask *task = m_tasks.value(pending->taskId, nullptr);
    if (!task) {
        delete m_pending.take(code);
        return;
    }
    if (!mayRetry(task, failure)) {
        if (isPassingFailure(failure))
            giveUpWaiting(task, QStringLiteral("retry bound reached"));
        dropPending(code, QStringLiteral("request failed with %1").arg(failure));
        return;
    }
    ++pending->failures;
    int pause = FirstRetryPauseMs;
    for (int i = 1; i < pending->failures && pause < MaxRetryPauseMs; ++i)
        pause *= 2;
    pause = std::min(pause, MaxRetryPauseMs);
    quint64 resend = code;
    if (task->playlistRecordSent == code && task->playlistRecordNext) {
        // The retry carries the newest list instead of the failed one.
        resend = task->playlistRecordNext;
        m_pending.value(resend)->failures = pending->failures;
        qDebug() << "KxModuleClound::pendingFailed" << "superseded" << code << "by" << resend;
        delete m_pending.take(code);
        task->playlistRecordSent = resend;
        task->playlistRecordNext = 0;
    }
    qDebug() << "KxModuleClound::pendingFailed" << "resend." << resend << failure << "in ms" << pause;
    QTimer::singleShot(pause, this, [this, resend]() { sendPending(resend); });
}

void KxModuleClound::dropPending(quint64 code, const QString &reason)
{
    PendingRecordRequest *pending = m_pending.take(code);
    if (!pending)
        return;
    qWarning() << "KxModuleClound::dropPending" << "given up" << code << reason << pending->taskId
               << pending->localPath;
    const QString taskId = pending->taskId;
    const PendingRecordRequest::Kind kind = pending->kind;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (task && kind == PendingRecordRequest::Bucket) {
        task->bBucketLost = true;
        giveUpWaiting(task, QStringLiteral("no bucket: ") + reason);
    } else if (task && kind == PendingRecordRequest::Notice) {
        qWarning() << "KxModuleClound::dropPending" << "completion notice given up" << task->name;
        if (m_pCallback)
            m_pCallback->error(KxMerioErrors::OPERATION_FAILURE,
                               QStringLiteral("upload failed: completion notice of ") + task->name);
        delete pending;
        endTask(taskId, false);
        return;
    } else if (task && pending->isPhoto) {
        CloudPhotoItem *photo = task->snapshots.value(pending->photoId, nullptr);
        if (photo && !photo->bRegistered)
            giveUp(task, photo->localPath, reason);
    } else if (task) {
        // Its segments may still be registered by a later playlist;
        // completeIfEnded gives up the ones no later playlist will carry.
        nextPlaylistRecord(task, code);
    }
    delete pending;
    sendProgress();
    completeIfEnded(taskId);
}

void KxModuleClound::nextPlaylistRecord(CloudTask *task, quint64 endedCode)
{
    if (task->playlistRecordSent == endedCode)
        task->playlistRecordSent = 0;
    if (task->playlistRecordNext == endedCode)
        task->playlistRecordNext = 0;
    if (!task->playlistRecordSent && task->playlistRecordNext) {
        task->playlistRecordSent = task->playlistRecordNext;
        task->playlistRecordNext = 0;
        sendPending(task->playlistRecordSent);
    }
}

void KxModuleClound::releaseHeldSnapshots(CloudTask *task)
{
    if (task->classroomId.isEmpty())
        return;
    QList<quint64> held;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it.value()->held && it.value()->isPhoto && it.value()->taskId == task->taskId)
            held.append(it.key());
    for (quint64 code : held)
        sendPending(code);
}

void KxModuleClound::handleNoticeReply(quint64 code, const QJsonObject &jsonObj)
{
    PendingRecordRequest *pending = m_pending.value(code, nullptr);
    if (!pending || pending->kind != PendingRecordRequest::Notice) {
        qDebug() << "KxModuleClound::handleNoticeReply" << "not pending" << code;
        return;
    }
    const QJsonValue success = jsonObj.value(QStringLiteral("success"));
    if (!success.isBool() || !success.toBool()) {
        dropPending(code, QStringLiteral("notice refused: ") + jsonObj.value(QStringLiteral("message")).toString());
        return;
    }
    qDebug() << "KxModuleClound::sltHttpRequestFinish" << "task upload done.";
    const QString taskId = pending->taskId;
    delete m_pending.take(code);
    endTask(taskId, true);
}

void KxModuleClound::endTask(const QString &taskId, bool noticeAccepted)
{
    if (noticeAccepted)
        m_noticeAccepted.insert(taskId);
    deleteTask(taskId);
    sendProgress();
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
    if (!pending || pending->kind != PendingRecordRequest::Record) {
        qDebug() << fn << " http request no matched. " << pendingDump(m_pending);
        return;
    }
    const QString taskId = pending->taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << fn << " task no matched. " << taskId;
        return;
    }
    succeeded(task);

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
        }
    }
    m_pending.remove(code);
    const bool wasPlaylist = !pending->isPhoto;
    delete pending;
    if (wasPlaylist) {
        nextPlaylistRecord(task, code);
        releaseHeldSnapshots(task);
    }

    sendProgress();
    completeIfEnded(taskId);
}
