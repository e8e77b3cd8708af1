// kx-record: records lessons without the user interface.
//
// It builds the master commander the way the program does (settings, the
// network manager and the installation identity first), names each
// recording like the program ("MerioLesson yyyyMMdd hhmmss"), takes
// snapshots while recording, stops after the given time (a recording
// shorter than five seconds is thrown away, as in the program), waits for
// the uploads and reports what it produced: the MP4 file, the segments, the
// snapshots, the share text (with its QR code) and what did not upload.
//
// The cloud service is taken from version.ini beside the program or the
// file named by KX_VERSION_INI; the camera from V4L2, or from the virtual
// camera when KX_VIRTUAL_CAMERA is set; the microphone from PulseAudio or
// PipeWire. Without a matching microphone it warns and records without
// sound, and says so in its report and JSON ("audio": false).
// Exit status: 0 when every recording started and its MP4 file was written;
// otherwise non-zero with the reason on stderr (a lesson folder that cannot
// be written names the folder; another recording process names its pid).
// SIGTERM, SIGINT and SIGHUP stop the running lesson as kept (discarded only
// when shorter than five seconds), finish its file and give the uploads at
// most 3 s before the process ends.

#include "IKxNetWorkManager.h"
#include "KxAppServices.h"
#include "KxFileLog.h"
#include "KxDropCounters.h"
#include "KxMasterCommander.h"
#include "KxMerioSettingsData.h"
#include "KxQuitSignals.h"
#include "KxTerminalQr.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>

#include "KxAudioCollector.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <cstdio>
#include <functional>

namespace {

const char *const kTitle = "MerioLesson";
constexpr int kShortRecordingMs = 5000;
// Longest wait for the uploads once a termination signal asked to end.
constexpr int kQuitUploadWaitMs = 3000;

struct Recording {
    QString name;
    QString mp4;
    double durationS = 0;
    double sizeKiB = 0;
    bool fileStopped = false;
    QString broken;
    int segments = 0;
    QStringList snapshots;
    QString shareText;
    qint64 shareTextMs = -1; // from the start request to the share text
    bool uploadDone = false;
    QStringList uploadFailed;
    bool started = false;
    bool cameraFailed = false;
    bool discarded = false;
    bool audio = false; // the MP4 file holds a sound track
};

// Whether the file holds an audio stream: what a player will find, whatever
// the recorder believed while recording.
bool hasAudioStream(const QString &path)
{
    if (path.isEmpty())
        return false;
    AVFormatContext *ctx = nullptr;
    if (avformat_open_input(&ctx, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return false;
    bool found = false;
    if (avformat_find_stream_info(ctx, nullptr) >= 0)
        found = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
    avformat_close_input(&ctx);
    return found;
}

// Runs the event loop until done() holds or ms pass; it sleeps in the loop
// between events and checks done() a few times a second.
bool waitUntil(int ms, const std::function<bool()> &done)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer deadline;
    // A coarse timer may end a 60 s recording up to 3 s early.
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    deadline.start(ms);
    poll.start(100);
    loop.exec();
    return done();
}

// The segments that reached the recording's playlist.
int countSegments(const QString &playlist)
{
    QFile f(playlist);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return QString::fromUtf8(f.readAll()).count("#EXTINF:");
}

QStringList snapshotsIn(const QString &folder)
{
    QStringList out;
    const QDir dir(folder);
    for (const QString &f : dir.entryList({QString(kTitle) + "*.jpg"}, QDir::Files, QDir::Name))
        out << dir.filePath(f);
    return out;
}

QList<int> parseTimes(const QString &text)
{
    QList<int> out;
    for (const QString &part : text.split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const double t = part.trimmed().toDouble(&ok);
        if (ok && t >= 0)
            out << int(t * 1000);
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kx-record");
    av_log_set_level(AV_LOG_WARNING);

    QCommandLineParser parser;
    parser.setApplicationDescription("Records lessons without the user interface.");
    parser.addHelpOption();
    QCommandLineOption secondsOpt("seconds", "Length of each recording.", "s", "10");
    QCommandLineOption recordingsOpt("recordings", "Recordings made one after the other.", "n", "1");
    QCommandLineOption snapshotsOpt("snapshots", "Snapshots taken at even intervals while recording.", "n", "2");
    QCommandLineOption snapshotAtOpt("snapshot-at", "Snapshot times in seconds into each recording "
                                     "(replaces --snapshots).", "t1,t2,...");
    QCommandLineOption outOpt("out", "Folder of the recordings (default: the program's documents folder).", "dir");
    QCommandLineOption cameraOpt("camera", "Camera name pattern.", "regex");
    QCommandLineOption micOpt("microphone", "Microphone name pattern.", "regex");
    QCommandLineOption waitOpt("upload-wait", "Longest wait for the uploads after each recording.", "s", "60");
    QCommandLineOption jsonOpt("json", "Print a JSON summary on stdout (the report goes to stderr).");
    parser.addOptions({secondsOpt, recordingsOpt, snapshotsOpt, snapshotAtOpt, outOpt, cameraOpt, micOpt,
                       waitOpt, jsonOpt});
    parser.process(app);

    const bool json = parser.isSet(jsonOpt);
    QTextStream report(json ? stderr : stdout);
    QTextStream errors(stderr);
    const int seconds = qBound(1, parser.value(secondsOpt).toInt(), 3 * 60);
    const int recordings = qBound(1, parser.value(recordingsOpt).toInt(), 100);
    const int uploadWaitMs = qBound(0, parser.value(waitOpt).toInt(), 600) * 1000;
    QList<int> snapshotTimes;
    if (parser.isSet(snapshotAtOpt)) {
        snapshotTimes = parseTimes(parser.value(snapshotAtOpt));
    } else {
        const int count = qBound(0, parser.value(snapshotsOpt).toInt(), 20);
        const int step = qMax(1, seconds / (count + 1));
        for (int t = step; t < seconds && snapshotTimes.size() < count; t += step)
            snapshotTimes << t * 1000;
    }

    // Process-wide services first, as the program sets them up.
    KxMerioSettingsData *settings = KxMerioSettingsData::instance();
    if (parser.isSet(outOpt))
        settings->setDocumentsPath(QDir(parser.value(outOpt)).absolutePath());
    settings->setDevicePatterns(parser.isSet(cameraOpt) ? parser.value(cameraOpt) : settings->cameraNamePattern(),
                                parser.isSet(micOpt) ? parser.value(micOpt) : settings->audioDevicePattern());
    qSetMessagePattern(kxMessagePattern());
    const KxVersionInfo info = KxVersionInfo::read(KxAppPaths::versionIniPath());
    if (info.needLog)
        KxFileLog::install();
    IKxNetWorkManager *net = kxPublishNetworkManager(info);
    kxPublishInstallationIdentity();

    bool quitRequested = false;
    QElapsedTimer sinceQuit;
    KxQuitSignals quitSignals;
    QObject::connect(&quitSignals, &KxQuitSignals::sigQuitRequested, [&](int signo) {
        report << "signal " << signo << ": stopping" << Qt::endl;
        if (!quitRequested)
            sinceQuit.start();
        quitRequested = true;
    });

    QList<Recording> done;
    Recording *current = nullptr;
    QElapsedTimer sinceStart;
    int rc = 0;
    QString failure;
    {
        KxMasterCommander commander(settings->commanderConfig());
        QObject::connect(&commander, &KxMasterCommander::sigLocalFileStopped,
                         [&](const QString &file, const double &duration, const double &size) {
                             if (!current)
                                 return;
                             current->mp4 = file;
                             current->durationS = duration;
                             current->sizeKiB = size;
                             current->fileStopped = true;
                         });
        QObject::connect(&commander, &KxMasterCommander::sigLocalFileBroken,
                         [&](const QString &file, const QString &reason) {
                             if (current) {
                                 current->mp4 = file;
                                 current->broken = reason;
                             }
                         });
        QObject::connect(&commander, &KxMasterCommander::sigCameraError, [&] {
            if (current)
                current->cameraFailed = true;
        });
        QObject::connect(&commander, &KxMasterCommander::sigQRCodeChanged,
                         [&](const QString &, const QString &qrcode) {
                             if (current && current->shareText.isEmpty()) {
                                 current->shareText = qrcode;
                                 current->shareTextMs = sinceStart.elapsed();
                             }
                         });
        QObject::connect(&commander, &KxMasterCommander::sigUploadError, [&](const QString &description) {
            if (current)
                current->uploadFailed << description;
        });
        QObject::connect(&commander, &KxMasterCommander::sigNetworkStatusChanged, [&](const bool &online) {
            report << "network: " << (online ? "online" : "offline") << Qt::endl;
        });

        if (!commander.isCameraExist()) {
            failure = "no camera matches " + settings->cameraNamePattern();
            rc = 2;
        }
        for (int i = 0; rc == 0 && !quitRequested && i < recordings; ++i) {
            done.append(Recording());
            current = &done.last();
            if (commander.preStart() < 0) {
                failure = "the camera could not be opened";
                rc = 2;
                break;
            }
            current->name = QString(kTitle) + " " + QDateTime::currentDateTime().toString("yyyyMMdd hhmmss");
            if (!KxAudioModule::KxAudioCollector::hasMicrophone(settings->audioDevicePattern().toLocal8Bit().constData()))
                errors << "kx-record: warning: no microphone matches " << settings->audioDevicePattern()
                       << "; recording without sound" << Qt::endl;
            sinceStart.start();
            if (!commander.startToRecord(kTitle, current->name)) {
                failure = commander.startError().isEmpty() ? QString("the camera did not start")
                                                           : commander.startError();
                rc = 3;
                break;
            }
            current->started = true;
            report << "recording \"" << current->name << "\" for " << seconds << " s" << Qt::endl;
            commander.startSendProgress();

            QList<QTimer *> snapshotTimers;
            for (int t : snapshotTimes) {
                if (t >= seconds * 1000)
                    continue;
                QTimer *timer = new QTimer(&app);
                timer->setSingleShot(true);
                QObject::connect(timer, &QTimer::timeout, [&commander] { commander.clipImage(); });
                timer->start(t);
                snapshotTimers << timer;
            }
            QElapsedTimer recordingTime;
            recordingTime.start();
            waitUntil(seconds * 1000, [&] { return current->cameraFailed || quitRequested; });
            qDeleteAll(snapshotTimers);

            current->discarded = commander.elapsed() < kShortRecordingMs;
            commander.stopToRecord(current->discarded);
            current->segments = countSegments(commander.playlistPath());
            if (!current->discarded && !current->mp4.isEmpty()) {
                current->snapshots = snapshotsIn(QFileInfo(current->mp4).absolutePath());
                current->audio = hasAudioStream(current->mp4);
            }

            if (current->cameraFailed) {
                failure = "the camera stopped working during \"" + current->name + "\"";
                rc = 5;
            } else if (!current->broken.isEmpty()) {
                failure = "the MP4 file " + current->mp4 + " is incomplete: " + current->broken;
                rc = 6;
            } else if (!current->fileStopped) {
                failure = "no MP4 file was written for \"" + current->name + "\"";
                rc = 6;
            }
            if (current->discarded) {
                report << "recording \"" << current->name << "\" thrown away (shorter than 5 s)" << Qt::endl;
            } else {
                report << "local file: " << current->mp4 << " (" << QString::number(current->durationS, 'f', 2)
                       << " s, " << qint64(current->sizeKiB) << " KiB" << (current->audio ? "" : ", no sound")
                       << ")" << Qt::endl;
            }

            QElapsedTimer waited;
            waited.start();
            current->uploadDone = waitUntil(uploadWaitMs, [&] {
                return commander.isUploadDone() || (quitRequested && sinceQuit.elapsed() >= kQuitUploadWaitMs);
            });
            current->uploadDone = commander.isUploadDone();
            current->segments = qMax(current->segments, countSegments(commander.playlistPath()));
            if (current->uploadDone) {
                report << "uploads: all done in " << waited.elapsed() << " ms after stopping";
                if (!current->uploadFailed.isEmpty())
                    report << ", given up: " << current->uploadFailed.join(", ");
                report << Qt::endl;
            } else {
                report << "uploads: not finished after " << uploadWaitMs / 1000 << " s:";
                for (const QString &task : commander.cloudNotUploadList())
                    report << " " << task;
                report << Qt::endl;
            }
            commander.stopSendProgress();
            if (!current->shareText.isEmpty())
                report << "share: " << current->shareText << Qt::endl << kxTerminalQr(current->shareText);
            else if (!current->discarded)
                report << "share: no share text received (offline?)" << Qt::endl;
        }
        current = nullptr;
    }

    if (json) {
        QJsonArray list;
        for (const Recording &r : done) {
            QJsonObject o;
            o["name"] = r.name;
            o["mp4"] = r.discarded ? QString() : r.mp4;
            o["duration_s"] = r.durationS;
            o["size_kib"] = r.sizeKiB;
            o["segments"] = r.segments;
            o["snapshots"] = QJsonArray::fromStringList(r.snapshots);
            o["share_text"] = r.shareText;
            o["share_text_ms"] = double(r.shareTextMs);
            o["upload_done"] = r.uploadDone;
            o["upload_failed"] = QJsonArray::fromStringList(r.uploadFailed);
            // The uploads end only once the completion notice was accepted
            // or given up (and reported); without a share text there was
            // no classroom to notify.
            o["notice_done"] = r.uploadDone && !r.shareText.isEmpty()
                && r.uploadFailed.filter(QStringLiteral("completion notice of ")).isEmpty();
            o["discarded"] = r.discarded;
            o["audio"] = r.audio;
            list.append(o);
        }
        QJsonObject summary;
        summary["recordings"] = list;
        summary["video_frames_dropped"] = double(KxDropCounters::instance().videoFramesDropped.load());
        summary["audio_blocks_dropped"] = double(KxDropCounters::instance().audioBlocksDropped.load());
        summary["audio_timeline_restarts"] = double(KxDropCounters::instance().audioTimelineRestarts.load());
        QTextStream(stdout) << QJsonDocument(summary).toJson(QJsonDocument::Compact) << Qt::endl;
    }
    report.flush();
    delete net->qobject();
    if (rc != 0)
        errors << "kx-record: " << failure << Qt::endl;
    return rc;
}
