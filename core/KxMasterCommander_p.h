#pragma once
// Private part of KxMasterCommander: the callback adapters and the pipeline
// state. Only KxMasterCommander.cpp and its tests include this file.
//
// Each adapter is a QObject child of the commander that implements one
// module callback interface. Module callbacks arrive on the modules' own
// threads (camera, pool output, photo) or on the main thread (cloud); the
// adapters only log and emit, and Qt's automatic connections carry the
// signals to the main thread.

#include "IKxModuleAudio.h"
#include "IKxModuleCamera.h"
#include "IKxModuleClound.h"
#include "IKxModuleLocalFile.h"
#include "IKxModulePhoto.h"
#include "IKxModulePoolMgr.h"
#include "KxCommanderConfig.h"
#include "KxMediaTime.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class KxMasterCommander;

class KxAudioCallBackImp : public QObject {
    Q_OBJECT
public:
    explicit KxAudioCallBackImp(QObject *parent) : QObject(parent) {}
    ~KxAudioCallBackImp() override;
};

class KxCameraCallBackImp : public QObject, public IKxModuleCamera::ICallBack {
    Q_OBJECT
public:
    explicit KxCameraCallBackImp(QObject *parent) : QObject(parent) {}
    ~KxCameraCallBackImp() override;
    void error(int code, const char *description) override;
    void stopped() override;
    void statistics(int intake, int encoded) override;
signals:
    void sigCameraError();
};

class KxCloudCallBackImp : public QObject, public IKxModuleClound::ICallBack {
    Q_OBJECT
public:
    explicit KxCloudCallBackImp(QObject *parent) : QObject(parent) {}
    ~KxCloudCallBackImp() override;
    void error(int code, const QString &description) override;
    void onStoped() override;
    void netStatusChanged(bool isOnline) override;
    void uploadStatusChanged(const QList<UploadProgress> &progress) override;
    void onQRCodeReceived(const QString &file, const QString &qrcode) override;
signals:
    void sigNetworkStatusChanged(const bool &isOnline);
    void sigUploadStatusChanged(const QList<IKxModuleClound::ICallBack::UploadProgress> &progress);
    void sigQRCodeChanged(const QString &file, const QString &qrcode);
    void sigUploadError(const QString &description);
};

class KxLocalFileCallBackImp : public QObject, public KxToLocalFileCbk {
    Q_OBJECT
public:
    explicit KxLocalFileCallBackImp(QObject *parent) : QObject(parent) {}
    ~KxLocalFileCallBackImp() override;
    void OnStart() override;
    void OnStoped(const char *path, double duration) override;
    void OnBroken(const char *path, const char *reason) override;
signals:
    void sigLocalFileStarted();
    void sigLocalFileStopped(const QString &fname, const double &duration, const double &fsize);
    void sigLocalFileBroken(const QString &fname, const QString &reason);
};

class KxPhotoCallBackImp : public QObject, public IKxModulePhoto::ICallBack {
    Q_OBJECT
public:
    explicit KxPhotoCallBackImp(QObject *parent) : QObject(parent) {}
    ~KxPhotoCallBackImp() override;
    void onStoped() override;
    void error(int type, const char *msg) override;
};

class KxPollManagerCallBackImp : public QObject, public IKxModulePoolMgr::ICallBack {
    Q_OBJECT
public:
    explicit KxPollManagerCallBackImp(QObject *parent) : QObject(parent) {}
    ~KxPollManagerCallBackImp() override;
};

class KxMasterCommanderPrivate {
public:
    KxMasterCommanderPrivate(KxMasterCommander *q, const KxCommanderConfig &config);
    ~KxMasterCommanderPrivate();

    void removeAndCreateTmpDir();
    /// Takes the per-user lock in the work folder and, holding it, wipes the
    /// folder. Without it (another process records) nothing is touched.
    void takeWorkFolder();
    void createPath(const QString &path);
    bool startRecord(const QString &label, const QString &name);
    void stopRecord(bool discard);
    /// Runs the event loop for ms milliseconds, blocking in it (no spinning).
    static void waitInEventLoop(int ms);
    /// Removes a discarded recording's folder once (timer or teardown).
    void removeFolder(const QString &folder);

    KxMasterCommander *q;
    const KxCommanderConfig m_config;
    IKxModuleClound *m_pModuleClound = nullptr;
    IKxModuleLocalFile *m_pModuleLocalFile = nullptr;
    IKxModulePhoto *m_pModulePhoto = nullptr;
    IKxModulePoolMgr *m_pModulePoolMgr = nullptr;
    IKxModuleCamera *m_pModuleCamera = nullptr;
    IKxModuleAudio *m_pModuleAudio = nullptr;
    KxAudioCallBackImp *m_pAudioCallBack = nullptr;
    KxCameraCallBackImp *m_pCameraCallBack = nullptr;
    KxCloudCallBackImp *m_pCloudCallBack = nullptr;
    KxLocalFileCallBackImp *m_pLocalFileCallBack = nullptr;
    KxPhotoCallBackImp *m_pPhotoCallBack = nullptr;
    KxPollManagerCallBackImp *m_pPoolCallBack = nullptr;
    KxMediaTime m_clock;
    QString m_strTmpPath;
    QString m_strRecordName;
    QString m_strPlaylistPath;
    QString m_strStartError;
    QString m_strLockError;
    int m_lockFd = -1; ///< the flocked lock file while this process owns the work folder
    QMap<QString, bool> m_discardMap;
    QStringList m_pendingRemovals;
    bool m_bRecording = false;
};
