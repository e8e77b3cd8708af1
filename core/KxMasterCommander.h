#pragma once
// KxMasterCommander: the one object that owns the recording pipeline. It
// builds the six recording modules at construction, wires them together,
// starts and stops them per recording and turns their callbacks, which
// arrive on the modules' own threads, into signals on the main thread.
//
// Threads: every operation runs on the main thread except preStart, which
// the controller runs on a worker of Qt's global thread pool
// (CameraPreStartTask). Every signal is emitted on the main thread.

#include "IKxModuleClound.h"
#include "KxCommanderConfig.h"

#include <QList>
#include <QObject>
#include <QRunnable>
#include <QString>

class KxMasterCommanderPrivate;

class KxMasterCommander : public QObject {
    Q_OBJECT
public:
    /// Takes the per-user lock of the work folder; holding it, wipes the
    /// folder and finishes recordings that an earlier process left
    /// unfinished. Builds and wires the modules. Without the lock (another
    /// process records) every start is refused.
    explicit KxMasterCommander(const KxCommanderConfig &config, QObject *parent = nullptr);
    /// Stops a running recording (kept; thrown away only when shorter than
    /// five seconds), gives the uploads at most 3 s and tears the modules down.
    ~KxMasterCommander() override;

    /// Opens the camera and the microphone ahead of a recording
    /// (thread-pool worker); the camera's result.
    int preStart();
    /// Preview target: a native window id; painted on opaque black.
    int setCameraScreen(int32_t window);
    /// Whether the configured camera is present.
    bool isCameraExist();
    /// Starts a recording named name (folder and MP4 file carry the name;
    /// label prefixes the snapshots). True when the recording runs; on false
    /// the recording has been stopped and thrown away.
    bool startToRecord(const QString &label, const QString &name);
    /// Stops the running recording; discard throws it away (its folder is
    /// removed once the MP4 file is closed). Nothing the camera and the
    /// microphone produced before the call is lost.
    void stopToRecord(const bool &discard);
    /// Why the last startToRecord returned false (English, names the
    /// folder where the folder is the reason); empty after a good start.
    QString startError() const;
    /// The running (or last) lesson's name: the name given to startToRecord,
    /// with " (2)", " (3)"... added when a lesson of that name exists.
    QString recordName() const;
    /// Checked before a countdown: why no lesson could be recorded now (another
    /// process records; the documents folder cannot be created or written,
    /// or lacks room for the longest lesson), in English; empty when one can.
    QString recordingRefusal();
    /// Closes the camera and the microphone opened by preStart when no
    /// lesson follows it.
    void closeCamera();
    /// Requests one snapshot of the running recording.
    int clipImage();
    /// Milliseconds of the current recording (its clock).
    int64_t elapsed();

    QList<QString> cloudNotUploadList();
    bool isUploadDone();
    void startSendProgress();
    void stopSendProgress();
    void cancelUpload();

    /// The current (or last) recording's local playlist; its stem names the
    /// segments. For diagnostics and the headless recorder.
    QString playlistPath() const;
    /// The private work folder in use (segments and playlists).
    QString tmpPath() const;

signals:
    void sigNetworkStatusChanged(const bool &isOnline);
    void sigUploadStatusChanged(const QList<IKxModuleClound::ICallBack::UploadProgress> &progress);
    void sigQRCodeChanged(const QString &file, const QString &qrcode);
    /// The recording's MP4 file is closed and whole: duration in seconds,
    /// fileSize in KiB.
    void sigLocalFileStopped(const QString &videoName, const double &duration, const double &fileSize);
    /// The camera stopped working during a recording.
    void sigCameraError();
    /// The recording's MP4 file could not be written whole (disk full, size
    /// limit); reason in English for the log. Emitted instead of
    /// sigLocalFileStopped.
    void sigLocalFileBroken(const QString &videoName, const QString &reason);
    /// A file of a recording will not reach the cloud service (given up after
    /// its retries or refused for good): its name, without folders.
    void sigUploadError(const QString &fileName);

public slots:
    void onLocalFileStopped(const QString &fname, const double &duration, const double &size);
    void onLocalFileStarted();

private:
    friend class KxMasterCommanderPrivate;
    KxMasterCommanderPrivate *m_pData;
};

/// Opens the camera on a thread-pool worker while the countdown plays.
class CameraPreStartTask : public QRunnable {
public:
    explicit CameraPreStartTask(KxMasterCommander *commander) : m_pCommander(commander) {}
    void run() override { m_pCommander->preStart(); }

private:
    KxMasterCommander *m_pCommander;
};
