#include "KxMasterCommander.h"
#include "KxMasterCommander_p.h"

#include "KxDropCounters.h"
#include "KxIdleMemory.h"
#include "KxMerioErrors.h"
#include "KxPrivateFolder.h"

#include <QColor>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Longest wait for the pool to hand the producers' last packets to the
// files at a stop (the encoder's tail is about a second of video).
constexpr int kDrainTimeoutMs = 5000;
// A lesson shorter than this is thrown away, also when the program ends.
constexpr int64_t kShortRecordingMs = 5000;
// Longest wait for the cloud to send what it holds when the commander goes.
constexpr int kTeardownUploadWaitMs = 3000;
// Held by the one process per user that owns the work folder.
const char *const kLockName = "recording.lock";

QString newKey()
{
    return QUuid::createUuid().toString().remove(QRegularExpression("[{}-]"));
}

// The work folder sits in the system temporary folder, which other users
// share: it is only used when it is a real folder of ours (never a link),
// and made private.
bool isOwnPrivateFolder(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

// Bytes a lesson of the longest allowed length takes at the configured
// rates, with a tenth more for the container and the snapshots.
qint64 bytesForLongestLesson(const KxCommanderConfig *settings)
{
    const qint64 bitsPerSecond = qint64(settings->videoBitRate) * 1000 + settings->audioBitRate;
    return bitsPerSecond / 8 * settings->recordLimitMinutes * 60 * 11 / 10;
}

// Whether a lesson can be written into folder (created when missing):
// empty when it can, else the reason in English.
QString checkLessonFolder(const QString &folder, qint64 bytesNeeded)
{
    const QByteArray native = QFile::encodeName(folder);
    if (!QDir().mkpath(folder))
        return QStringLiteral("it cannot be created");
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QStringLiteral("it is not a folder");
    const QByteArray probe = native + "/.kx-write-check";
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return QStringLiteral("it cannot be written (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
    const QByteArray block(4096, 'k');
    const bool wrote = ::write(fd, block.constData(), size_t(block.size())) == block.size();
    const int writeErr = errno;
    ::close(fd);
    ::unlink(probe.constData());
    if (!wrote)
        return QStringLiteral("it cannot be written (%1)").arg(QString::fromLocal8Bit(strerror(writeErr)));
    struct statvfs vfs;
    if (::statvfs(native.constData(), &vfs) == 0) {
        const qint64 room = qint64(vfs.f_bavail) * qint64(vfs.f_frsize);
        if (room < bytesNeeded)
            return QStringLiteral("the disk has room for %1 MB, a lesson needs %2 MB")
                .arg(room / 1000000).arg(bytesNeeded / 1000000);
    }
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
        && qint64(limit.rlim_cur) < bytesNeeded)
        return QStringLiteral("files are limited to %1 MB, a lesson needs %2 MB")
            .arg(qint64(limit.rlim_cur) / 1000000).arg(bytesNeeded / 1000000);
    return QString();
}

} // namespace

// ---- adapters ---------------------------------------------------------------

KxAudioCallBackImp::~KxAudioCallBackImp()
{
    qDebug() << "KxAudioCallBackImp::~KxAudioCallBackImp";
}

KxCameraCallBackImp::~KxCameraCallBackImp()
{
    qDebug() << "KxCameraCallBackImp::~KxCameraCallBackImp";
}

void KxCameraCallBackImp::error(int code, const char *description)
{
    qDebug() << "KxCameraCallBackImp::error" << ", err_code: " << code << ", strDesc " << description;
    if (code == KxMerioErrors::DEVICE_FAILURE)
        emit sigCameraError();
}

void KxCameraCallBackImp::stopped()
{
    qDebug() << "KxCameraCallBackImp::stopped";
}

void KxCameraCallBackImp::statistics(int, int) {}

KxCloudCallBackImp::~KxCloudCallBackImp()
{
    qDebug() << "KxCloudCallBackImp::~KxCloudCallBackImp";
}

void KxCloudCallBackImp::error(int code, const QString &description)
{
    qDebug() << "KxCloudCallBackImp::error" << code << description;
    // A piece the cloud module gave up on: "upload failed: <file name>".
    static const QString kGivenUp = QStringLiteral("upload failed: ");
    if (code == KxMerioErrors::OPERATION_FAILURE && description.startsWith(kGivenUp))
        emit sigUploadError(description.mid(kGivenUp.size()));
}

void KxCloudCallBackImp::onStoped()
{
    qDebug() << "KxCloudCallBackImp::onStoped";
}

void KxCloudCallBackImp::netStatusChanged(bool isOnline)
{
    qDebug() << "KxCloudCallBackImp::netStatusChanged" << "isOnline: " << isOnline;
    emit sigNetworkStatusChanged(isOnline);
}

void KxCloudCallBackImp::uploadStatusChanged(const QList<UploadProgress> &progress)
{
    emit sigUploadStatusChanged(progress);
}

void KxCloudCallBackImp::onQRCodeReceived(const QString &file, const QString &qrcode)
{
    qDebug() << "KxCloudCallBackImp::onQRCodeReceived" << " qrcode: " << qrcode << "file: " << file;
    emit sigQRCodeChanged(file, qrcode);
}

KxLocalFileCallBackImp::~KxLocalFileCallBackImp()
{
    qDebug() << "KxLocalFileCallBackImp::~KxLocalFileCallBackImp";
}

void KxLocalFileCallBackImp::OnStart()
{
    emit sigLocalFileStarted();
}

void KxLocalFileCallBackImp::OnStoped(const char *path, double duration)
{
    const QString fname = QString::fromUtf8(path);
    const double fsize = double(QFileInfo(fname).size() / 1024);
    qDebug() << "KxLocalFileCallBackImp::OnStoped" << ", szPath: " << fname << ", duration: " << duration
             << ", fsize: " << fsize;
    emit sigLocalFileStopped(fname, duration, fsize);
}

void KxLocalFileCallBackImp::OnBroken(const char *path, const char *reason)
{
    const QString fname = QString::fromUtf8(path);
    qWarning() << "KxLocalFileCallBackImp::OnBroken" << ", szPath: " << fname << ", reason: " << reason;
    emit sigLocalFileBroken(fname, QString::fromUtf8(reason));
}

KxPhotoCallBackImp::~KxPhotoCallBackImp()
{
    qDebug() << "KxPhotoCallBackImp::~KxPhotoCallBackImp";
}

void KxPhotoCallBackImp::onStoped()
{
    qDebug() << "KxPhotoCallBackImp::onStoped";
}

void KxPhotoCallBackImp::error(int type, const char *msg)
{
    qDebug() << "KxPhotoCallBackImp::error" << "type: " << type << "msg: " << msg;
}

KxPollManagerCallBackImp::~KxPollManagerCallBackImp()
{
    qDebug() << "KxPollManagerCallBackImp::~KxPollManagerCallBackImp";
}

// ---- private part -------------------------------------------------------------

KxMasterCommanderPrivate::KxMasterCommanderPrivate(KxMasterCommander *owner, const KxCommanderConfig &config)
    : q(owner), m_config(config)
{
    const KxCommanderConfig *settings = &m_config;

    m_pAudioCallBack = new KxAudioCallBackImp(q);
    m_pCameraCallBack = new KxCameraCallBackImp(q);
    QObject::connect(m_pCameraCallBack, &KxCameraCallBackImp::sigCameraError, q,
                     &KxMasterCommander::sigCameraError);
    m_pCloudCallBack = new KxCloudCallBackImp(q);
    m_pLocalFileCallBack = new KxLocalFileCallBackImp(q);
    QObject::connect(m_pLocalFileCallBack, &KxLocalFileCallBackImp::sigLocalFileStarted, q,
                     &KxMasterCommander::onLocalFileStarted);
    QObject::connect(m_pCloudCallBack, &KxCloudCallBackImp::sigNetworkStatusChanged, q,
                     &KxMasterCommander::sigNetworkStatusChanged);
    QObject::connect(m_pCloudCallBack, &KxCloudCallBackImp::sigUploadStatusChanged, q,
                     &KxMasterCommander::sigUploadStatusChanged);
    QObject::connect(m_pCloudCallBack, &KxCloudCallBackImp::sigQRCodeChanged, q,
                     &KxMasterCommander::sigQRCodeChanged);
    QObject::connect(m_pCloudCallBack, &KxCloudCallBackImp::sigUploadError, q,
                     &KxMasterCommander::sigUploadError);
    QObject::connect(m_pLocalFileCallBack, &KxLocalFileCallBackImp::sigLocalFileStopped, q,
                     &KxMasterCommander::sigLocalFileStopped);
    QObject::connect(m_pLocalFileCallBack, &KxLocalFileCallBackImp::sigLocalFileStopped, q,
                     &KxMasterCommander::onLocalFileStopped);
    // A broken file is thrown away like a stopped one when its recording was
    // discarded; otherwise the interface tells the teacher.
    QObject::connect(m_pLocalFileCallBack, &KxLocalFileCallBackImp::sigLocalFileBroken, q,
                     [this](const QString &fname, const QString &reason) {
                         if (!m_discardMap.value(QFileInfo(fname).completeBaseName(), false))
                             emit q->sigLocalFileBroken(fname, reason);
                         q->onLocalFileStopped(fname, 0, 0);
                     });
    m_pPhotoCallBack = new KxPhotoCallBackImp(q);
    m_pPoolCallBack = new KxPollManagerCallBackImp(q);

    m_pModuleClound = IKxModuleClound::createInstance();
    m_pModuleClound->registerCallback(m_pCloudCallBack);
    m_pModuleClound->init();

    removeAndCreateTmpDir();
    m_pModuleClound->config(m_strTmpPath);

    // Lessons an earlier process left unfinished (it was killed, or the
    // machine lost power) become regular MP4 files before anything records.
    // Only the owner of the work folder does this: another process's
    // unfinished MP4 may be a lesson that is still being recorded.
    if (m_lockFd >= 0) {
        const int recovered =
            KxFileModule::recoverUnfinishedRecordings(settings->documentsPath.toUtf8().toStdString());
        if (recovered > 0)
            qDebug() << "KxMasterCommander::KxMasterCommander" << "finished" << recovered << "interrupted recordings";
    }

    m_pModuleLocalFile = IKxModuleLocalFile::createInstance();
    m_pModuleLocalFile->init();
    m_pModuleLocalFile->registerCallback(m_pLocalFileCallBack);
    m_pModuleLocalFile->setCloundModule(m_pModuleClound);

    m_pModulePhoto = IKxModulePhoto::createInstance();
    m_pModulePhoto->registerCallback(m_pPhotoCallBack);
    m_pModulePhoto->init();
    m_pModulePhoto->setCloundModule(m_pModuleClound);

    m_pModulePoolMgr = IKxModulePoolMgr::createInstance();
    m_pModulePoolMgr->init();
    m_pModulePoolMgr->setPhotoModule(m_pModulePhoto);
    m_pModulePoolMgr->setLocalFileModule(m_pModuleLocalFile);

    m_pModuleCamera = IKxModuleCamera::createInstance();
    m_pModuleCamera->init();
    m_pModuleCamera->config(1, settings->videoBitRate);
    m_pModuleCamera->registerCallback(m_pCameraCallBack);
    const std::wstring cameraName = settings->cameraNamePattern.toStdWString();
    m_pModuleCamera->setCameraName(cameraName.c_str());
    m_pModuleCamera->setPoolModule(m_pModulePoolMgr);

    // The device pattern goes to the audio library in the local 8-bit
    // encoding (UTF-8 here).
    m_pModuleAudio = IKxModuleAudio::createInstance();
    const QByteArray audioPattern = settings->audioDevicePattern.toLocal8Bit();
    m_pModuleAudio->init(audioPattern.constData(), nullptr);
    m_pModuleAudio->setPoolModule(m_pModulePoolMgr);
}

KxMasterCommanderPrivate::~KxMasterCommanderPrivate()
{
    // Stop and tear the modules down before the adapters go, so that no
    // module thread can call a deleted adapter. Every way out of the program
    // ends here (quit, logout, a termination signal): the lesson is kept
    // like one the teacher stopped.
    if (m_bRecording) {
        const bool discard = m_clock.elapsed() < kShortRecordingMs;
        qWarning() << "KxMasterCommander::~KxMasterCommander" << "a lesson is running:" << m_strRecordName
                   << (discard ? "thrown away (shorter than 5 s)" : "stopped and kept");
        stopRecord(discard);
    }
    // The cloud gets a bounded moment to send what it holds.
    if (!m_pModuleClound->isUploadDone()) {
        QElapsedTimer waited;
        waited.start();
        while (!m_pModuleClound->isUploadDone() && waited.elapsed() < kTeardownUploadWaitMs)
            waitInEventLoop(100);
        qDebug() << "KxMasterCommander::~KxMasterCommander" << "uploads done:" << m_pModuleClound->isUploadDone()
                 << "after" << waited.elapsed() << "ms";
    }
    // Folders of discarded recordings whose timer has not run yet.
    for (const QString &folder : QStringList(m_pendingRemovals))
        removeFolder(folder);
    m_pModulePoolMgr->destory();
    m_pModuleAudio->destory();
    m_pModuleCamera->destory();
    m_pModuleClound->destory();
    m_pModuleLocalFile->destory();
    m_pModulePhoto->destory();
    // The pool manager and the camera module delete themselves in destory.
    delete m_pModuleAudio;
    delete m_pModuleClound;
    delete m_pModuleLocalFile;
    delete m_pModulePhoto;

    delete m_pAudioCallBack;
    delete m_pCameraCallBack;
    delete m_pCloudCallBack;
    delete m_pLocalFileCallBack;
    delete m_pPhotoCallBack;
    delete m_pPoolCallBack;
    if (m_lockFd >= 0)
        ::close(m_lockFd); // releases the lock
}

void KxMasterCommanderPrivate::removeAndCreateTmpDir()
{
    static const char *const kLog = "KxMasterCommander::KxMasterCommanderPrivate::removeAndCreateTmpDir";
    const QString tmpPath = m_config.tmpPath;
    qDebug() << kLog << " tmpPath: " << tmpPath;
    const QByteArray native = QFile::encodeName(tmpPath);
    struct stat st;
    const bool exists = ::lstat(native.constData(), &st) == 0;
    if (exists && !isOwnPrivateFolder(tmpPath)) {
        qWarning() << kLog << " refusing" << tmpPath << ": a link or not a folder of this user; left untouched";
    } else {
        if (exists)
            ::chmod(native.constData(), 0700);
        QString why;
        const bool made = kxEnsurePrivateFolder(tmpPath, &why);
        qDebug() << kLog << " mkpath ret: " << made;
        if (made) {
            m_strTmpPath = tmpPath;
            takeWorkFolder();
            return;
        }
        qWarning() << kLog << " cannot use" << tmpPath << ":" << why;
    }
    // A fresh private folder of our own instead (mkdtemp makes it 0700).
    QByteArray pattern = QFile::encodeName(tmpPath + "-XXXXXX");
    if (::mkdtemp(pattern.data())) {
        m_strTmpPath = QFile::decodeName(pattern);
    } else {
        // No temporary folder at all: a private folder beside the recordings.
        qWarning() << kLog << " mkdtemp failed:" << strerror(errno);
        const QString documents = m_config.documentsPath;
        QDir().mkpath(documents);
        m_strTmpPath = documents + "/.work";
        QString why;
        if (!kxEnsurePrivateFolder(m_strTmpPath, &why))
            qWarning() << kLog << why;
    }
    qDebug() << kLog << " using" << m_strTmpPath;
    takeWorkFolder();
}

void KxMasterCommanderPrivate::takeWorkFolder()
{
    static const char *const kLog = "KxMasterCommander::KxMasterCommanderPrivate::takeWorkFolder";
    const QByteArray lockPath = QFile::encodeName(m_strTmpPath + "/" + kLockName);
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_strLockError = QStringLiteral("the work folder %1 cannot be locked (%2)")
                             .arg(m_strTmpPath, QString::fromLocal8Bit(strerror(errno)));
        qWarning() << kLog << m_strLockError << "; the work folder is left untouched";
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {0};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        const qint64 pid = n > 0 ? QByteArray(text, int(n)).trimmed().toLongLong() : 0;
        m_strLockError = QStringLiteral("another recording is running (pid %1)").arg(pid);
        qWarning() << kLog << m_strLockError << "; its work folder and files are left untouched";
        return;
    }
    // A lock left by a process that died was released with it: ours now.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size())
        qWarning() << kLog << "cannot write the pid into" << QFile::decodeName(lockPath) << strerror(errno);
    m_lockFd = fd;
    // Playlists and segments of an earlier run never survive a restart.
    QDir dir(m_strTmpPath);
    bool removed = true;
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() == QLatin1String(kLockName))
            continue;
        if (entry.isDir() && !entry.isSymLink())
            removed = QDir(entry.absoluteFilePath()).removeRecursively() && removed;
        else
            removed = dir.remove(entry.fileName()) && removed;
    }
    qDebug() << kLog << " removeRecursively ret: " << removed;
}

void KxMasterCommanderPrivate::createPath(const QString &path)
{
    if (QDir(path).exists())
        return;
    const bool made = QDir().mkpath(path);
    qDebug() << "KxMasterCommander::KxMasterCommanderPrivate::createPath" << " mkpath ret: " << made;
}

void KxMasterCommanderPrivate::waitInEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool KxMasterCommanderPrivate::startRecord(const QString &label, const QString &name)
{
    static const char *const kLog = "KxMasterCommander::KxMasterCommanderPrivate::startRecord";
    const KxCommanderConfig *settings = &m_config;
    m_strStartError.clear();
    if (m_lockFd < 0) {
        m_strStartError = m_strLockError;
        qWarning() << kLog << " refused:" << m_strStartError;
        return false;
    }
    const QString documents = settings->documentsPath;
    if (QFileInfo(documents).isSymLink())
        qWarning() << kLog << " the documents folder" << documents << "is a link to"
                   << QFileInfo(documents).symLinkTarget() << "; lessons go there";
    // A name already taken (two lessons in one second, a clock set back)
    // gets a suffix: an MP4 file already there is never written over.
    QString unique = name;
    for (int n = 2; QFileInfo::exists(documents + "/" + unique + "/" + unique + ".mp4") && n < 1000; ++n)
        unique = QStringLiteral("%1 (%2)").arg(name).arg(n);
    if (unique != name)
        qWarning() << kLog << " the lesson" << name << "exists already; this one is" << unique;
    const QString folder = documents + "/" + unique;
    const bool folderExisted = QFileInfo::exists(folder);
    const QString why = checkLessonFolder(folder, bytesForLongestLesson(settings));
    if (!why.isEmpty()) {
        m_strStartError = QStringLiteral("the lesson folder %1 cannot be used: %2").arg(folder, why);
        qWarning() << kLog << " refused:" << m_strStartError;
        if (!folderExisted)
            QDir().rmdir(folder);
        return false;
    }
    m_strRecordName = unique;
    const QString key = newKey();

    m_pModulePhoto->config(folder, label);
    qDebug() << kLog << " m_pModulePhoto config";
    m_pModulePhoto->start();
    qDebug() << kLog << " m_pModulePhoto start";
    m_pModuleClound->start(key, unique);
    qDebug() << kLog << " m_pModuleClound start";

    createPath(folder);
    const QString mp4Path = folder + "/" + unique + ".mp4";
    m_strPlaylistPath = m_strTmpPath + "/" + key + ".m3u8";

    KxLocalFileConfig config;
    config.mp4Path = mp4Path.toUtf8().toStdString();
    config.playlistPath = m_strPlaylistPath.toUtf8().toStdString();
    config.segmentLength = settings->segmentLength;
    config.videoCodecId = settings->videoCodecId;
    config.videoBitRate = int64_t(settings->videoBitRate) * 1000;
    config.frameRate = settings->frameRate;
    config.timeBaseNum = settings->timeBaseNum;
    config.width = settings->width;
    config.height = settings->height;
    config.gopSize = settings->gopSize;
    config.pixelFormat = settings->pixelFormat;
    config.audioCodecId = settings->audioCodecId;
    config.audioBitRate = settings->audioBitRate;
    config.sampleRate = settings->sampleRate;
    config.channels = settings->channels;
    m_pModuleLocalFile->start(config);
    qDebug() << kLog << " m_pModuleLocalFile start";

    m_pModulePoolMgr->start();
    qDebug() << kLog << " m_pModulePoolMgr start";
    m_clock.start();
    m_pModuleAudio->start(&m_clock);
    qDebug() << kLog << " m_pModuleAudio start";
    const int cameraResult = m_pModuleCamera->start(&m_clock);
    qDebug() << kLog << " m_pModuleCamera start" << (cameraResult == KxMerioErrors::OK);
    m_bRecording = true;
    if (cameraResult != KxMerioErrors::OK) {
        m_strStartError = QStringLiteral("the camera did not start");
        waitInEventLoop(50);
        stopRecord(true);
        return false;
    }
    return true;
}

void KxMasterCommanderPrivate::stopRecord(bool discard)
{
    m_discardMap[m_strRecordName] = discard;
    // The producers stop first: the encoder drains its last frames into the
    // pool, the pool hands every packet pushed so far to the files, and only
    // then do the files close, so the end of the lesson is in the MP4 file and
    // the last segment.
    m_pModuleAudio->stop();
    m_pModuleCamera->stop();
    m_pModulePoolMgr->stopAfterDrain(kDrainTimeoutMs);
    m_pModuleLocalFile->stop();
    m_pModuleClound->stop(discard);
    m_pModulePhoto->stop();
    m_bRecording = false;
    const KxDropCounters &drops = KxDropCounters::instance();
    qDebug() << "KxMasterCommander::KxMasterCommanderPrivate::stopRecord" << "dropped since start-up: video frames"
             << drops.videoFramesDropped.load() << "audio blocks" << drops.audioBlocksDropped.load();
    waitInEventLoop(300);
    // The modules gave their recording buffers back at their stops.
    kxReturnFreeMemory();
}

// ---- commander --------------------------------------------------------------

KxMasterCommander::KxMasterCommander(const KxCommanderConfig &config, QObject *parent) : QObject(parent)
{
    qDebug() << "KxMasterCommander::KxMasterCommander";
    kxRegisterCoreMetaTypes();
    m_pData = new KxMasterCommanderPrivate(this, config);
}

KxMasterCommander::~KxMasterCommander()
{
    qDebug() << "KxMasterCommander::~KxMasterCommander";
    delete m_pData;
}

int KxMasterCommander::preStart()
{
    qDebug() << "KxMasterCommander::preStart";
    const int camera = m_pData->m_pModuleCamera->preStart();
    // The microphone is opened after the camera, so that the start after
    // the countdown only has to start both.
    const int audio = m_pData->m_pModuleAudio->prepare();
    if (audio != 0)
        qWarning() << "KxMasterCommander::preStart" << "the microphone is not open yet:" << audio;
    return camera;
}

int KxMasterCommander::setCameraScreen(int32_t window)
{
    qDebug() << "KxMasterCommander::setCameraScreen" << window;
    return m_pData->m_pModuleCamera->setCameraScreen(window, QColor(0, 0, 0, 255));
}

bool KxMasterCommander::isCameraExist()
{
    return m_pData->m_pModuleCamera->isCameraExist(nullptr);
}

bool KxMasterCommander::startToRecord(const QString &label, const QString &name)
{
    qDebug() << "KxMasterCommander::startToRecord" << label << name;
    if (m_pData->m_bRecording) {
        qWarning() << "KxMasterCommander::startToRecord" << " a recording is running";
        m_pData->m_strStartError = QStringLiteral("a recording is running");
        return false;
    }
    return m_pData->startRecord(label, name);
}

void KxMasterCommander::stopToRecord(const bool &discard)
{
    qDebug() << "KxMasterCommander::stopToRecord" << discard;
    if (!m_pData->m_bRecording) {
        qWarning() << "KxMasterCommander::stopToRecord" << " no recording is running";
        return;
    }
    m_pData->stopRecord(discard);
}

QString KxMasterCommander::startError() const
{
    return m_pData->m_strStartError;
}

QString KxMasterCommander::recordName() const
{
    return m_pData->m_strRecordName;
}

QString KxMasterCommander::recordingRefusal()
{
    if (m_pData->m_lockFd < 0)
        return m_pData->m_strLockError;
    const QString documents = m_pData->m_config.documentsPath;
    const QString why = checkLessonFolder(documents, bytesForLongestLesson(&m_pData->m_config));
    if (why.isEmpty())
        return QString();
    const QString refusal = QStringLiteral("the lesson folder %1 cannot be used: %2").arg(documents, why);
    qWarning() << "KxMasterCommander::recordingRefusal" << refusal;
    return refusal;
}

void KxMasterCommander::closeCamera()
{
    qDebug() << "KxMasterCommander::closeCamera";
    if (!m_pData->m_bRecording) {
        m_pData->m_pModuleCamera->stop();
        m_pData->m_pModuleAudio->release();
        kxReturnFreeMemory();
    }
}

int KxMasterCommander::clipImage()
{
    qDebug() << "KxMasterCommander::clipImage";
    return m_pData->m_pModuleCamera->clipImage();
}

int64_t KxMasterCommander::elapsed()
{
    return m_pData->m_clock.elapsed();
}

QList<QString> KxMasterCommander::cloudNotUploadList()
{
    qDebug() << "KxMasterCommander::cloudNotUploadList";
    return m_pData->m_pModuleClound->notUploadList();
}

bool KxMasterCommander::isUploadDone()
{
    return m_pData->m_pModuleClound->isUploadDone();
}

void KxMasterCommander::startSendProgress()
{
    m_pData->m_pModuleClound->startSendProgress();
}

void KxMasterCommander::stopSendProgress()
{
    m_pData->m_pModuleClound->stopSendProgress();
}

void KxMasterCommander::cancelUpload()
{
    m_pData->m_pModuleClound->cancelUpload();
}

QString KxMasterCommander::playlistPath() const
{
    return m_pData->m_strPlaylistPath;
}

QString KxMasterCommander::tmpPath() const
{
    return m_pData->m_strTmpPath;
}

void KxMasterCommander::onLocalFileStopped(const QString &fname, const double &, const double &)
{
    const QFileInfo info(fname);
    const QString name = info.completeBaseName();
    if (!m_pData->m_discardMap.value(name, false))
        return;
    const QString folder = info.absolutePath();
    m_pData->m_pendingRemovals.append(folder);
    QTimer::singleShot(300, this, [this, folder] { m_pData->removeFolder(folder); });
}

void KxMasterCommanderPrivate::removeFolder(const QString &folder)
{
    if (!m_pendingRemovals.removeOne(folder))
        return;
    const bool removed = QDir(folder).removeRecursively();
    qDebug() << "KxMasterCommander::onLocalFileStopped::<lambda>" << " remove dir " << folder << removed;
}

void KxMasterCommander::onLocalFileStarted()
{
    qDebug() << "KxMasterCommander::onLocalFileStarted" << m_pData->m_clock.elapsed();
}
