// Upload figures of the network library against devcloud on loopback.
//
//  1. The segment chain as a recording drives it: segment PUT, then playlist
//     PUT, then the playlist's record POST. Reported: the time from handing
//     a segment to the uploader until its record is answered, over N
//     segments (median and worst), one segment at a time.
//  2. Throughput for a 3-minute recording's worth of segments (36 segments
//     of 5 s at 2000 + 64 kbit/s): once strictly one after another, once all
//     submitted together.
//
// Usage: bench_kxuploader [chain-segments=30]

#include "IKxNetWorkManager.h"
#include "KxDevCloudFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kSegmentBytes = (2000 + 64) * 1000 / 8 * 5;  // 5 s at 2064 kbit/s
constexpr int kRecordingSegments = 36;                     // 3 minutes
const QString kBucket = QStringLiteral("merio-bucket");

QString writeFile(const QString &path, int bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator rng(uint(bytes) ^ uint(qHash(path)));
    rng.fillRange(reinterpret_cast<quint32 *>(data.data()), bytes / 4);
    f.write(data);
    return path;
}

QJsonObject job(const QString &local, const QString &remote, int type)
{
    return QJsonObject{{"localPath", local}, {"remotePath", remote}, {"bucketName", kBucket},
                       {"replace", true},   {"type", type},          {"taskID", "bench"}};
}

}  // namespace

// Drives the chain from the library's signals, connected by signature as the
// program's cloud module connects them.
class ChainDriver : public QObject {
    Q_OBJECT
public:
    ChainDriver(IKxNetWorkManager *mgr, const QString &dir, int segments)
        : m_up(mgr->uploader()), m_req(mgr->httpRequester()), m_dir(dir), m_segments(segments)
    {
        connect(m_up->qobject(), SIGNAL(signalUploadFinished(int, QJsonObject)), this,
                SLOT(onUploaded(int, QJsonObject)));
        connect(m_req->qobject(), SIGNAL(sglHttpRequestFinish(QString, QJsonObject, QString)), this,
                SLOT(onReply(QString, QJsonObject, QString)));
        for (int i = 0; i < segments; ++i)
            m_files << writeFile(m_dir + QStringLiteral("/chain.%1.ts").arg(i, 3, 10, QLatin1Char('0')), kSegmentBytes);
    }
    void start()
    {
        m_total.start();
        next();
    }
    bool done() const { return m_failed || int(latenciesMs.size()) == m_segments; }
    bool failed() const { return m_failed; }
    double totalMs() const { return m_total.nsecsElapsed() / 1e6; }

    std::vector<double> latenciesMs;

private slots:
    void onUploaded(int res, QJsonObject j)
    {
        if (res != 0) {
            m_failed = true;
            return;
        }
        if (j.value("type").toInt() == 4) {
            QByteArray text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:11\n#EXT-X-MEDIA-SEQUENCE:0\n";
            for (int i = 0; i <= m_index; ++i)
                text += "#EXTINF:5,\n/MerioClass/chain/" + QFileInfo(m_files[i]).fileName().toUtf8() + "\n";
            text += "#EXT-X-ENDLIST\n";
            const QString playlist = m_dir + QStringLiteral("/bench-1.m3u8");
            QFile f(playlist);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                m_failed = true;
                return;
            }
            f.write(text);
            f.close();
            m_up->upload(job(playlist, QStringLiteral("/MerioClass/chain/bench-1.m3u8"), 2));
        } else {
            m_req->post({{"type", "1"}, {"filetype", "m3u8"}, {"id", ""}, {"path", "/MerioClass/chain/bench-1.m3u8"},
                         {"code", QString::number(m_index)}},
                        QStringLiteral("api/merioclass/merioclassroom"), QString(), 0);
        }
    }
    void onReply(QString, QJsonObject, QString)
    {
        latenciesMs.push_back(m_segClock.nsecsElapsed() / 1e6);
        ++m_index;
        if (m_index < m_segments)
            next();
    }

private:
    void next()
    {
        m_segClock.start();
        m_up->upload(job(m_files[m_index], QStringLiteral("/MerioClass/chain/") + QFileInfo(m_files[m_index]).fileName(), 4));
    }

    IKxUploader *m_up;
    IKxHttpRequester *m_req;
    QString m_dir;
    int m_segments;
    QStringList m_files;
    int m_index = 0;
    bool m_failed = false;
    QElapsedTimer m_segClock, m_total;
};

class Counter : public QObject {
    Q_OBJECT
public:
    int ok = 0, failed = 0;
public slots:
    void onUploaded(int res, QJsonObject) { ++(res == 0 ? ok : failed); }
};

static void quiet(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(msg));
}

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("KX_BENCH_VERBOSE"))
        qInstallMessageHandler(quiet);
    QCoreApplication app(argc, argv);
    const int chainSegments = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    KxDevCloud cloud;
    QString error;
    if (!cloud.start(&error)) {
        fprintf(stderr, "devcloud: %s\n", qPrintable(error));
        return 1;
    }
    qputenv("KX_VERSION_INI", cloud.writeVersionIni().toLocal8Bit());
    IKxNetWorkManager *mgr = KxNetrelay::getInst(nullptr);

    // 1. The chain.
    {
        ChainDriver chain(mgr, cloud.scratchDir(), chainSegments);
        chain.start();
        if (!kxWaitUntil([&] { return chain.done(); }, 600000) || chain.failed()) {
            fprintf(stderr, "chain did not complete\n");
            return 1;
        }
        std::vector<double> v = chain.latenciesMs;
        std::sort(v.begin(), v.end());
        printf("chain: %d segments of %d bytes, segment handed over -> playlist registered: median %.1f ms, worst %.1f ms, total %.0f ms\n",
               chainSegments, kSegmentBytes, v[v.size() / 2], v.back(), chain.totalMs());
    }

    // 2. Throughput, serial and all at once.
    QStringList files;
    for (int i = 0; i < kRecordingSegments; ++i)
        files << writeFile(cloud.scratchDir() + QStringLiteral("/rec.%1.ts").arg(i, 3, 10, QLatin1Char('0')), kSegmentBytes);
    const double mb = double(kSegmentBytes) * kRecordingSegments / 1e6;
    Counter counter;
    QObject::connect(mgr->uploader()->qobject(), SIGNAL(signalUploadFinished(int, QJsonObject)), &counter,
                     SLOT(onUploaded(int, QJsonObject)));
    for (int pass = 0; pass < 2; ++pass) {
        const bool serial = pass == 0;
        counter.ok = counter.failed = 0;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kRecordingSegments; ++i) {
            mgr->uploader()->upload(job(files[i], QStringLiteral("/MerioClass/p%1/rec.%2.ts").arg(pass).arg(i), 4));
            if (serial && !kxWaitUntil([&] { return counter.ok + counter.failed > i; }, 60000))
                break;
        }
        kxWaitUntil([&] { return counter.ok + counter.failed >= kRecordingSegments; }, 600000);
        const double s = clock.nsecsElapsed() / 1e9;
        printf("3-minute recording (%d segments, %.1f MB) %s: %.2f s, %.1f MB/s, %d failed\n", kRecordingSegments, mb,
               serial ? "one at a time" : "submitted together", s, mb / s, counter.failed);
    }
    delete mgr->qobject();
    return 0;
}

#include "bench_kxuploader.moc"
