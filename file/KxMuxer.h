#pragma once
// A small wrapper around libavformat: one output file of a given container
// format with one audio stream (index 0) and one video stream (index 1),
// into which already-encoded packets are written with their time stamps
// rescaled to the container. No encoding happens here.
//
// Threads: no lock; the owner serialises every call.

#include "IKxToLocalFile.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct AVCodecParameters;

namespace KxFileModule {

/// Status codes of KxMuxer.
enum KxMuxStatus : int32_t {
    KX_MUX_OK = 0,
    KX_MUX_EMPTY_PACKET = 1,          ///< no data or size below 1; ignored
    KX_MUX_NO_IMPL = 2,               ///< the wrapper has no implementation record
    KX_MUX_ALLOC_CONTEXT = 0x10001,   ///< allocating the output context failed
    KX_MUX_OPEN_FILE = 0x10003,       ///< opening the file for writing failed
    KX_MUX_WRITE_HEADER = 0x10004,    ///< writing the header failed
    KX_MUX_WRITE_PACKET = 0x10006,    ///< writing a packet failed, or the packet was refused
    KX_MUX_NO_ENCODER = 0x10007,      ///< adding a stream: no encoder for the codec
    KX_MUX_NO_CODEC_CONTEXT = 0x10008,///< adding a stream: no codec context
    KX_MUX_OPEN_ENCODER = 0x10009,    ///< adding a stream: the encoder did not open
};

/// Stream selectors of KxMuxRecord.
enum KxMuxStreamSelector : int32_t {
    KX_MUX_VIDEO = 0,
    KX_MUX_AUDIO = 1,
};

/// One packet handed to KxMuxer::write; the data stays the caller's.
struct KxMuxRecord {
    int32_t stream = KX_MUX_VIDEO;   ///< 0 video, 1 audio; other values write nothing
    const uint8_t *data = nullptr;
    int32_t size = 0;
    int64_t pts = 0;
    int64_t dts = 0;
    int32_t key = 0;                 ///< key-frame flag
    int32_t timeBaseNum = 1;         ///< time base of pts/dts: num/den seconds per tick
    int32_t timeBaseDen = 1000;
    int32_t frameRate = 0;           ///< video: nominal frames per second, the last frame's
                                     ///< length; 0: one tick (stamps that count frames)
    int32_t width = 0;               ///< video: the encoded picture's size; 0: as configured
    int32_t height = 0;
};

/// The picture size a H.264 sequence parameter set describes (after its
/// cropping), read from the first SPS of an avcC configuration record or of
/// an Annex B buffer. false when there is none or it cannot be read.
bool h264PictureSize(const uint8_t *data, int size, int *width, int *height);

/// The codec parameters of a recording's two streams (profile, level and
/// the codec configuration: the AAC AudioSpecificConfig, the H.264
/// parameter sets) as the encoders produce them for its KxWriterParams.
/// Working them out opens a libx264 and an AAC encoder, tens of
/// milliseconds of CPU: the local file module does it once per recording,
/// before the first packet, and every file of the recording (the MP4 file,
/// each TS segment) shares the result. Immutable once made.
class KxStreamSetup {
public:
    /// Never null; a stream whose encoder cannot be opened has no
    /// parameters (logged) and its status says why.
    static std::shared_ptr<const KxStreamSetup> create(const KxWriterParams &params);
    ~KxStreamSetup();
    KxStreamSetup(const KxStreamSetup &) = delete;
    KxStreamSetup &operator=(const KxStreamSetup &) = delete;

    /// Parameters with the configuration a container with global headers
    /// needs; null when the encoder did not open.
    const AVCodecParameters *audio() const { return m_audio; }
    const AVCodecParameters *video() const { return m_video; }
    /// KX_MUX_OK, KX_MUX_NO_ENCODER, KX_MUX_NO_CODEC_CONTEXT or KX_MUX_OPEN_ENCODER.
    int audioStatus() const { return m_audioStatus; }
    int videoStatus() const { return m_videoStatus; }

private:
    KxStreamSetup() = default;
    AVCodecParameters *m_audio = nullptr;
    AVCodecParameters *m_video = nullptr;
    int m_audioStatus = KX_MUX_OK;
    int m_videoStatus = KX_MUX_OK;
};

/// Paces the attempts to open an output that cannot be opened (a missing
/// folder, no rights, a full disk): every attempt costs a file system call
/// and a header write on the pool's output thread, so one a second is
/// plenty, not one per packet.
class KxRetryPacer {
public:
    static constexpr std::chrono::milliseconds kInterval{1000};
    /// Whether an attempt may be made now.
    bool due() const;
    /// An attempt failed with status.
    void failed(int status);
    /// An attempt succeeded; the next failure is retried at once.
    void reset();
    /// The status of the last failed attempt (0 when none failed).
    int lastStatus() const { return m_lastStatus; }
    /// Failed attempts since the last success.
    int failures() const { return m_failures; }

private:
    std::chrono::steady_clock::time_point m_lastTry;
    int m_lastStatus = 0;
    int m_failures = 0;
};

class KxMuxer {
public:
    /// setup: the streams' codec parameters; null makes open() work them
    /// out for every file it opens.
    explicit KxMuxer(const KxWriterParams &params, std::shared_ptr<const KxStreamSetup> setup = nullptr);
    /// Closes the file as close() does.
    ~KxMuxer();
    KxMuxer(const KxMuxer &) = delete;
    KxMuxer &operator=(const KxMuxer &) = delete;

    /// Opens path (UTF-8) as a file of the given container format ("mp4",
    /// "mpegts") with its two streams and writes the header; options go to
    /// the header write unchanged. An open file is closed first.
    /// KX_MUX_OK, KX_MUX_ALLOC_CONTEXT, KX_MUX_OPEN_FILE or
    /// KX_MUX_WRITE_HEADER; on failure the muxer stays closed.
    int open(const char *path, const char *format,
             const std::map<std::string, std::string> &options);

    /// Writes one packet (the bytes are copied). KX_MUX_OK when written or
    /// when the selector names no stream; KX_MUX_EMPTY_PACKET;
    /// KX_MUX_WRITE_PACKET when the container failed, when nothing is
    /// open, or when the packet was refused because its time stamps would
    /// go backwards or repeat within its stream, or its pts lies before its
    /// dts (such a packet is logged and dropped; the file goes on), and for
    /// every packet once the file failed (see failed()).
    int write(const KxMuxRecord *record);

    /// Writes the trailer and closes the file if one is open; 0.
    int close();

    /// Hands what the container has written so far to the file system (a
    /// player or a crash sees it then). KX_MUX_OK, or KX_MUX_WRITE_PACKET
    /// when writing failed (the file is failed() then).
    int flush();

    /// Whether open() logs its failures (on by default). Writers that retry
    /// the open for every packet log only some of the attempts.
    void setLogOpenFailures(bool on);

    bool isOpen() const;
    /// True when a packet write, the header or the trailer of the current
    /// (or last closed) file failed at the container or file level: the
    /// file is incomplete. Refused packets do not count.
    bool failed() const;
    /// Packets refused for their time stamps since open.
    int refusedPackets() const;
    /// Why the file failed (English, for logs and reports); empty when it
    /// did not.
    std::string failureReason() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace KxFileModule
