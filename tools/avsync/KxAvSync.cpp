#include "KxAvSync.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>

namespace kxavsync {

namespace {

constexpr double kBrightLuma = 128.0; // flash frames are near 235, dark ones near 16
constexpr float kLoud = 0.25f;        // clicks peak near 0.8

std::string avError(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_make_error_string(text, sizeof text, err);
    return text;
}

using FormatPtr = std::unique_ptr<AVFormatContext, void (*)(AVFormatContext *)>;
using CodecPtr = std::unique_ptr<AVCodecContext, void (*)(AVCodecContext *)>;

CodecPtr openDecoder(AVStream *stream, std::string *error)
{
    CodecPtr ctx(nullptr, [](AVCodecContext *c) { avcodec_free_context(&c); });
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        *error = "no decoder for stream " + std::to_string(stream->index);
        return ctx;
    }
    ctx.reset(avcodec_alloc_context3(codec));
    int err = ctx ? avcodec_parameters_to_context(ctx.get(), stream->codecpar) : AVERROR(ENOMEM);
    if (err >= 0)
        err = avcodec_open2(ctx.get(), codec, nullptr);
    if (err < 0) {
        *error = "cannot open the decoder: " + avError(err);
        ctx.reset();
    }
    return ctx;
}

double meanLuma(const AVFrame *frame)
{
    double sum = 0;
    int count = 0;
    for (int y = 0; y < frame->height; y += 8) {
        const uint8_t *row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < frame->width; x += 8) {
            sum += row[x];
            ++count;
        }
    }
    return count ? sum / count : 0;
}

struct Streams {
    AVStream *video = nullptr;
    AVStream *audio = nullptr;
    CodecPtr videoDec{nullptr, [](AVCodecContext *c) { avcodec_free_context(&c); }};
    CodecPtr audioDec{nullptr, [](AVCodecContext *c) { avcodec_free_context(&c); }};
};

struct Scan {
    bool lastBright = false;
    double videoFirst = -1, videoEnd = 0;
    double audioFirst = -1, audioEnd = 0;
    int64_t samplesPlayed = 0;          // decoded before the current frame
    double lastLoudStamped = -1e9;
    double lastLoudPlayed = -1e9;
};

double frameSeconds(const AVFrame *frame, const AVStream *stream)
{
    const int64_t ts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    return ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(stream->time_base);
}

void takeVideoFrame(const AVFrame *frame, const Streams &s, Scan *scan, Result *r)
{
    const double t = frameSeconds(frame, s.video);
    if (scan->videoFirst < 0)
        scan->videoFirst = t;
    double duration = frame->pkt_duration > 0 ? frame->pkt_duration * av_q2d(s.video->time_base) : 0;
    if (duration <= 0 && s.video->avg_frame_rate.num > 0)
        duration = av_q2d(av_inv_q(s.video->avg_frame_rate));
    scan->videoEnd = std::max(scan->videoEnd, t + duration);
    const bool bright = meanLuma(frame) > kBrightLuma;
    if (bright && !scan->lastBright)
        r->flashSeconds.push_back(t);
    scan->lastBright = bright;
}

void takeClick(double at, double *lastLoud, std::vector<double> *clicks)
{
    if (at - *lastLoud >= kQuietMs / 1000.0)
        clicks->push_back(at);
    *lastLoud = at;
}

void takeAudioFrame(const AVFrame *frame, const Streams &s, Scan *scan, Result *r)
{
    const double t = frameSeconds(frame, s.audio);
    const int rate = frame->sample_rate > 0 ? frame->sample_rate : s.audioDec->sample_rate;
    if (scan->audioFirst < 0)
        scan->audioFirst = t;
    // A player starts the sound at its first stamp and plays on sample by
    // sample, whatever the later stamps say.
    const double played = scan->audioFirst + double(scan->samplesPlayed) / rate;
    scan->samplesPlayed += frame->nb_samples;
    scan->audioEnd = std::max(scan->audioEnd, t + double(frame->nb_samples) / rate);
    if (frame->format != AV_SAMPLE_FMT_FLTP && frame->format != AV_SAMPLE_FMT_FLT)
        return;
    const float *p = reinterpret_cast<const float *>(frame->extended_data[0]);
    const int step = frame->format == AV_SAMPLE_FMT_FLT ? frame->ch_layout.nb_channels : 1;
    for (int i = 0; i < frame->nb_samples; ++i) {
        if (std::fabs(p[i * step]) < kLoud)
            continue;
        takeClick(t + double(i) / rate, &scan->lastLoudStamped, &r->stamped.clickSeconds);
        takeClick(played + double(i) / rate, &scan->lastLoudPlayed, &r->played.clickSeconds);
    }
}

void decodePacket(AVCodecContext *dec, const AVPacket *pkt, AVFrame *frame, const std::function<void(AVFrame *)> &take)
{
    if (avcodec_send_packet(dec, pkt) < 0)
        return;
    while (avcodec_receive_frame(dec, frame) >= 0) {
        take(frame);
        av_frame_unref(frame);
    }
}

void pairUp(const std::vector<double> &flashSeconds, Offsets *r)
{
    for (double click : r->clickSeconds) {
        double best = 1e9;
        for (double flash : flashSeconds) {
            if (std::fabs(click - flash) < std::fabs(best))
                best = click - flash;
        }
        if (std::fabs(best) < 0.5)
            r->offsetsMs.push_back(best * 1000.0);
    }
    if (r->offsetsMs.empty())
        return;
    std::vector<double> sorted = r->offsetsMs;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    r->medianMs = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    r->worstMs = 0;
    for (double o : r->offsetsMs) {
        if (std::fabs(o) > std::fabs(r->worstMs))
            r->worstMs = o;
    }
}

} // namespace

Result measure(const std::string &path)
{
    Result r;
    AVFormatContext *raw = nullptr;
    int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (err < 0) {
        r.error = "cannot open " + path + ": " + avError(err);
        return r;
    }
    FormatPtr fmt(raw, [](AVFormatContext *f) { avformat_close_input(&f); });
    if ((err = avformat_find_stream_info(fmt.get(), nullptr)) < 0) {
        r.error = "no stream info: " + avError(err);
        return r;
    }
    Streams s;
    const int vi = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int ai = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vi < 0 || ai < 0) {
        r.error = "the file needs a video and an audio stream";
        return r;
    }
    s.video = fmt->streams[vi];
    s.audio = fmt->streams[ai];
    s.videoDec = openDecoder(s.video, &r.error);
    if (!s.videoDec)
        return r;
    s.audioDec = openDecoder(s.audio, &r.error);
    if (!s.audioDec)
        return r;

    Scan scan;
    std::unique_ptr<AVPacket, void (*)(AVPacket *)> pkt(av_packet_alloc(), [](AVPacket *p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame *)> frame(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
    auto takeVideo = [&](AVFrame *f) { takeVideoFrame(f, s, &scan, &r); };
    auto takeAudio = [&](AVFrame *f) { takeAudioFrame(f, s, &scan, &r); };
    while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == vi)
            decodePacket(s.videoDec.get(), pkt.get(), frame.get(), takeVideo);
        else if (pkt->stream_index == ai)
            decodePacket(s.audioDec.get(), pkt.get(), frame.get(), takeAudio);
        av_packet_unref(pkt.get());
    }
    decodePacket(s.videoDec.get(), nullptr, frame.get(), takeVideo);
    decodePacket(s.audioDec.get(), nullptr, frame.get(), takeAudio);

    r.videoEndSeconds = scan.videoEnd;
    r.audioEndSeconds = scan.audioEnd;
    r.videoSeconds = scan.videoFirst < 0 ? 0 : scan.videoEnd - scan.videoFirst;
    r.audioSeconds = scan.audioFirst < 0 ? 0 : scan.audioEnd - scan.audioFirst;
    pairUp(r.flashSeconds, &r.played);
    pairUp(r.flashSeconds, &r.stamped);
    r.ok = true;
    return r;
}

namespace {

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string viewJson(const Offsets &view)
{
    std::ostringstream out;
    out << "\"seconds\": " << view.offsetsMs.size() << ", \"median_ms\": " << number(view.medianMs)
        << ", \"worst_ms\": " << number(view.worstMs) << ", \"offsets_ms\": [";
    for (size_t i = 0; i < view.offsetsMs.size(); ++i)
        out << (i ? ", " : "") << number(view.offsetsMs[i]);
    out << "]";
    return out.str();
}

} // namespace

std::string toJson(const Result &result)
{
    return "{" + viewJson(result.played) + ", \"played\": {" + viewJson(result.played) + "}, \"stamped\": {"
        + viewJson(result.stamped) + "}}";
}

} // namespace kxavsync
