#include "KxAacProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

double rmsOf(const float *x, int64_t n)
{
    double sum = 0;
    for (int64_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / n);
}

// Where the signal crosses zero between samples i - 1 and i.
double crossingAt(const float *x, int64_t i)
{
    return (i - 1) + x[i - 1] / static_cast<double>(x[i - 1] - x[i]);
}

} // namespace

KxAacProbe::~KxAacProbe()
{
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    avcodec_free_context(&m_ctx);
}

std::vector<uint8_t> KxAacProbe::audioSpecificConfig(int sampleRate, int channels)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000, 7350};
    int index = 15;
    for (int i = 0; i < 13; ++i) {
        if (rates[i] == sampleRate)
            index = i;
    }
    const int objectType = 2; // AAC LC
    const uint16_t bits = static_cast<uint16_t>((objectType << 11) | (index << 7) | (channels << 3));
    return {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xff)};
}

bool KxAacProbe::open(int sampleRate, int channels)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec)
        return false;
    m_ctx = avcodec_alloc_context3(codec);
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (!m_ctx || !m_frame || !m_packet)
        return false;
    const std::vector<uint8_t> asc = audioSpecificConfig(sampleRate, channels);
    m_ctx->extradata = static_cast<uint8_t *>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(m_ctx->extradata, asc.data(), asc.size());
    m_ctx->extradata_size = static_cast<int>(asc.size());
    m_ctx->sample_rate = sampleRate;
    av_channel_layout_default(&m_ctx->ch_layout, channels);
    m_rate = sampleRate;
    return avcodec_open2(m_ctx, codec, nullptr) >= 0;
}

bool KxAacProbe::decode(const uint8_t *data, int length)
{
    if (!m_ctx || av_new_packet(m_packet, length) < 0)
        return false;
    std::memcpy(m_packet->data, data, length);
    int err = avcodec_send_packet(m_ctx, m_packet);
    av_packet_unref(m_packet);
    if (err < 0) {
        ++m_errors;
        return false;
    }
    while ((err = avcodec_receive_frame(m_ctx, m_frame)) >= 0) {
        m_channels = m_frame->ch_layout.nb_channels;
        if (m_frame->format == AV_SAMPLE_FMT_FLTP) {
            const float *p = reinterpret_cast<const float *>(m_frame->extended_data[0]);
            m_samples.insert(m_samples.end(), p, p + m_frame->nb_samples);
        }
        av_frame_unref(m_frame);
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
        ++m_errors;
        return false;
    }
    return true;
}

double KxAacProbe::measureFrequency(const float *x, int64_t n, int sampleRate)
{
    double first = -1, last = -1;
    int64_t crossings = 0;
    for (int64_t i = 1; i < n; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double t = crossingAt(x, i);
            if (first < 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 3 || last <= first)
        return 0.0;
    return (crossings - 1) * sampleRate / (last - first);
}

double KxAacProbe::measurePitch(const float *x, int64_t n, int sampleRate)
{
    if (n < 2)
        return 0.0;
    // A crossing counts once the signal has gone well below zero, so the
    // decoder's low noise in a gap adds none.
    const float hysteresis = static_cast<float>(0.5 * rmsOf(x, n));
    std::vector<double> crossings;
    bool armed = false;
    for (int64_t i = 1; i < n; ++i) {
        if (x[i] < -hysteresis)
            armed = true;
        if (armed && x[i - 1] < 0.0f && x[i] >= 0.0f) {
            crossings.push_back(crossingAt(x, i));
            armed = false;
        }
    }
    const size_t runs = std::min<size_t>(16, crossings.size() / 8);
    if (runs == 0 || crossings.size() <= runs)
        return 0.0;
    std::vector<double> lengths;
    for (size_t i = 0; i + runs < crossings.size(); ++i)
        lengths.push_back(crossings[i + runs] - crossings[i]);
    auto middle = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
    std::nth_element(lengths.begin(), middle, lengths.end());
    return *middle > 0 ? static_cast<double>(runs) * sampleRate / *middle : 0.0;
}

double KxAacProbe::frequency(int64_t skip) const
{
    // A stopped capture ends with a short, drained last frame whose
    // decoded tail is no tone; it is left out like the start.
    const int64_t n = samples() - skip - kEndSamples;
    if (n <= 0)
        return 0.0;
    return measurePitch(m_samples.data() + skip, n, m_rate);
}

double KxAacProbe::rms(int64_t skip) const
{
    const int64_t n = samples() - skip;
    return n > 0 ? rmsOf(m_samples.data() + skip, n) : 0.0;
}
