#pragma once
// Contract of the cloud module: uploads a recording's segments, remote
// playlist and snapshots, registers them with the cloud service and reports
// progress and the share text. Operations run on the main thread except
// uploadVideo (pool output thread) and uploadPhoto (pool photo thread);
// callbacks are made on the main thread.

#include <QList>
#include <QMetaType>
#include <QString>
#include <QtPlugin>

class IKxModuleClound {
public:
    class ICallBack {
    public:
        /// One upload task's progress.
        struct UploadProgress {
            QString taskId;
            QString taskName;
            int total = 0;     ///< pieces of the task: segments, snapshots and its completion notice
            int finished = 0;  ///< pieces finished
        };

        virtual ~ICallBack() = default;
        virtual void error(int code, const QString &description) = 0;
        virtual void onStoped() = 0;
        virtual void netStatusChanged(bool isOnline) = 0;
        virtual void uploadStatusChanged(const QList<UploadProgress> &progress) = 0;
        virtual void onQRCodeReceived(const QString &file, const QString &qrcode) = 0;
    };

    virtual ~IKxModuleClound() = default;
    virtual void registerCallback(ICallBack *callback) = 0;
    virtual void init() = 0;
    /// Begins the uploads of one recording; key: 32 hexadecimal digits.
    virtual void start(const QString &key, const QString &name) = 0;
    /// Ends the uploads of the recording; discard when it is thrown away.
    virtual void stop(bool discard) = 0;
    virtual void destory() = 0;
    /// The module's work folder (its own playlist files).
    virtual void config(const QString &tmpFolder) = 0;
    /// Queues one finished segment (path in UTF-8, duration in seconds).
    virtual void uploadVideo(const char *path, double duration) = 0;
    /// Queues one saved snapshot (path in UTF-8).
    virtual void uploadPhoto(const char *path) = 0;
    virtual bool isUploadDone() = 0;
    virtual void startSendProgress() = 0;
    virtual void stopSendProgress() = 0;
    virtual void cancelUpload() = 0;
    /// Names of the upload tasks not finished.
    virtual QList<QString> notUploadList() = 0;

    static IKxModuleClound *createInstance();
};

using UploadProgress = IKxModuleClound::ICallBack::UploadProgress;
Q_DECLARE_METATYPE(IKxModuleClound::ICallBack::UploadProgress)
Q_DECLARE_METATYPE(QList<IKxModuleClound::ICallBack::UploadProgress>)

#define IKxModuleClound_iid "com.vantri.pelclass.IKxModuleClound/1.0"
Q_DECLARE_INTERFACE(IKxModuleClound, IKxModuleClound_iid)

/// Registers the core types that travel through queued signals
/// (UploadProgress and its list). Safe to call more than once.
void kxRegisterCoreMetaTypes();
