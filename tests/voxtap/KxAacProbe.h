#pragma once
// Decodes raw AAC access units the way a muxer's reader would (the
// AudioSpecificConfig is built from rate and channels, not taken from the
// encoder) and measures what came out: sample count, level and the
// frequency of the tone in the first channel.

#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class KxAacProbe {
public:
    KxAacProbe() = default;
    ~KxAacProbe();
    KxAacProbe(const KxAacProbe &) = delete;
    KxAacProbe &operator=(const KxAacProbe &) = delete;

    /// AAC-LC decoder for this rate and channel count.
    bool open(int sampleRate, int channels);
    /// Decodes one access unit; false when the decoder refuses it.
    bool decode(const uint8_t *data, int length);

    int64_t samples() const { return static_cast<int64_t>(m_samples.size()); }
    int errors() const { return m_errors; }
    int decodedChannels() const { return m_channels; }
    /// Pitch (Hz) of the tone, skipping skip samples of encoder start-up
    /// and the last kEndSamples (the end of a stopped capture); 0 when
    /// there is no tone. See measurePitch.
    double frequency(int64_t skip = 4096) const;
    static constexpr int64_t kEndSamples = 3072;
    /// RMS level of the decoded first channel (full scale 1.0).
    double rms(int64_t skip = 4096) const;

    /// Raw first-channel samples (float).
    const std::vector<float> &channel0() const { return m_samples; }

    /// The two-byte AudioSpecificConfig of AAC-LC.
    static std::vector<uint8_t> audioSpecificConfig(int sampleRate, int channels);
    /// Mean frequency of any mono float signal from all its rising zero
    /// crossings: a stretch of silence or noise moves it, so it also tells
    /// whether the tone ran unbroken.
    static double measureFrequency(const float *x, int64_t n, int sampleRate);
    /// The tone's pitch from the median length of runs of whole periods:
    /// a dropout of a few milliseconds, as a loaded sound server may
    /// deliver at a stream's start, does not move it.
    static double measurePitch(const float *x, int64_t n, int sampleRate);

private:
    AVCodecContext *m_ctx = nullptr;
    AVFrame *m_frame = nullptr;
    AVPacket *m_packet = nullptr;
    int m_rate = 0;
    int m_channels = 0;
    int m_errors = 0;
    std::vector<float> m_samples;
};
