#include "VoxtapAacPacker.h"

#include "Voxtap.h"
#include "VoxtapLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace voxtap {

namespace {

constexpr int kDefaultCodec = 86018; // AV_CODEC_ID_AAC
constexpr int kDefaultBitRate = 128000;
constexpr int kDefaultChannels = 2;
constexpr int kPreferredRate = 44100;
constexpr int kOutputAreaBlocks = 2048;

std::string avError(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_make_error_string(text, sizeof text, err);
    return text;
}

int closestSupportedRate(const AVCodec *codec)
{
    if (!codec->supported_samplerates)
        return kPreferredRate;
    int best = 0;
    for (const int *r = codec->supported_samplerates; *r; ++r) {
        // Strictly closer only, so the first of equally close rates wins.
        if (best == 0 || std::abs(*r - kPreferredRate) < std::abs(best - kPreferredRate))
            best = *r;
    }
    return best ? best : kPreferredRate;
}

bool acceptsPlanarFloat(const AVCodec *codec)
{
    if (!codec->sample_fmts)
        return false;
    for (const AVSampleFormat *f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
        if (*f == AV_SAMPLE_FMT_FLTP)
            return true;
    }
    return false;
}

AVSampleFormat pcmFormatForBits(int bits)
{
    switch (bits) {
    case 8: return AV_SAMPLE_FMT_U8;
    case 16: return AV_SAMPLE_FMT_S16;
    case 32: return AV_SAMPLE_FMT_S32;
    default: return AV_SAMPLE_FMT_NONE;
    }
}

AVSampleFormat inputFormat(const MixFormat &mix)
{
    if (mix.formatTag == MixFormat::TagPcm)
        return pcmFormatForBits(mix.bitsPerSample);
    if (mix.formatTag == MixFormat::TagExtensible) {
        if (mix.subFormat == MixFormat::SubIeeeFloat)
            return mix.bitsPerSample == 32 ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_NONE;
        if (mix.subFormat == MixFormat::SubPcm)
            return pcmFormatForBits(mix.bitsPerSample);
    }
    return AV_SAMPLE_FMT_NONE;
}

} // namespace

struct AacPacker::AVPacketHolder {
    AVPacket *packet = nullptr;
};

AacPacker::~AacPacker()
{
    release();
    delete m_pSetupParams;
}

int AacPacker::reset()
{
    if (!m_pEncoder)
        return VOXTAP_E_GENERIC;
    const MixFormat mix = m_setupMix;
    VoxtapAudioParams *params = m_pSetupParams;
    m_pSetupParams = nullptr;
    const int result = setup(mix, params);
    delete params;
    return result;
}

int AacPacker::drain(AccessUnitSink *sink)
{
    if (!m_pEncoder)
        return 0;
    int total = 0;
    // The resampler keeps a few samples of filter history back.
    const int delayed = static_cast<int>(swr_get_delay(m_pResampler, m_pEncoder->sample_rate)) + m_iFrameSize;
    const size_t planeBytes = static_cast<size_t>(delayed) * m_iBytesPerSample;
    for (size_t ch = 0; ch < m_scratch.size(); ++ch) {
        if (m_scratch[ch].size() < planeBytes)
            m_scratch[ch].resize(planeBytes);
        m_scratchPtrs[ch] = m_scratch[ch].data();
    }
    int produced = swr_convert(m_pResampler, m_scratchPtrs.data(), delayed, nullptr, 0);
    if (produced < 0) {
        voxtapLog(LogError, "AacPacker::drain: swr_convert failed: %s", avError(produced).c_str());
        produced = 0;
    }
    int used = 0;
    while (produced - used > 0) {
        if (av_frame_make_writable(m_pFrame) < 0)
            break;
        const int count = std::min(m_iFrameSize - m_iWaiting, produced - used);
        copyIntoFrame(m_iWaiting, used, count);
        used += count;
        m_iWaiting += count;
        if (m_iWaiting == m_iFrameSize) {
            total += encodeFrame(sink);
            m_iWaiting = 0;
        }
    }
    if (m_iWaiting > 0) {
        // The encoder takes a short last frame; padding it would add
        // silence that was never recorded.
        m_pFrame->nb_samples = m_iWaiting;
        total += encodeFrame(sink);
        m_pFrame->nb_samples = m_iFrameSize;
        m_iWaiting = 0;
    }
    const int err = avcodec_send_frame(m_pEncoder, nullptr);
    if (err < 0 && err != AVERROR_EOF)
        voxtapLog(LogError, "AacPacker::drain: avcodec_send_frame(flush) failed: %s", avError(err).c_str());
    else
        total += receivePackets(sink);
    return total;
}

int AacPacker::setup(const MixFormat &mix, const VoxtapAudioParams *params)
{
    release();
    m_setupMix = mix;
    delete m_pSetupParams;
    m_pSetupParams = params ? new VoxtapAudioParams(*params) : nullptr;

    const int codecId = params ? params->codecId : kDefaultCodec;
    const AVCodec *codec = avcodec_find_encoder(static_cast<AVCodecID>(codecId));
    if (!codec) {
        voxtapLog(LogError, "AacPacker::setup: no encoder for codec id %d", codecId);
        return VOXTAP_E_NOENCODER;
    }
    if (!acceptsPlanarFloat(codec)) {
        voxtapLog(LogError, "AacPacker::setup: encoder %s does not take planar float", codec->name);
        return VOXTAP_E_FORMAT;
    }

    m_pEncoder = avcodec_alloc_context3(codec);
    if (!m_pEncoder) {
        voxtapLog(LogError, "AacPacker::setup: avcodec_alloc_context3 failed");
        return VOXTAP_E_ENCOPEN;
    }
    const int channels = params ? params->channels : kDefaultChannels;
    const int rate = params ? params->sampleRate : closestSupportedRate(codec);
    m_pEncoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_pEncoder->bit_rate = params ? params->bitRate : kDefaultBitRate;
    m_pEncoder->sample_rate = rate;
    m_pEncoder->time_base = AVRational{1, rate > 0 ? rate : 1};
    if (channels > 0)
        av_channel_layout_default(&m_pEncoder->ch_layout, channels);
    m_pEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (channels <= 0 || rate <= 0) {
        voxtapLog(LogError, "AacPacker::setup: bad parameters (%d channels, %d Hz)", channels, rate);
        release();
        return VOXTAP_E_ENCOPEN;
    }
    int err = avcodec_open2(m_pEncoder, codec, nullptr);
    if (err < 0) {
        voxtapLog(LogError, "AacPacker::setup: avcodec_open2 failed: %s", avError(err).c_str());
        release();
        return VOXTAP_E_ENCOPEN;
    }

    const AVSampleFormat inFormat = inputFormat(mix);
    if (inFormat == AV_SAMPLE_FMT_NONE || mix.channels <= 0 || mix.sampleRate <= 0) {
        voxtapLog(LogError, "AacPacker::setup: unsupported capture format (tag 0x%x, %d bits)",
                  mix.formatTag, mix.bitsPerSample);
        release();
        return VOXTAP_E_FORMAT;
    }
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, mix.channels);
    err = swr_alloc_set_opts2(&m_pResampler, &m_pEncoder->ch_layout, m_pEncoder->sample_fmt,
                              m_pEncoder->sample_rate, &inLayout, inFormat, mix.sampleRate, 0,
                              nullptr);
    av_channel_layout_uninit(&inLayout);
    if (err < 0 || !m_pResampler) {
        voxtapLog(LogError, "AacPacker::setup: swr_alloc_set_opts2 failed: %s", avError(err).c_str());
        release();
        return VOXTAP_E_SWRALLOC;
    }
    err = swr_init(m_pResampler);
    if (err < 0) {
        voxtapLog(LogError, "AacPacker::setup: swr_init failed: %s", avError(err).c_str());
        release();
        return VOXTAP_E_SWRINIT;
    }

    m_iFrameSize = m_pEncoder->frame_size > 0 ? m_pEncoder->frame_size : 1024;
    m_pFrame = av_frame_alloc();
    if (!m_pFrame) {
        release();
        return VOXTAP_E_FRAMEALLOC;
    }
    m_pFrame->nb_samples = m_iFrameSize;
    m_pFrame->format = m_pEncoder->sample_fmt;
    m_pFrame->sample_rate = m_pEncoder->sample_rate;
    m_pFrame->pts = 0;
    if (av_channel_layout_copy(&m_pFrame->ch_layout, &m_pEncoder->ch_layout) < 0
        || av_frame_get_buffer(m_pFrame, 0) < 0) {
        voxtapLog(LogError, "AacPacker::setup: av_frame_get_buffer failed");
        release();
        return VOXTAP_E_FRAMEBUF;
    }

    m_pPacket = new AVPacketHolder;
    m_pPacket->packet = av_packet_alloc();
    m_iInputBlockAlign = mix.blockAlign();
    m_iBytesPerSample = av_get_bytes_per_sample(m_pEncoder->sample_fmt);
    try {
        m_outputArea.assign(static_cast<size_t>(m_iInputBlockAlign) * kOutputAreaBlocks, 0);
        m_scratch.assign(m_pEncoder->ch_layout.nb_channels, std::vector<uint8_t>());
        m_scratchPtrs.assign(m_pEncoder->ch_layout.nb_channels, nullptr);
    } catch (const std::bad_alloc &) {
        release();
        return VOXTAP_E_GENERIC;
    }
    if (!m_pPacket->packet) {
        release();
        return VOXTAP_E_GENERIC;
    }
    m_iWaiting = 0;
    m_iFramesEncoded = 0;
    m_iPacketsOut = 0;
    m_iUnitPts = -m_iFrameSize;
    m_iDropped = 0;
    voxtapLog(LogInfo, "AacPacker::setup: %s %d Hz %d ch %lld bit/s from %d Hz %d ch %d bits, frame %d",
              codec->name, m_pEncoder->sample_rate, m_pEncoder->ch_layout.nb_channels,
              static_cast<long long>(m_pEncoder->bit_rate), mix.sampleRate, mix.channels,
              mix.bitsPerSample, m_iFrameSize);
    return VOXTAP_OK;
}

void AacPacker::release()
{
    if (m_pPacket) {
        av_packet_free(&m_pPacket->packet);
        delete m_pPacket;
        m_pPacket = nullptr;
    }
    av_frame_free(&m_pFrame);
    swr_free(&m_pResampler);
    avcodec_free_context(&m_pEncoder);
    m_outputArea.clear();
    m_outputArea.shrink_to_fit();
    m_scratch.clear();
    m_scratchPtrs.clear();
    m_iWaiting = 0;
}

int AacPacker::encoderSampleRate() const
{
    return m_pEncoder ? m_pEncoder->sample_rate : 0;
}

int AacPacker::encoderChannels() const
{
    return m_pEncoder ? m_pEncoder->ch_layout.nb_channels : 0;
}

std::vector<uint8_t> AacPacker::extradata() const
{
    if (!m_pEncoder || !m_pEncoder->extradata)
        return {};
    return std::vector<uint8_t>(m_pEncoder->extradata,
                                m_pEncoder->extradata + m_pEncoder->extradata_size);
}

void AacPacker::copyIntoFrame(int frameOffset, int scratchOffset, int count)
{
    for (size_t ch = 0; ch < m_scratch.size(); ++ch) {
        std::memcpy(m_pFrame->extended_data[ch] + frameOffset * m_iBytesPerSample,
                    m_scratch[ch].data() + scratchOffset * m_iBytesPerSample,
                    static_cast<size_t>(count) * m_iBytesPerSample);
    }
}

int AacPacker::pack(const uint8_t *data, int frames, AccessUnitSink *sink)
{
    if (!m_pEncoder || !data || frames <= 0)
        return 0;

    // Up-sampling yields more samples than input frames; the planes must
    // hold everything the resampler can emit, or the excess piles up in
    // the resampler and the sound drifts late without bound.
    const int capacity = std::max({frames, m_iFrameSize, swr_get_out_samples(m_pResampler, frames)});
    const size_t planeBytes = static_cast<size_t>(capacity) * m_iBytesPerSample;
    for (size_t ch = 0; ch < m_scratch.size(); ++ch) {
        if (m_scratch[ch].size() < planeBytes)
            m_scratch[ch].resize(planeBytes);
        m_scratchPtrs[ch] = m_scratch[ch].data();
    }
    const uint8_t *in[] = {data};
    const int produced = swr_convert(m_pResampler, m_scratchPtrs.data(), capacity, in, frames);
    if (produced < 0) {
        voxtapLog(LogError, "AacPacker::pack: swr_convert failed: %s", avError(produced).c_str());
        return 0;
    }

    int total = 0;
    int used = 0;
    if (m_iWaiting + produced >= m_iFrameSize) {
        // The frame may still be referenced by the encoder; never write
        // into a buffer it holds.
        if (av_frame_make_writable(m_pFrame) < 0)
            return 0;
        const int fill = m_iFrameSize - m_iWaiting;
        copyIntoFrame(m_iWaiting, 0, fill);
        used = fill;
        total += encodeFrame(sink);
        while (produced - used >= m_iFrameSize) {
            if (av_frame_make_writable(m_pFrame) < 0)
                return total;
            copyIntoFrame(0, used, m_iFrameSize);
            used += m_iFrameSize;
            total += encodeFrame(sink);
        }
        m_iWaiting = 0;
    }
    const int rest = produced - used;
    if (rest > 0) {
        if (av_frame_make_writable(m_pFrame) < 0)
            return total;
        copyIntoFrame(m_iWaiting, used, rest);
        m_iWaiting += rest;
    }
    return total;
}

int AacPacker::encodeFrame(AccessUnitSink *sink)
{
    m_pFrame->pts = m_iFramesEncoded * m_iFrameSize;
    ++m_iFramesEncoded;
    int err = avcodec_send_frame(m_pEncoder, m_pFrame);
    if (err < 0) {
        ++m_iDropped;
        return 0;
    }
    return receivePackets(sink);
}

int AacPacker::receivePackets(AccessUnitSink *sink)
{
    int bytes = 0;
    AVPacket *pkt = m_pPacket->packet;
    for (;;) {
        const int err = avcodec_receive_packet(m_pEncoder, pkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            break;
        if (err < 0) {
            voxtapLog(LogError, "AacPacker::receivePackets: avcodec_receive_packet failed: %s",
                      avError(err).c_str());
            break;
        }
        if (pkt->size > 0 && static_cast<size_t>(pkt->size) <= m_outputArea.size()) {
            std::memcpy(m_outputArea.data(), pkt->data, pkt->size);
            bytes += pkt->size;
            ++m_iPacketsOut;
            // Frames go in with their sample position as pts, so the unit's
            // pts says where its sound lies; a unit without one follows the
            // previous unit.
            m_iUnitPts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : m_iUnitPts + m_iFrameSize;
            if (sink)
                sink->accessUnit(m_outputArea.data(), pkt->size);
        } else if (pkt->size > 0) {
            ++m_iDropped;
        }
        av_packet_unref(pkt);
    }
    return bytes;
}

} // namespace voxtap
