// Files offered to the cloud module from the writer and photo threads while
// the main thread runs recordings: every offer is taken up exactly once, on
// the module's thread, segments in the order they were offered, and each in
// the recording that was current when it was offered.

#include "KxCloudTestSupport.h"

#include "KxModuleClound.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <atomic>
#include <random>
#include <thread>

namespace {

TEST(CloudOffers, OffersFromOtherThreadsAreTakenUpInOrderOnTheModulesThread)
{
    KxLogCapture log;
    // No network manager and no init: every offer is refused, and the
    // refusal log line shows when and in what order it was taken up.
    KxModuleClound module;
    constexpr int kPerRecording = 150;
    constexpr int kRecordings = 3;

    for (int rec = 0; rec < kRecordings; ++rec) {
        const QString key = QStringLiteral("rec%1").arg(rec);
        module.start(key, key);
        std::atomic<bool> writerDone{false}, photoDone{false};
        std::atomic<int> written{0};
        std::thread writer([&] {
            std::mt19937 rng(unsigned(rec) * 7 + 1);
            for (int i = 0; i < kPerRecording; ++i) {
                const QByteArray path = QStringLiteral("/nonexistent/%1/v%2.ts").arg(key).arg(i, 4, 10, QLatin1Char('0')).toUtf8();
                module.uploadVideo(path.constData(), 5.0);
                ++written;
                if (rng() % 8 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
            }
            writerDone = true;
        });
        std::thread photos([&] {
            std::mt19937 rng(unsigned(rec) * 13 + 5);
            for (int i = 0; i < kPerRecording / 3; ++i) {
                const QByteArray path = QStringLiteral("/nonexistent/%1/p%2.jpg").arg(key).arg(i, 4, 10, QLatin1Char('0')).toUtf8();
                module.uploadPhoto(path.constData());
                if (rng() % 4 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
            }
            photoDone = true;
        });
        // The main thread keeps working meanwhile, as the user interface
        // does, during the first half; then it is busy elsewhere and the
        // rest stays queued until the recording stops.
        QElapsedTimer t;
        t.start();
        while (written < kPerRecording / 2 && t.elapsed() < 30000) {
            QCoreApplication::processEvents();
            module.isUploadDone();
        }
        writer.join();
        photos.join();
        EXPECT_TRUE(writerDone && photoDone);
        // The last segment comes on the main thread, after the others
        // (in every other recording; in the rest stop itself must take up
        // what is still queued).
        if (rec % 2 == 0) {
            const QByteArray last = QStringLiteral("/nonexistent/%1/v9999.ts").arg(key).toUtf8();
            module.uploadVideo(last.constData(), 2.0);
        }
        module.stop(false);
    }

    // Every offer was taken up before the stop of its recording, once, and
    // segments in order.
    const QRegularExpression re(QStringLiteral("KxModuleClound::upload(Video|Photo) error id not found\\. \"/nonexistent/(rec\\d)/([vp])(\\d+)\\."));
    QMap<QString, QList<int>> videos;
    QMap<QString, int> photosSeen;
    QString current;
    for (const QString &line : log.lines()) {
        if (line.startsWith(QLatin1String("KxModuleClound::stop")))
            current.clear();
        static const QRegularExpression startRe(QStringLiteral("^KxModuleClound::start \"(\\w+)\" \""));
        const QRegularExpressionMatch started = startRe.match(line);
        if (started.hasMatch())
            current = started.captured(1);
        const QRegularExpressionMatch m = re.match(line);
        if (!m.hasMatch())
            continue;
        EXPECT_EQ(current, m.captured(2)) << "taken up outside its recording: " << line.toStdString();
        if (m.captured(3) == QLatin1String("v"))
            videos[m.captured(2)].append(m.captured(4).toInt());
        else
            ++photosSeen[m.captured(2)];
    }
    ASSERT_EQ(kRecordings, videos.size());
    for (auto it = videos.cbegin(); it != videos.cend(); ++it) {
        const QList<int> &seq = it.value();
        const bool withLast = it.key() != QLatin1String("rec1");
        ASSERT_EQ(kPerRecording + (withLast ? 1 : 0), seq.size()) << it.key().toStdString();
        for (int i = 0; i < kPerRecording; ++i)
            EXPECT_EQ(i, seq[i]);
        if (withLast) {
            EXPECT_EQ(9999, seq.last());
        }
        EXPECT_EQ(kPerRecording / 3, photosSeen.value(it.key()));
    }
}

} // namespace
