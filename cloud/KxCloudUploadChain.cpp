// The upload chain of a task: segments go up strictly one after the other,
// each followed by the rewritten playlist; snapshots go up as they come.
// Failed jobs are offered again within the task's retry bound; pieces that
// cannot reach the class are given up and reported, and a stopped task
// completes here once every piece has ended.

#include "KxModuleClound.h"

#include "IKxNetWorkManager.h"
#include "KxCloudPlaylistWriter.h"
#include "KxMerioErrors.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>

using namespace kxcloud;

namespace {
// Keys of our own in the upload job; the uploader hands the job back
// unchanged.
const QString kKeyOpening = QStringLiteral("opening");
const QString kKeyListed = QStringLiteral("listed");
} // namespace

QString KxModuleClound::createRemoteFilePath(const QString &fileName, const QString &taskId) const
{
    return QStringLiteral("/MerioClass/%1-%2/%3")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")), taskId, fileName);
}

QString KxModuleClound::createLocalM3U8FilePath(const QString &folder, const QString &taskId)
{
    return KxCloudPlaylistWriter::localPath(folder, taskId);
}

void KxModuleClound::updateM3U8(const QString &taskId)
{
    qDebug() << "KxModuleClound::updateM3U8" << taskId;
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task) {
        qDebug() << "KxModuleClound::updateM3U8" << "error no task " << taskId;
        return;
    }
    KxCloudPlaylistWriter::write(createLocalM3U8FilePath(m_strWorkFolder, taskId), *task);
}

bool KxModuleClound::uploadFile(const QString &taskId, const QString &localPath, int type, QJsonObject job)
{
    qDebug() << "KxModuleClound::uploadFile" << taskId << localPath << type << job;
    if (!QFileInfo::exists(localPath)) {
        qDebug() << "KxModuleClound::uploadFile" << "error file not exists." << localPath;
        return false;
    }
    CloudTask *task = m_tasks.value(taskId, nullptr);
    if (!task)
        return false;
    QString fileName;
    if (type == TypePlaylist)
        fileName = QStringLiteral("%1-%2.m3u8").arg(taskId, task->bAlternate ? QStringLiteral("2") : QStringLiteral("1"));
    else
        fileName = QFileInfo(localPath).fileName();
    const QString remotePath = createRemoteFilePath(fileName, taskId);
    if (type == TypeSegment)
        task->bUploading = true;
    ++task->jobsInFlight;

    job.insert(QStringLiteral("localPath"), localPath);
    job.insert(QStringLiteral("remotePath"), remotePath);
    job.insert(QStringLiteral("bucketName"), task->bucket);
    job.insert(QStringLiteral("replace"), true);
    job.insert(QStringLiteral("type"), type);
    job.insert(QStringLiteral("taskID"), taskId);
    submitJob(job);
    return true;
}

bool KxModuleClound::submitNextSegment(CloudTask *task)
{
    task->bUploading = false;
    if (!task->bBucketKnown)
        return false;
    while (CloudVideoItem *seg = task->firstNotUploaded()) {
        if (uploadFile(task->taskId, seg->localPath, TypeSegment, QJsonObject()))
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
    return uploadFile(task->taskId, createLocalM3U8FilePath(m_strWorkFolder, task->taskId), TypePlaylist, job);
}

void KxModuleClound::submitSnapshot(CloudTask *task, const QString &photoId)
{
    CloudPhotoItem *photo = task->snapshots.value(photoId, nullptr);
    if (!photo)
        return;
    photo->bSubmitted = true;
    QJsonObject job;
    job.insert(QStringLiteral("photo_id"), photoId);
    if (!uploadFile(task->taskId, photo->localPath, TypeSnapshot, job))
        giveUp(task, photo->localPath, QStringLiteral("file missing at its turn"));
}

bool KxModuleClound::isPassingFailure(int code)
{
    // 2xx and 3xx arrive here only with an answer that was no JSON object.
    return code == 408 || code == 429 || code >= 500 || (code > 0 && code < 400) || code == KxUploadConnectError
           || code == KxUploadTimeout || code == KxUploadAnswerTooLarge;
}

bool KxModuleClound::mayRetry(CloudTask *task, int code)
{
    if (!isPassingFailure(code))
        return false;
    const qint64 now = m_clock.elapsed();
    if (task->failingSinceMs < 0)
        task->failingSinceMs = now;
    return now - task->failingSinceMs < m_iRetryLimitMs;
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
        if (!mayRetry(task, res)) {
            endFailedJob(task, type, jsonInfo, res);
            return;
        }
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

    succeeded(task);
    --task->jobsInFlight;
    switch (type) {
    case TypeSegment: {
        // Matched by path among the segments not yet uploaded: a stale
        // duplicate result must never mark another segment.
        CloudVideoItem *seg = nullptr;
        for (CloudVideoItem *item : qAsConst(task->segments)) {
            if (!item->bUploaded && !item->bGivenUp && item->localPath == localPath) {
                seg = item;
                break;
            }
        }
        if (!seg) {
            qDebug() << "KxModuleClound::sltUploadFinished" << "segment not pending" << localPath;
            submitNextSegment(task);
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
    case TypePlaylist: {
        // The opening playlist runs beside the chain: a segment accepted
        // meanwhile is already in flight, and must not be sent twice.
        if (!jsonInfo.value(kKeyOpening).toBool())
            submitNextSegment(task);
        postFileUpdate(taskId, remotePath, localPath, 0, QString(), jsonInfo.value(kKeyListed).toInt(-1));
        break;
    }
    case TypeSnapshot: {
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
    const bool boundReached = isPassingFailure(code);
    const QString reason = boundReached ? QStringLiteral("upload failed with %1, retry bound reached").arg(code)
                                        : QStringLiteral("upload failed with %1").arg(code);
    qWarning() << "KxModuleClound::endFailedJob" << type << localPath << reason;
    --task->jobsInFlight;
    const QString taskId = task->taskId;
    if (type == TypeSegment) {
        giveUp(task, localPath, reason);
        task->bUploading = false;
    } else if (type == TypePlaylist) {
        // Its segments are carried by the next playlist, if one comes.
        if (!jsonInfo.value(kKeyOpening).toBool())
            task->bUploading = false;
    } else if (type == TypeSnapshot) {
        if (CloudPhotoItem *photo = task->snapshots.value(jsonInfo.value(QStringLiteral("photo_id")).toString(), nullptr))
            giveUp(task, photo->localPath, reason);
    }
    // The bound covers the whole task: what still waits would only fail
    // the same way, one time-out after another.
    if (boundReached)
        giveUpWaiting(task, QStringLiteral("retry bound reached"));
    if (!task->bUploading && (type == TypeSegment || !jsonInfo.value(kKeyOpening).toBool()))
        submitNextSegment(task);
    sendProgress();
    completeIfEnded(taskId);
}

void KxModuleClound::giveUpWaiting(CloudTask *task, const QString &reason)
{
    // A segment in flight ends through its own job.
    CloudVideoItem *inFlight = task->bUploading ? task->firstNotUploaded() : nullptr;
    QStringList lost;
    for (const CloudVideoItem *seg : qAsConst(task->segments))
        if (seg != inFlight && !seg->bUploaded && !seg->bGivenUp)
            lost << seg->localPath;
    for (const CloudPhotoItem *photo : qAsConst(task->snapshots))
        if (!photo->bSubmitted && !photo->bGivenUp)
            lost << photo->localPath;
    for (const QString &path : qAsConst(lost))
        giveUp(task, path, reason);
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
    if (!task || !task->bStopped || !task->bOnline || task->bUploading || task->jobsInFlight > 0
        || task->bNoticePending)
        return;
    if (!task->bBucketKnown && !task->bBucketLost)
        return;  // its bucket query is on its way
    QList<quint64> heldSnapshots;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        const PendingRecordRequest *pending = it.value();
        if (pending->taskId != taskId)
            continue;
        if (!pending->held || !pending->isPhoto)
            return;  // on its way
        heldSnapshots.append(it.key());
    }
    // Nothing of the task is on its way any more. Snapshot records still
    // waiting for a classroom id never get one: no playlist was registered.
    for (quint64 code : qAsConst(heldSnapshots)) {
        PendingRecordRequest *pending = m_pending.take(code);
        if (CloudPhotoItem *photo = task->snapshots.value(pending->photoId, nullptr))
            giveUp(task, photo->localPath, QStringLiteral("no classroom to register it in"));
        delete pending;
    }
    // A piece that has not reached the class by now (uploaded, but no
    // playlist carrying it was registered) never will.
    for (CloudVideoItem *seg : qAsConst(task->segments))
        if (!seg->bGivenUp && !(seg->bUploaded && seg->bRegistered))
            giveUp(task, seg->localPath, QStringLiteral("no registered playlist lists it"));
    for (CloudPhotoItem *photo : qAsConst(task->snapshots))
        if (!photo->bGivenUp && !(photo->bUploaded && photo->bRegistered))
            giveUp(task, photo->localPath, QStringLiteral("never registered"));
    task->bVideosDone = true;
    task->bPhotosDone = true;
    qInfo() << "KxModuleClound::completeIfEnded" << "pieces ended" << taskId << "pieces"
            << task->segments.size() + task->snapshots.size() << "given up" << task->givenUp.size();
    postTaskDone(task);
}
