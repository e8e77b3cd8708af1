// Upload pipeline figures against a devcloud on loopback:
//  1. latency from a segment's uploadVideo to the registration of the
//     playlist that lists it (segments offered one at a time, as a recording
//     does every five seconds): median and worst over 30 segments;
//  2. throughput of a three-minute recording's worth of segments (36 files of
//     five seconds at 2000 + 64 kbit/s) offered at once, until the
//     completion notice.
//
// Run: build*/bin/bench_cloud_upload [segments=30]

#include "IKxNetWorkManager.h"
#include "KxDevCloudFixture.h"
#include "KxModuleClound.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class Progress : public IKxModuleClound::ICallBack {
public:
    void error(int, const QString &) override {}
    void onStoped() override {}
    void netStatusChanged(bool) override {}
    void uploadStatusChanged(const QList<UploadProgress> &list) override
    {
        for (const UploadProgress &p : list)
            if (p.taskId == watched)
                finished = p.finished;
    }
    void onQRCodeReceived(const QString &, const QString &) override { ++shares; }
    QString watched;
    int finished = 0;
    int shares = 0;
};

void quiet(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

QString writeSegment(const QString &dir, const QString &key, int i, const QByteArray &data)
{
    const QString path = QStringLiteral("%1/%2.%3.ts").arg(dir, key).arg(i, 3, 10, QLatin1Char('0'));
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(data);
    return path;
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(quiet);
    QCoreApplication app(argc, argv);
    const int latencySegments = argc > 1 ? std::max(1, atoi(argv[1])) : 30;

    KxDevCloud cloud;
    QString why;
    if (!cloud.start(&why)) {
        std::fprintf(stderr, "devcloud did not start: %s\n", qPrintable(why));
        return 1;
    }
    KxScopedVersionIni ini(cloud.writeVersionIni());
    IKxNetWorkManager *net = KxNetrelay::getInst(nullptr);
    app.setProperty("IKxNetWorkManager", QVariant::fromValue(net));

    QTemporaryDir tmp;
    Progress cb;
    auto *module = new KxModuleClound;
    module->registerCallback(&cb);
    module->init();
    module->config(tmp.path() + "/work");
    module->startSendProgress();

    // Five seconds of 2000 kbit/s video and 64 kbit/s sound.
    QByteArray segment(int((2000 + 64) * 1000 / 8 * 5), Qt::Uninitialized);
    for (int i = 0; i < segment.size(); i += 4)
        *reinterpret_cast<quint32 *>(segment.data() + i) = QRandomGenerator::global()->generate();

    // 1. Latency.
    const QString keyA = QStringLiteral("a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0");
    cb.watched = keyA;
    module->start(keyA, QStringLiteral("latency"));
    if (!kxWaitUntil([&] { return cb.shares == 1; }, 15000)) {
        std::fprintf(stderr, "no share text\n");
        return 1;
    }
    std::vector<double> latencies;
    for (int i = 0; i < latencySegments; ++i) {
        const QString path = writeSegment(tmp.path(), keyA, i, segment);
        QElapsedTimer t;
        t.start();
        module->uploadVideo(path.toUtf8().constData(), 5.0);
        if (!kxWaitUntil([&] { return cb.finished >= i + 1; }, 30000)) {
            std::fprintf(stderr, "segment %d not registered\n", i);
            return 1;
        }
        latencies.push_back(t.nsecsElapsed() / 1e6);
    }
    module->stop(false);
    kxWaitUntil([&] { return module->taskCount() == 0; }, 15000);
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    std::printf("segment uploadVideo -> playlist registered (%d segments of %.2f MB): median %.1f ms, worst %.1f ms\n",
                latencySegments, segment.size() / 1e6, sorted[sorted.size() / 2], sorted.back());
    // Where the time goes, as the service saw it: median time from a
    // request's arrival to the end of its answer.
    auto medianServed = [&](const QString &method, const QString &suffix) {
        std::vector<double> d;
        for (const QJsonValue &v : cloud.journal()) {
            const QJsonObject o = v.toObject();
            if (o.value("method").toString() == method && o.value("path").toString().endsWith(suffix))
                d.push_back((o.value("end").toDouble() - o.value("time").toDouble()) * 1000);
        }
        std::sort(d.begin(), d.end());
        return d.empty() ? 0.0 : d[d.size() / 2];
    };
    std::printf("  served by devcloud (median): segment PUT %.1f ms, playlist PUT %.1f ms, record POST %.1f ms\n",
                medianServed("PUT", ".ts"), medianServed("PUT", ".m3u8"), medianServed("POST", "merioclassroom"));
    cloud.journal(true);

    // 2. Throughput of a three-minute recording.
    const int count = 36;
    const QString keyB = QStringLiteral("b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1");
    cb.watched = keyB;
    cb.finished = 0;
    module->start(keyB, QStringLiteral("throughput"));
    if (!kxWaitUntil([&] { return cb.shares == 2; }, 15000)) {
        std::fprintf(stderr, "no share text\n");
        return 1;
    }
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << writeSegment(tmp.path(), keyB, i, segment);
    QElapsedTimer t;
    t.start();
    for (const QString &p : paths)
        module->uploadVideo(p.toUtf8().constData(), 5.0);
    module->stop(false);
    if (!kxWaitUntil([&] { return module->taskCount() == 0; }, 300000)) {
        std::fprintf(stderr, "three-minute recording did not complete\n");
        return 1;
    }
    const double secs = t.nsecsElapsed() / 1e9;
    const double mb = double(segment.size()) * count / 1e6;
    std::printf("three-minute recording (%d segments, %.1f MB): complete in %.2f s, %.1f MB/s (%.0f x real time)\n",
                count, mb, secs, mb / secs, 180.0 / secs);

    module->destory();
    delete module;
    delete net->qobject();
    return 0;
}
