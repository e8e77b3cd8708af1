#pragma once
// Shared pieces of the camera path tests: a consumer at the far end of the
// real packet pool that keeps a copy of every packet, an H.264 read-back
// decoder, picture comparison, and bounded waiting.

#include "IKxMediaPacket.h"
#include "IKxModuleCamera.h"
#include "IKxModuleLocalFile.h"
#include "IKxModulePhoto.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kxtest {

struct CopiedPacket {
    int type = 0;
    KxVideoInfo video;
    std::vector<uint8_t> bytes;
};

// Sits where the local file module and the photo module sit behind the
// pool, and keeps what it is handed.
class PacketCollector : public IKxModuleLocalFile {
public:
    // The photo side, handed to the pool's setPhotoModule.
    class PhotoSink : public IKxModulePhoto {
    public:
        explicit PhotoSink(PacketCollector *owner) : m_owner(owner) {}
        int init() override { return 0; }
        int start() override { return 0; }
        int stop() override { return 0; }
        int destory() override { return 0; }
        int config(const QString &, const QString &) override { return 0; }
        int registerCallback(IKxModulePhoto::ICallBack *) override { return 0; }
        int saveMediaPacket(IKxMediaPacket *packet) override
        {
            m_owner->keep(packet, &m_owner->m_photos);
            return 0;
        }
        void setCloundModule(IKxModuleClound *) override {}

    private:
        PacketCollector *m_owner;
    };
    PhotoSink photoSink{this};

    int init() override { return 0; }
    int setCloundModule(IKxModuleClound *) override { return 0; }
    void registerCallback(KxToLocalFileCbk *) override {}
    int start(const KxLocalFileConfig &) override { return 0; }
    uint8_t inputMediaPacket(IKxMediaPacket *packet) override
    {
        keep(packet, &m_av);
        return 0;
    }
    int stop() override { return 0; }
    int destory() override { return 0; }

    std::vector<CopiedPacket> video() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        std::vector<CopiedPacket> out;
        for (const CopiedPacket &p : m_av)
            if (p.type == KX_PACKET_VIDEO)
                out.push_back(p);
        return out;
    }
    std::vector<CopiedPacket> photos() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_photos;
    }
    int videoCount() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return int(m_av.size());
    }
    int photoCount() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return int(m_photos.size());
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_av.clear();
        m_photos.clear();
    }

private:
    void keep(IKxMediaPacket *packet, std::vector<CopiedPacket> *into)
    {
        CopiedPacket c;
        c.type = packet->getType();
        packet->getVideoInfo(&c.video);
        const uint8_t *data = packet->getData();
        if (data && packet->getSize() > 0)
            c.bytes.assign(data, data + packet->getSize());
        std::lock_guard<std::mutex> g(m_mutex);
        into->push_back(std::move(c));
    }

    mutable std::mutex m_mutex;
    std::vector<CopiedPacket> m_av;
    std::vector<CopiedPacket> m_photos;
};

// Passes packets on to the real file module and counts them, so a test
// knows when the pool has handed over everything.
class CountingForwarder : public IKxModuleLocalFile {
public:
    explicit CountingForwarder(IKxModuleLocalFile *files) : m_files(files) {}
    int init() override { return m_files->init(); }
    int setCloundModule(IKxModuleClound *cloud) override { return m_files->setCloundModule(cloud); }
    void registerCallback(KxToLocalFileCbk *cb) override { m_files->registerCallback(cb); }
    int start(const KxLocalFileConfig &config) override { return m_files->start(config); }
    uint8_t inputMediaPacket(IKxMediaPacket *packet) override
    {
        const uint8_t r = m_files->inputMediaPacket(packet);
        if (r == 0)
            ++written;
        else
            ++refused;
        return r;
    }
    int stop() override { return m_files->stop(); }
    int destory() override { return m_files->destory(); }

    std::atomic<int> written{0};
    std::atomic<int> refused{0};

private:
    IKxModuleLocalFile *m_files;
};

// Records the camera callbacks with the time they arrived.
class CameraEvents : public IKxModuleCamera::ICallBack {
public:
    using Clock = std::chrono::steady_clock;
    void error(int code, const char *description) override
    {
        std::lock_guard<std::mutex> g(m_mutex);
        errors.push_back({code, description ? description : ""});
        errorTimes.push_back(Clock::now());
    }
    void stopped() override { ++stoppedCount; }
    void statistics(int intake, int encoded) override
    {
        std::lock_guard<std::mutex> g(m_mutex);
        lastIntake = intake;
        lastEncoded = encoded;
        lastStatistics = Clock::now();
        if (intake > maxIntake) {
            maxIntake = intake;
            lastIntakeChange = lastStatistics;
        }
    }
    int errorCount() const
    {
        std::lock_guard<std::mutex> g(m_mutex);
        return int(errors.size());
    }

    mutable std::mutex m_mutex;
    std::vector<std::pair<int, std::string>> errors;
    std::vector<Clock::time_point> errorTimes;
    std::atomic<int> stoppedCount{0};
    int lastIntake = 0;
    int lastEncoded = 0;
    int maxIntake = 0;
    Clock::time_point lastStatistics{};
    Clock::time_point lastIntakeChange{};
};

// Waits (processing Qt events) until pred holds or timeoutMs passes.
inline bool waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct DecodedFrame {
    int width = 0;
    int height = 0;
    int64_t pts = 0;
    bool key = false;
    std::vector<uint8_t> i420; // packed
};

// Decodes the packets in order with libavcodec's H.264 decoder.
inline std::vector<DecodedFrame> decodeH264(const std::vector<CopiedPacket> &packets, int *errors = nullptr)
{
    std::vector<DecodedFrame> out;
    int failures = 0;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        if (errors)
            *errors = -1;
        return out;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            DecodedFrame d;
            d.width = frame->width;
            d.height = frame->height;
            d.pts = frame->pts;
            d.key = frame->key_frame != 0;
            d.i420.resize(size_t(d.width) * d.height * 3 / 2);
            av_image_copy_to_buffer(d.i420.data(), int(d.i420.size()), frame->data, frame->linesize,
                                    AVPixelFormat(frame->format), d.width, d.height, 1);
            out.push_back(std::move(d));
            av_frame_unref(frame);
        }
    };
    for (const CopiedPacket &p : packets) {
        if (p.bytes.empty())
            continue;
        av_new_packet(pkt, int(p.bytes.size()));
        std::memcpy(pkt->data, p.bytes.data(), p.bytes.size());
        pkt->pts = p.video.pts;
        pkt->dts = p.video.dts;
        if (avcodec_send_packet(ctx, pkt) < 0)
            ++failures;
        av_packet_unref(pkt);
        drain();
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    if (errors)
        *errors = failures;
    return out;
}

// Peak signal-to-noise ratio of the luma planes, in dB.
inline double psnrY(const uint8_t *a, const uint8_t *b, int width, int height)
{
    double sum = 0;
    const size_t n = size_t(width) * height;
    for (size_t i = 0; i < n; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(n) / sum);
}

// Whether bytes hold one JPEG picture that libavcodec decodes to width x height.
inline bool decodesAsJpeg(const std::vector<uint8_t> &bytes, int width, int height)
{
    if (bytes.size() < 4 || bytes[0] != 0xff || bytes[1] != 0xd8 || bytes[bytes.size() - 2] != 0xff ||
        bytes[bytes.size() - 1] != 0xd9)
        return false;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    bool ok = false;
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        AVPacket *pkt = av_packet_alloc();
        AVFrame *frame = av_frame_alloc();
        av_new_packet(pkt, int(bytes.size()));
        std::memcpy(pkt->data, bytes.data(), bytes.size());
        if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0)
            ok = frame->width == width && frame->height == height && !(frame->decode_error_flags);
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    avcodec_free_context(&ctx);
    return ok;
}

// A JPEG picture's DHT segments before its scan: their contents one after
// the other, and the picture without them.
inline std::vector<uint8_t> huffmanTables(const std::vector<uint8_t> &jpeg, std::vector<uint8_t> *without = nullptr)
{
    std::vector<uint8_t> tables, rest(jpeg.begin(), jpeg.begin() + 2);
    size_t pos = 2;
    for (size_t len = 0; pos + 4 <= jpeg.size() && jpeg[pos + 1] != 0xda; pos += len) {
        len = std::min(jpeg.size() - pos, 2 + (size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3]));
        std::vector<uint8_t> &to = jpeg[pos + 1] == 0xc4 ? tables : rest;
        to.insert(to.end(), jpeg.begin() + long(pos) + (&to == &tables ? 4 : 0), jpeg.begin() + long(pos + len));
    }
    rest.insert(rest.end(), jpeg.begin() + long(std::min(pos, jpeg.size())), jpeg.end());
    if (without)
        *without = rest;
    return tables;
}

// Points the virtual camera at a device description written to dir.
inline std::string writeCameraConfig(const QTemporaryDir &dir, const std::string &name, const std::string &json)
{
    const QString path = QDir(dir.path()).filePath(QString::fromStdString(name));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write(json.data(), qint64(json.size()));
    return path.toStdString();
}

} // namespace kxtest
