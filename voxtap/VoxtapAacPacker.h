#pragma once
// Turns captured interleaved PCM blocks into raw AAC access units:
// libswresample converts to the encoder's planar float layout and rate,
// samples gather in one reusable encoder frame, and every packet the
// encoder returns is handed to the sink on its own.
//
// Threads: setup and release run on the thread that initialises the
// engine; pack runs on the capture thread. Not thread-safe by itself.

#include <cstdint>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct SwrContext;
struct VoxtapAudioParams;

namespace voxtap {

/// The capture stream's sample format, described the way the system's
/// shared-mode mix format is: a format tag, and for the extensible tag a
/// sub-format.
struct MixFormat {
    enum Tag : uint16_t { TagPcm = 1, TagIeeeFloat = 3, TagExtensible = 0xFFFE };
    enum SubFormat : int { SubPcm, SubIeeeFloat, SubOther };

    uint16_t formatTag = TagPcm;
    SubFormat subFormat = SubPcm;  ///< meaningful for TagExtensible only
    int bitsPerSample = 16;
    int channels = 2;
    int sampleRate = 48000;

    int blockAlign() const { return channels * bitsPerSample / 8; }
};

/// Receives each encoded access unit; the bytes are valid during the call.
class AccessUnitSink {
public:
    virtual ~AccessUnitSink() = default;
    virtual void accessUnit(const uint8_t *data, int length) = 0;
};

class AacPacker {
public:
    AacPacker() = default;
    ~AacPacker();
    AacPacker(const AacPacker &) = delete;
    AacPacker &operator=(const AacPacker &) = delete;

    /// Opens the encoder and the resampler for blocks in mix format and
    /// allocates the output area (block align x 2048 bytes). params null:
    /// AAC, 128000 bit/s, 2 channels, the supported rate closest to 44100.
    /// 0 or a VoxtapResult code (0x2000001..0x2000007, 1 when the output
    /// area cannot be allocated); on failure nothing stays allocated.
    int setup(const MixFormat &mix, const VoxtapAudioParams *params);
    /// Frees encoder, resampler, frame and output area.
    void release();
    /// Ends the current sound: whatever the resampler and the encoder
    /// frame still hold is encoded (the last frame may be short), the
    /// encoder is drained, and every access unit goes to sink (may be
    /// null). Returns the number of encoded bytes. Capture thread, after
    /// the last pack of a run.
    int drain(AccessUnitSink *sink);
    /// Makes the next pack start a new sound: encoder and resampler are
    /// opened again as set up, nothing of the previous run is kept. 0 or
    /// the setup code (the packer is then not ready). Not while pack or
    /// drain runs.
    int reset();
    bool isReady() const { return m_pEncoder != nullptr; }

    /// Packs one block of frames interleaved samples. Each access unit the
    /// encoder returns is copied to the output area and passed to sink
    /// (which may be null). Returns the number of encoded bytes.
    int pack(const uint8_t *data, int frames, AccessUnitSink *sink);

    int encoderSampleRate() const;
    int encoderChannels() const;
    int frameSize() const { return m_iFrameSize; }
    /// The encoder's AudioSpecificConfig (global header).
    std::vector<uint8_t> extradata() const;

    int64_t framesEncoded() const { return m_iFramesEncoded; }
    /// During the sink's call: the unit's presentation time in samples at
    /// the encoder's rate, counted from the first sample packed since setup
    /// or reset. The encoder's priming makes the first unit start before 0.
    int64_t unitPts() const { return m_iUnitPts; }
    int64_t packetsOut() const { return m_iPacketsOut; }
    /// Frames the encoder refused and packets too large for the output area.
    int64_t dropped() const { return m_iDropped; }

private:
    int encodeFrame(AccessUnitSink *sink);
    int receivePackets(AccessUnitSink *sink);
    void copyIntoFrame(int frameOffset, int scratchOffset, int count);

    MixFormat m_setupMix;
    VoxtapAudioParams *m_pSetupParams = nullptr; // owned; null: the defaults
    AVCodecContext *m_pEncoder = nullptr;
    AVFrame *m_pFrame = nullptr;
    SwrContext *m_pResampler = nullptr;
    int m_iFrameSize = 0;
    int m_iWaiting = 0;
    int m_iBytesPerSample = 4;
    int m_iInputBlockAlign = 0;
    int64_t m_iFramesEncoded = 0;
    int64_t m_iPacketsOut = 0;
    int64_t m_iUnitPts = 0;
    int64_t m_iDropped = 0;
    std::vector<std::vector<uint8_t>> m_scratch;
    std::vector<uint8_t *> m_scratchPtrs;
    std::vector<uint8_t> m_outputArea;
    struct AVPacketHolder;
    AVPacketHolder *m_pPacket = nullptr;
};

} // namespace voxtap
