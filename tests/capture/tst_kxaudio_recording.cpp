// End to end: the audio module, the packet pool and the local file module
// record ten seconds from a microphone of a private PulseAudio daemon into
// an MP4 file, which is read back: its sound is the microphone's tone from
// start to end, without gaps, with strictly increasing packet times.

#include "KxPulseFixture.h"

#include <IKxModuleAudio.h>
#include <IKxModuleLocalFile.h>
#include <IKxModulePoolMgr.h>
#include <KxAacProbe.h>
#include <KxAudioCollector.h>
#include <KxMediaTime.h>
#include <KxTestMedia.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>
#include <vector>

namespace {

const char *const kDevicePattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

struct DecodedAudio {
    bool ok = false;
    int sampleRate = 0;
    std::vector<float> channel0;
    std::vector<double> ptsSeconds;
    int errors = 0;
};

/// Decodes the first audio stream of a file into its first channel.
DecodedAudio decodeAudio(const std::string &path)
{
    DecodedAudio out;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return out;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)> fmtGuard(
        fmt, [](AVFormatContext *f) { avformat_close_input(&f); });
    if (avformat_find_stream_info(fmt, nullptr) < 0)
        return out;
    const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0)
        return out;
    AVStream *stream = fmt->streams[index];
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)> ctxGuard(
        ctx, [](AVCodecContext *c) { avcodec_free_context(&c); });
    if (!codec || avcodec_parameters_to_context(ctx, stream->codecpar) < 0 || avcodec_open2(ctx, codec, nullptr) < 0)
        return out;
    out.sampleRate = ctx->sample_rate;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == index) {
            out.ptsSeconds.push_back(pkt->pts * av_q2d(stream->time_base));
            if (avcodec_send_packet(ctx, pkt) < 0)
                ++out.errors;
            while (avcodec_receive_frame(ctx, frame) >= 0) {
                if (frame->format == AV_SAMPLE_FMT_FLTP) {
                    const float *p = reinterpret_cast<const float *>(frame->extended_data[0]);
                    out.channel0.insert(out.channel0.end(), p, p + frame->nb_samples);
                }
                av_frame_unref(frame);
            }
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    out.ok = true;
    return out;
}

class FileCallback : public KxToLocalFileCbk {
public:
    void OnStart() override { ++starts; }
    void OnStoped(const char *path, double seconds) override
    {
        stoppedPath = path ? path : "";
        duration = seconds;
    }
    int starts = 0;
    std::string stoppedPath;
    double duration = 0;
};

} // namespace

TEST(KxAudioRecording, TenSecondsIntoMp4)
{
    KxPulseDaemon daemon;
    ASSERT_TRUE(daemon.start()) << daemon.lastError().toStdString();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string mp4 = (dir.path() + QStringLiteral("/lesson.mp4")).toStdString();

    IKxModulePoolMgr *pool = IKxModulePoolMgr::createInstance();
    ASSERT_EQ(pool->init(), 0);
    std::unique_ptr<IKxModuleLocalFile> file(IKxModuleLocalFile::createInstance());
    FileCallback fileCallback;
    ASSERT_EQ(file->init(), 0);
    file->registerCallback(&fileCallback);
    KxLocalFileConfig config;
    config.mp4Path = mp4;
    config.playlistPath = (dir.path() + QStringLiteral("/lesson.m3u8")).toStdString();
    config.segmentLength = 5;
    ASSERT_EQ(file->start(config), 0);
    pool->setLocalFileModule(file.get());
    ASSERT_EQ(pool->start(), 0);

    std::unique_ptr<IKxModuleAudio> audio(IKxModuleAudio::createInstance());
    ASSERT_EQ(audio->init(kDevicePattern), 0);
    ASSERT_EQ(audio->setPoolModule(pool), 0);
    KxMediaTime clock;
    clock.start();
    ASSERT_EQ(audio->start(&clock), 0);
    QThread::msleep(10000);
    ASSERT_EQ(audio->stop(), 0);
    const int64_t stoppedAt = clock.elapsed();
    auto *collector = dynamic_cast<KxAudioModule::KxAudioCollector *>(audio.get());
    ASSERT_NE(collector, nullptr);
    const int64_t delivered = collector->packetsDelivered();
    const int64_t dropped = collector->packetsDropped();
    pool->stop();
    EXPECT_EQ(file->stop(), 0);
    EXPECT_EQ(audio->destory(), 0);
    pool->destory();
    EXPECT_EQ(fileCallback.stoppedPath, mp4);

    const kxtest::ProbeResult probe = kxtest::probeFile(mp4);
    ASSERT_TRUE(probe.opened) << probe.error;
    EXPECT_EQ(probe.decodeErrors, 0);
    const DecodedAudio sound = decodeAudio(mp4);
    ASSERT_TRUE(sound.ok);
    ASSERT_EQ(sound.sampleRate, 44100);
    EXPECT_EQ(sound.errors, 0);
    std::cout << "audio module: " << delivered << " packets to the pool, " << dropped << " dropped" << std::endl;
    EXPECT_EQ(dropped, 0);
    ASSERT_GT(sound.ptsSeconds.size(), 400u);

    // Packet times: strictly increasing, no gap in the sound beyond 50 ms.
    const double unit = 1024.0 / 44100.0;
    double maxGap = 0, minStep = 1e9, maxStep = 0;
    for (size_t i = 1; i < sound.ptsSeconds.size(); ++i) {
        const double step = sound.ptsSeconds[i] - sound.ptsSeconds[i - 1];
        EXPECT_GT(step, 0.0) << "packet " << i;
        minStep = std::min(minStep, step);
        maxStep = std::max(maxStep, step);
        maxGap = std::max(maxGap, step - unit);
    }
    const double first = sound.ptsSeconds.front();
    const double last = sound.ptsSeconds.back();
    std::cout << sound.ptsSeconds.size() << " audio packets, " << first << " .. " << last
              << " s; step " << minStep * 1000 << " .. " << maxStep * 1000 << " ms (unit " << unit * 1000
              << " ms), largest gap " << std::max(0.0, maxGap) * 1000 << " ms; clock at stop " << stoppedAt
              << " ms" << std::endl;
    EXPECT_LE(maxGap, 0.050);
    EXPECT_GE(last + unit - first, 9.0);
    EXPECT_NEAR(last * 1000.0, double(stoppedAt), 250.0);

    // The tone, second by second, over the whole recording.
    const int64_t perWindow = 44100;
    const int64_t skip = 4096; // encoder start-up
    int windows = 0;
    for (int64_t start = skip; start + perWindow <= static_cast<int64_t>(sound.channel0.size()); start += perWindow) {
        const double f = KxAacProbe::measureFrequency(sound.channel0.data() + start, perWindow, 44100);
        std::cout << "second " << windows << ": " << f << " Hz" << std::endl;
        EXPECT_NEAR(f, KxPulseDaemon::kMicFrequency, 2.0) << "second " << windows;
        ++windows;
    }
    EXPECT_GE(windows, 9);
}
