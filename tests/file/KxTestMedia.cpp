#include "KxTestMedia.h"

#include "IKxMediaPacket.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <sys/wait.h>

namespace kxtest {

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error("test media: " + what);
}

void drawFrame(AVFrame *frame, int index, bool noisy)
{
    // A moving diagonal gradient with a bright square that travels: enough
    // detail and motion for real P- and B-frames.
    const int w = frame->width, h = frame->height;
    for (int y = 0; y < h; ++y) {
        uint8_t *row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < w; ++x)
            row[x] = static_cast<uint8_t>((x + y + index * 4) & 0xff);
    }
    const int sq = std::max(8, w / 10);
    const int ox = (index * 7) % std::max(1, w - sq), oy = (index * 3) % std::max(1, h - sq);
    for (int y = oy; y < oy + sq; ++y)
        std::memset(frame->data[0] + y * frame->linesize[0] + ox, 235, static_cast<size_t>(sq));
    if (noisy) {
        uint32_t seed = 2463534242u + static_cast<uint32_t>(index) * 2654435761u;
        for (int y = 0; y < h; ++y) {
            uint8_t *row = frame->data[0] + y * frame->linesize[0];
            for (int x = 0; x < w; ++x) {
                seed ^= seed << 13;
                seed ^= seed >> 17;
                seed ^= seed << 5;
                row[x] = static_cast<uint8_t>(row[x] + (seed & 15));
            }
        }
    }
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < h / 2; ++y)
            std::memset(frame->data[p] + y * frame->linesize[p], p == 1 ? 128 + (index % 32) : 96, static_cast<size_t>(w / 2));
}

} // namespace

std::vector<MediaPacket> encodeVideo(const VideoSetup &setup, int frames)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec)
        fail("no H.264 encoder");
    AVCodecContext *cx = avcodec_alloc_context3(codec);
    cx->codec_type = AVMEDIA_TYPE_VIDEO;
    cx->time_base = AVRational{1, setup.fps};
    cx->width = setup.width;
    cx->height = setup.height;
    cx->bit_rate = static_cast<int64_t>(setup.bitrateKbps) * 1000;
    cx->gop_size = setup.gop;
    cx->pix_fmt = AV_PIX_FMT_YUV420P;
    cx->thread_count = 4;
    cx->thread_type = FF_THREAD_SLICE;
    if (avcodec_open2(cx, codec, nullptr) < 0)
        fail("cannot open libx264");
    AVFrame *frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = setup.width;
    frame->height = setup.height;
    if (av_frame_get_buffer(frame, 0) < 0)
        fail("no frame buffer");
    AVPacket *pkt = av_packet_alloc();
    std::vector<MediaPacket> out;
    int64_t arrival = 0;
    // Every packet the encoder gives out, while encoding and when drained,
    // is described the same way.
    auto take = [&]() {
        MediaPacket m;
        m.type = 1;
        m.data.assign(pkt->data, pkt->data + pkt->size);
        m.pts = pkt->pts;
        m.dts = pkt->dts;
        m.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        m.timeBase = setup.fps;
        m.frameRate = setup.fps;
        m.unit = 1;
        m.width = setup.width;
        m.height = setup.height;
        m.arrivalMs = arrival;
        out.push_back(std::move(m));
        av_packet_unref(pkt);
    };
    auto collect = [&]() {
        while (avcodec_receive_packet(cx, pkt) == 0)
            take();
    };
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(frame);
        drawFrame(frame, i, setup.noisy);
        frame->pts = i;
        arrival = static_cast<int64_t>(i) * 1000 / setup.fps;
        if (avcodec_send_frame(cx, frame) < 0)
            fail("send frame");
        collect();
    }
    avcodec_send_frame(cx, nullptr);
    arrival += 1;
    while (avcodec_receive_packet(cx, pkt) == 0) {
        take();
        ++arrival;
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&cx);
    return out;
}

std::vector<MediaPacket> encodeAudio(const AudioSetup &setup, double seconds, std::vector<uint8_t> *asc)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(setup.encoder);
    if (!codec)
        fail(std::string("no encoder ") + setup.encoder);
    AVCodecContext *cx = avcodec_alloc_context3(codec);
    cx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    cx->bit_rate = setup.bitRate;
    cx->sample_rate = setup.sampleRate;
    cx->time_base = AVRational{1, setup.sampleRate};
    av_channel_layout_default(&cx->ch_layout, setup.channels);
    cx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(cx, codec, nullptr) < 0)
        fail("cannot open aac");
    if (asc)
        asc->assign(cx->extradata, cx->extradata + cx->extradata_size);
    const int frameSize = cx->frame_size > 0 ? cx->frame_size : 1024;
    AVFrame *frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = frameSize;
    frame->sample_rate = setup.sampleRate;
    av_channel_layout_copy(&frame->ch_layout, &cx->ch_layout);
    if (av_frame_get_buffer(frame, 0) < 0)
        fail("no audio frame buffer");
    AVPacket *pkt = av_packet_alloc();
    std::vector<MediaPacket> out;
    const int64_t total = static_cast<int64_t>(seconds * setup.sampleRate);
    const int block = setup.sampleRate * setup.blockMs / 1000;
    int64_t captured = 0, produced = 0;
    int filled = 0;
    int64_t nowMs = 0;
    auto collect = [&]() {
        while (avcodec_receive_packet(cx, pkt) == 0) {
            MediaPacket m;
            m.type = 0;
            m.data.assign(pkt->data, pkt->data + pkt->size);
            // As the audio module stamps them: samples, one frame apart,
            // the first unit (the encoder's priming) at 0.
            m.pts = m.dts = pkt->pts + frameSize;
            m.key = true;
            m.timeBase = setup.sampleRate;
            m.arrivalMs = nowMs;
            out.push_back(std::move(m));
            av_packet_unref(pkt);
        }
    };
    while (captured < total) {
        const int64_t n = std::min<int64_t>(block, total - captured);
        captured += n;
        nowMs = captured * 1000 / setup.sampleRate;
        while (produced < captured) {
            if (filled == 0)
                av_frame_make_writable(frame);
            for (int c = 0; c < setup.channels; ++c) {
                float *plane = reinterpret_cast<float *>(frame->data[c]);
                plane[filled] = static_cast<float>(0.3 * std::sin(2 * M_PI * setup.toneHz * produced / setup.sampleRate));
            }
            ++produced;
            if (++filled == frameSize) {
                frame->pts = produced - frameSize;
                if (avcodec_send_frame(cx, frame) < 0)
                    fail("send audio frame");
                filled = 0;
                collect();
            }
        }
    }
    // Drained at the end: one access unit per frame period after the last.
    avcodec_send_frame(cx, nullptr);
    while (avcodec_receive_packet(cx, pkt) == 0) {
        nowMs += static_cast<int64_t>(frameSize) * 1000 / setup.sampleRate;
        MediaPacket m;
        m.type = 0;
        m.data.assign(pkt->data, pkt->data + pkt->size);
        m.pts = m.dts = pkt->pts + frameSize;
        m.key = true;
        m.timeBase = setup.sampleRate;
        m.arrivalMs = nowMs;
        out.push_back(std::move(m));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&cx);
    return out;
}

std::vector<MediaPacket> mergeByArrival(const std::vector<MediaPacket> &a, const std::vector<MediaPacket> &b)
{
    std::vector<MediaPacket> out;
    out.reserve(a.size() + b.size());
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j >= b.size() || (i < a.size() && a[i].arrivalMs <= b[j].arrivalMs))
            out.push_back(a[i++]);
        else
            out.push_back(b[j++]);
    }
    return out;
}

void fillPacket(IKxMediaPacket *packet, const MediaPacket &m)
{
    packet->reset();
    packet->setType(m.type);
    if (m.type == KX_PACKET_AUDIO) {
        KxAudioInfo info;
        info.dts = m.dts;
        info.pts = m.pts;
        info.timeBase = m.timeBase;
        packet->setAudioInfo(&info);
    } else {
        KxVideoInfo info;
        info.bKeyFrame = m.key;
        info.width = m.width;
        info.height = m.height;
        info.frameRate = m.frameRate;
        info.unit = m.unit;
        info.dts = m.dts;
        info.pts = m.pts;
        info.timeBase = m.timeBase;
        packet->setVideoInfo(&info);
    }
    if (!m.data.empty()) {
        packet->alloc(static_cast<int>(m.data.size()));
        packet->setData(m.data.data(), static_cast<int>(m.data.size()));
    }
}

std::vector<std::vector<uint8_t>> annexBParameterSets(const uint8_t *data, int size)
{
    std::vector<std::vector<uint8_t>> sets;
    int i = 0;
    auto isStart = [&](int k) { return k + 2 < size && data[k] == 0 && data[k + 1] == 0 && data[k + 2] == 1; };
    while (i < size && !isStart(i))
        ++i;
    while (i < size) {
        const int begin = i + 3;
        int end = begin;
        while (end < size && !isStart(end))
            ++end;
        int last = end;
        if (end < size)
            while (last > begin && data[last - 1] == 0)  // trailing zero of a 4-byte start code
                --last;
        if (begin < size) {
            const int type = data[begin] & 0x1f;
            if (type == 7 || type == 8)
                sets.emplace_back(data + begin, data + last);
        }
        i = end;
    }
    return sets;
}

std::vector<std::vector<uint8_t>> extradataParameterSets(const std::vector<uint8_t> &x)
{
    if (x.empty() || x[0] != 1)
        return annexBParameterSets(x.data(), static_cast<int>(x.size()));
    std::vector<std::vector<uint8_t>> sets;
    size_t p = 5;
    for (int kind = 0; kind < 2 && p < x.size(); ++kind) {
        int count = kind == 0 ? (x[p] & 0x1f) : x[p];
        ++p;
        for (int n = 0; n < count && p + 2 <= x.size(); ++n) {
            const size_t len = (static_cast<size_t>(x[p]) << 8) | x[p + 1];
            p += 2;
            if (p + len > x.size())
                return sets;
            sets.emplace_back(x.begin() + static_cast<long>(p), x.begin() + static_cast<long>(p + len));
            p += len;
        }
    }
    return sets;
}

namespace {
std::atomic<int> g_loggedErrors{0};
std::mutex g_probeMutex;

void countingLogger(void *avcl, int level, const char *fmt, va_list vl)
{
    if (level <= AV_LOG_ERROR) {
        ++g_loggedErrors;
        va_list copy;
        va_copy(copy, vl);
        av_log_default_callback(avcl, level, fmt, copy);
        va_end(copy);
    }
}
} // namespace

ProbeResult probeFile(const std::string &path, bool decode, bool keepVideoData)
{
    std::lock_guard<std::mutex> lock(g_probeMutex);
    ProbeResult r;
    g_loggedErrors = 0;
    av_log_set_callback(countingLogger);
    AVFormatContext *ic = nullptr;
    int ret = avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
    if (ret < 0) {
        r.error = "cannot open " + path;
        av_log_set_callback(av_log_default_callback);
        return r;
    }
    avformat_find_stream_info(ic, nullptr);
    r.opened = true;
    r.startTime = ic->start_time == AV_NOPTS_VALUE ? 0 : ic->start_time / 1e6;
    std::vector<AVCodecContext *> decoders(ic->nb_streams, nullptr);
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
        const AVCodecParameters *par = ic->streams[s]->codecpar;
        ProbedStream ps;
        ps.mediaType = par->codec_type;
        ps.codecId = par->codec_id;
        ps.extradata.assign(par->extradata, par->extradata + par->extradata_size);
        ps.sampleRate = par->sample_rate;
        ps.channels = par->ch_layout.nb_channels;
        ps.width = par->width;
        ps.height = par->height;
        r.streams.push_back(ps);
        if (decode) {
            const AVCodec *dec = avcodec_find_decoder(par->codec_id);
            if (dec) {
                decoders[s] = avcodec_alloc_context3(dec);
                avcodec_parameters_to_context(decoders[s], par);
                decoders[s]->thread_count = 1;
                if (avcodec_open2(decoders[s], dec, nullptr) < 0) {
                    ++r.decodeErrors;
                    avcodec_free_context(&decoders[s]);
                }
            }
        }
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&](unsigned s) {
        while (true) {
            const int rr = avcodec_receive_frame(decoders[s], frame);
            if (rr == AVERROR(EAGAIN) || rr == AVERROR_EOF)
                break;
            if (rr < 0) {
                ++r.decodeErrors;
                break;
            }
            ++r.streams[s].decodedFrames;
            if (ic->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                r.streams[s].decodedSamples += frame->nb_samples;
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(ic, pkt) >= 0) {
        const AVStream *st = ic->streams[pkt->stream_index];
        ProbedPacket pp;
        pp.stream = pkt->stream_index;
        pp.pts = pkt->pts == AV_NOPTS_VALUE ? NAN : pkt->pts * av_q2d(st->time_base);
        pp.dts = pkt->dts == AV_NOPTS_VALUE ? NAN : pkt->dts * av_q2d(st->time_base);
        pp.duration = pkt->duration * av_q2d(st->time_base);
        pp.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        pp.size = pkt->size;
        if (keepVideoData && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            pp.data.assign(pkt->data, pkt->data + pkt->size);
        r.packets.push_back(std::move(pp));
        const unsigned s = static_cast<unsigned>(pkt->stream_index);
        if (decode && decoders[s]) {
            const int rr = avcodec_send_packet(decoders[s], pkt);
            if (rr < 0 && rr != AVERROR(EAGAIN))
                ++r.decodeErrors;
            drain(s);
        }
        av_packet_unref(pkt);
    }
    for (unsigned s = 0; s < ic->nb_streams; ++s) {
        if (decoders[s]) {
            avcodec_send_packet(decoders[s], nullptr);
            drain(s);
            avcodec_free_context(&decoders[s]);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&ic);
    r.decodeErrors += g_loggedErrors.load();
    av_log_set_callback(av_log_default_callback);
    return r;
}

int runCommand(const std::string &command, std::string *output, int timeoutSeconds)
{
    const std::string full = "timeout " + std::to_string(timeoutSeconds) + " " + command + " 2>&1";
    FILE *pipe = popen(full.c_str(), "r");
    if (!pipe)
        return -1;
    char buf[4096];
    std::string text;
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        text.append(buf, n);
    const int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double regularMp4Seconds(const std::string &path)
{
    std::string out;
    if (runCommand("ffprobe -v error -show_entries format=duration:format_tags=major_brand -of default=nw=1 '" + path +
                   "'", &out) != 0 || out.find("major_brand=isom") == std::string::npos)
        return -1;
    const size_t at = out.find("duration=");
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 9);
}

} // namespace kxtest
