// CPU time the local file module spends per second of recorded media:
// 1280x720 H.264 at 15 fps and about 2 Mbit/s plus 64 kbit/s AAC, written
// into the MP4 file and the TS segments (L = 5 s). The media is encoded
// once beforehand and not counted. Process CPU time is measured, so the
// threads libx264 starts when the parameter encoders open and the MP4
// file's sync thread count. Then the finalisation of a recording of
// --finalise-minutes (default 3; the encoded media repeated) from the
// fragmented file written while recording into a regular MP4 file: CPU
// and wall time.
//
// Usage: bench_kxfile [seconds per recording (default 12, a multiple of 4:
//        whole GOPs)] [recordings (default 3)] [minutes to finalise (default 3)]

#include "IKxMediaPacket.h"
#include "IKxToLocalFile.h"
#include "KxLocalFileMgr.h"
#include "KxMp4Creater.h"
#include "KxMp4Recovery.h"
#include "KxMuxer.h"
#include "KxTestMedia.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>

namespace {

double processCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void quiet(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(msg));
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 12;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    const int finaliseMinutes = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
    qInstallMessageHandler(quiet);
    av_log_set_level(AV_LOG_ERROR);

    kxtest::VideoSetup vs{1280, 720, 15, 2000, 12, true};
    std::fprintf(stderr, "encoding %d s of test media...\n", seconds);
    const auto video = kxtest::encodeVideo(vs, seconds * vs.fps);
    const auto audio = kxtest::encodeAudio(kxtest::AudioSetup(), seconds);
    const auto packets = kxtest::mergeByArrival(audio, video);
    size_t videoBytes = 0, audioBytes = 0;
    for (const auto &m : video)
        videoBytes += m.data.size();
    for (const auto &m : audio)
        audioBytes += m.data.size();
    std::printf("media: %d s, video %.0f kbit/s (%zu packets), audio %.0f kbit/s (%zu packets)\n", seconds,
                videoBytes * 8.0 / seconds / 1000, video.size(), audioBytes * 8.0 / seconds / 1000, audio.size());

    IKxMediaPacket *packet = createMediaPacket();
    QTemporaryDir dir;
    auto measure = [&](const char *what, const std::function<void(int)> &run) {
        const double t0 = processCpuSeconds();
        for (int r = 0; r < rounds; ++r)
            run(r);
        const double cpu = processCpuSeconds() - t0;
        const double perMediaSecond = cpu / (double(rounds) * seconds);
        std::printf("%-28s %8.3f ms CPU per media second = %6.3f %% of one core\n", what, perMediaSecond * 1000,
                    perMediaSecond * 100);
    };

    measure("both writers (module)", [&](int r) {
        std::unique_ptr<IKxModuleLocalFile> files(IKxModuleLocalFile::createInstance());
        KxLocalFileConfig cfg;
        const QString base = dir.path() + QString("/m%1").arg(r);
        cfg.mp4Path = (base + ".mp4").toStdString();
        cfg.playlistPath = (base + ".m3u8").toStdString();
        cfg.segmentLength = 5;
        files->start(cfg);
        for (const auto &m : packets) {
            kxtest::fillPacket(packet, m);
            files->inputMediaPacket(packet);
        }
        files->stop();
    });
    for (int number : {KxFileModule::KX_CREATE_MP4_WRITER, KxFileModule::KX_CREATE_TS_WRITER}) {
        measure(number == KxFileModule::KX_CREATE_MP4_WRITER ? "MP4 writer alone" : "TS writer alone", [&](int r) {
            std::unique_ptr<KxFileModule::IKxToLocalFile> w(KxFileModule::createFileWriter(number));
            KxFileModule::KxWriterConfig cfg;
            cfg.path = (dir.path() + QString("/w%1-%2.%3").arg(number).arg(r).arg(number ? "mp4" : "m3u8")).toStdString();
            cfg.segmentLength = 5;
            cfg.params = KxFileModule::KxLocalFileMgr::paramsFromConfig(KxLocalFileConfig());
            w->init(cfg);
            w->start();
            for (const auto &m : packets) {
                kxtest::fillPacket(packet, m);
                w->write(packet);
            }
            w->close();
            w->uninit();
        });
    }

    // A long recording made of the media repeated (each copy starts with a
    // key frame), written as the MP4 writer writes while recording.
    const std::string fragmented = (dir.path() + "/long.mp4").toStdString();
    {
        KxFileModule::KxMuxer muxer(KxFileModule::KxLocalFileMgr::paramsFromConfig(KxLocalFileConfig()));
        if (muxer.open(fragmented.c_str(), "mp4",
                       {{"movflags", KxFileModule::kRecordingMovFlags},
                        {"frag_duration", KxFileModule::kRecordingMaxFragmentMicroseconds},
                        {"brand", KxFileModule::kUnfinishedBrand}}) != 0) {
            std::fprintf(stderr, "cannot open %s\n", fragmented.c_str());
            return 1;
        }
        const int copies = (finaliseMinutes * 60 + seconds - 1) / seconds;
        for (int k = 0; k < copies; ++k) {
            for (kxtest::MediaPacket m : packets) {
                const int64_t shift = int64_t(k) * seconds * m.timeBase;
                m.pts += shift;
                m.dts += shift;
                kxtest::fillPacket(packet, m);
                KxFileModule::KxMuxRecord record;
                double t = 0;
                if (KxFileModule::kxRecordFromPacket(packet, &record, &t))
                    muxer.write(&record);
            }
        }
        muxer.close();
    }
    const double size = QFileInfo(QString::fromStdString(fragmented)).size() / 1e6;
    const double cpu0 = processCpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    std::string why;
    const bool ok = KxFileModule::finaliseRecording(fragmented, &why);
    const double cpu = processCpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("finalising %d min (%.1f MB): %s, %.3f s CPU, %.3f s wall (sync to disk included)\n",
                finaliseMinutes, size, ok ? "ok" : why.c_str(), cpu, wall);
    packet->release();
    return ok ? 0 : 1;
}
