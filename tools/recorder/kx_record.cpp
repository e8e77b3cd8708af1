// kx-record: records one lesson without the user interface.
//
// It wires the six recording modules the way the program does (cloud,
// local file, photo, packet pool, camera, audio), starts them against one
// recording clock, takes snapshots while recording, stops after the given
// time, waits for the uploads and prints what it produced: the MP4 file, the
// share text (with its QR code) and the upload progress.
//
// The cloud service is taken from version.ini beside the program or the
// file named by KX_VERSION_INI; the camera from V4L2, or from the virtual
// camera when KX_VIRTUAL_CAMERA is set; the microphone from PulseAudio.

#include "IKxMediaTime.h"
#include "IKxModuleAudio.h"
#include "IKxModuleCamera.h"
#include "IKxModuleClound.h"
#include "IKxModuleLocalFile.h"
#include "IKxModulePhoto.h"
#include "IKxModulePoolMgr.h"
#include "IKxNetWorkManager.h"
#include "KxMediaTime.h"
#include "KxMerioErrors.h"
#include "KxTerminalQr.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUuid>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>

namespace {

// The pattern that finds the camera unit's camera and microphone.
const char *const kDevicePattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

void processEventsFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

struct Outcome {
    QString mp4Path;
    double duration = -1;
    QString shareText;
    bool cameraFailed = false;
    int pendingPieces = -1;
};

class CameraEvents : public IKxModuleCamera::ICallBack {
public:
    explicit CameraEvents(Outcome &o) : m_o(o) {}
    void error(int code, const char *description) override
    {
        qWarning("kx-record: camera error %d: %s", code, description ? description : "");
        if (code == KxMerioErrors::DEVICE_FAILURE)
            m_o.cameraFailed = true;
    }
    void stopped() override {}
    void statistics(int, int) override {}

private:
    Outcome &m_o;
};

class FileEvents : public KxToLocalFileCbk {
public:
    explicit FileEvents(Outcome &o) : m_o(o) {}
    void OnStart() override {}
    void OnStoped(const char *path, double duration) override
    {
        m_o.mp4Path = QString::fromUtf8(path);
        m_o.duration = duration;
    }

private:
    Outcome &m_o;
};

class CloudEvents : public IKxModuleClound::ICallBack {
public:
    explicit CloudEvents(Outcome &o) : m_o(o) {}
    void error(int code, const QString &description) override
    {
        qWarning("kx-record: cloud error %d: %s", code, qPrintable(description));
    }
    void onStoped() override {}
    void netStatusChanged(bool isOnline) override
    {
        out() << "network: " << (isOnline ? "online" : "offline") << Qt::endl;
    }
    void uploadStatusChanged(const QList<UploadProgress> &progress) override
    {
        int pending = 0;
        for (const UploadProgress &p : progress)
            pending += p.total - p.finished;
        m_o.pendingPieces = pending;
    }
    void onQRCodeReceived(const QString &, const QString &qrcode) override
    {
        m_o.shareText = qrcode;
    }

private:
    Outcome &m_o;
};

class PhotoEvents : public IKxModulePhoto::ICallBack {
public:
    void onStoped() override {}
    void error(int type, const char *message) override
    {
        qWarning("kx-record: snapshot error %d: %s", type, message ? message : "");
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kx-record");
    av_log_set_level(AV_LOG_WARNING);

    QCommandLineParser parser;
    parser.setApplicationDescription("Records one lesson without the user interface.");
    parser.addHelpOption();
    QCommandLineOption secondsOpt("seconds", "Length of the recording.", "s", "10");
    QCommandLineOption snapshotsOpt("snapshots", "Snapshots taken while recording.", "n", "2");
    QCommandLineOption outOpt("out", "Folder of the recordings.", "dir",
                              QDir::homePath() + "/Documents/NorviClass/NorviMerioShare");
    QCommandLineOption cameraOpt("camera", "Camera name pattern.", "regex", kDevicePattern);
    QCommandLineOption micOpt("microphone", "Microphone name pattern.", "regex", kDevicePattern);
    QCommandLineOption waitOpt("upload-wait", "Longest wait for the uploads after stopping.", "s", "60");
    parser.addOptions({secondsOpt, snapshotsOpt, outOpt, cameraOpt, micOpt, waitOpt});
    parser.process(app);

    const int seconds = qBound(1, parser.value(secondsOpt).toInt(), 3 * 60);
    const int snapshots = qBound(0, parser.value(snapshotsOpt).toInt(), 20);
    const int uploadWaitMs = qBound(0, parser.value(waitOpt).toInt(), 600) * 1000;

    kxRegisterCoreMetaTypes();
    IKxNetWorkManager *net = KxNetrelay::getInst(nullptr);
    app.setProperty("IKxNetWorkManager", QVariant::fromValue(net));
    app.setProperty("app_uuid", QUuid::createUuid().toString().remove(QRegExp("[{}-]")));

    Outcome outcome;
    CameraEvents cameraEvents(outcome);
    FileEvents fileEvents(outcome);
    CloudEvents cloudEvents(outcome);
    PhotoEvents photoEvents;
    KxMediaTime clock;

    // Work folder of this run: segments and the module's playlists.
    const QString tmp = QDir::tempPath() + QString("/kx-record-%1").arg(QCoreApplication::applicationPid());
    QDir(tmp).removeRecursively();
    QDir().mkpath(tmp);

    IKxModuleClound *cloud = IKxModuleClound::createInstance();
    cloud->registerCallback(&cloudEvents);
    cloud->init();
    cloud->config(tmp);

    IKxModuleLocalFile *files = IKxModuleLocalFile::createInstance();
    files->init();
    files->registerCallback(&fileEvents);
    files->setCloundModule(cloud);

    IKxModulePhoto *photo = IKxModulePhoto::createInstance();
    photo->registerCallback(&photoEvents);
    photo->init();
    photo->setCloundModule(cloud);

    IKxModulePoolMgr *pool = IKxModulePoolMgr::createInstance();
    pool->init();
    pool->setPhotoModule(photo);
    pool->setLocalFileModule(files);

    IKxModuleCamera *camera = IKxModuleCamera::createInstance();
    camera->init();
    camera->config(1, 2000);
    camera->registerCallback(&cameraEvents);
    const std::wstring cameraPattern = parser.value(cameraOpt).toStdWString();
    camera->setCameraName(cameraPattern.c_str());
    camera->setPoolModule(pool);

    IKxModuleAudio *audio = IKxModuleAudio::createInstance();
    const QByteArray micPattern = parser.value(micOpt).toLocal8Bit();
    const int audioInit = audio->init(micPattern.constData(), nullptr);
    audio->setPoolModule(pool);
    if (audioInit != 0)
        out() << "microphone: none matches (" << audioInit << "), recording without sound" << Qt::endl;

    int rc = 0;
    if (!camera->isCameraExist(nullptr)) {
        out() << "camera: no camera matches " << parser.value(cameraOpt) << Qt::endl;
        rc = 2;
    } else if (camera->preStart() < 0) {
        out() << "camera: could not be opened" << Qt::endl;
        rc = 2;
    }

    if (rc == 0) {
        const QString name = "MerioClass " + QDateTime::currentDateTime().toString("yyyyMMdd hhmmss");
        const QString key = QUuid::createUuid().toString().remove(QRegExp("[{}-]"));
        const QString folder = parser.value(outOpt) + "/" + name;
        QDir().mkpath(folder);

        photo->config(folder, "MerioClass");
        photo->start();
        cloud->start(key, name);

        KxLocalFileConfig config;
        config.mp4Path = (folder + "/" + name + ".mp4").toStdString();
        config.playlistPath = (tmp + "/" + key + ".m3u8").toStdString();
        config.segmentLength = 5;
        config.videoCodecId = 27;
        config.videoBitRate = 2000 * 1000;
        config.frameRate = 15;
        config.timeBaseNum = 1;
        config.width = 1280;
        config.height = 720;
        config.gopSize = 6;
        config.pixelFormat = 0;
        config.audioCodecId = 86018;
        config.audioBitRate = 64000;
        config.sampleRate = 44100;
        config.channels = 2;
        files->start(config);
        pool->start();
        clock.start();
        if (audioInit == 0)
            audio->start(&clock);
        const int cameraStart = camera->start(&clock);
        out() << "recording \"" << name << "\" for " << seconds << " s" << Qt::endl;
        if (cameraStart != KxMerioErrors::OK) {
            out() << "camera: start failed (" << cameraStart << ")" << Qt::endl;
            rc = 3;
        } else {
            cloud->startSendProgress();
            for (int s = 0; s < seconds && !outcome.cameraFailed; ++s) {
                processEventsFor(1000);
                if (snapshots > 0 && (s + 1) % qMax(1, seconds / (snapshots + 1)) == 0 &&
                    s + 1 < seconds)
                    camera->clipImage();
            }
        }

        // Producers stop first so that what the encoders still hold (about a
        // second of video behind the camera) reaches the files; the pool's
        // output thread gets a moment to deliver it before the files close.
        audio->stop();
        camera->stop();
        processEventsFor(500);
        files->stop();
        pool->stop();
        cloud->stop(rc != 0);
        photo->stop();
        processEventsFor(300);

        if (rc == 0) {
            out() << "local file: " << outcome.mp4Path << " (" << QString::number(outcome.duration, 'f', 2)
                  << " s, " << QFileInfo(outcome.mp4Path).size() / 1024 << " KiB)" << Qt::endl;
            QElapsedTimer waited;
            waited.start();
            while (!cloud->isUploadDone() && waited.elapsed() < uploadWaitMs)
                processEventsFor(200);
            if (cloud->isUploadDone()) {
                out() << "uploads: all done in " << waited.elapsed() << " ms after stopping" << Qt::endl;
            } else {
                out() << "uploads: not finished after " << uploadWaitMs / 1000 << " s:";
                for (const QString &task : cloud->notUploadList())
                    out() << " " << task;
                out() << Qt::endl;
                rc = 4;
            }
            if (!outcome.shareText.isEmpty()) {
                out() << "share: " << outcome.shareText << Qt::endl << kxTerminalQr(outcome.shareText);
            } else {
                out() << "share: no share text received (offline?)" << Qt::endl;
            }
        }
        cloud->stopSendProgress();
    }

    pool->destory();
    audio->destory();
    camera->destory();
    cloud->destory();
    files->destory();
    photo->destory();
    delete audio;
    delete cloud;
    delete files;
    delete photo;
    QDir(tmp).removeRecursively();
    out().flush();
    return rc;
}
