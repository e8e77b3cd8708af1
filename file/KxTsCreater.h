#pragma once
// The TS segment writer: writes the recording's packets into a chain of
// numbered MPEG-TS files ("<stem>%03d.ts") of about the segment length L,
// for HLS while the recording runs, and reports each finished segment with
// its duration (onFile(2, path, seconds)). It writes no playlist.
//
// A segment is cut before the first video key frame that comes more than
// L - allowance seconds after the segment began (allowance = 15 / frame
// rate seconds, in integers); without video, the first audio packet L + 1
// seconds or more after the segment began cuts it.
//
// Audio arrives ahead of video (the video encoder's latency), so an audio
// packet is held back until the video has reached its time: then every
// segment holds the audio and the video of one and the same time span, and
// the segments of a recording form one continuous timeline. While video
// flows, only video key frames cut. Audio is held for at most
// kMaxAudioHoldSeconds; beyond that (the video stalled) it is written as if
// there were no video, and cuts again.
//
// Threads: write() on the packet pool's output thread, the other operations
// on the commander's thread, serialised by the local file module's mutex.

#include "IKxToLocalFile.h"
#include "KxMuxer.h"

#include <memory>
#include <vector>

namespace KxFileModule {

class KxTsCreater final : public IKxToLocalFile {
public:
    static constexpr double kMaxAudioHoldSeconds = 5.0;
    /// Added to every time stamp of the segments, so that the encoder's
    /// negative decoding times at the start of a recording stay positive
    /// and every segment shares one timeline (the usual MPEG-TS start).
    static constexpr const char *kTimelineOffset = "1.4";

    KxTsCreater();
    ~KxTsCreater() override;

    int kind() override { return KX_WRITER_TS; }
    /// Stores the stem of the playlist path, L (below 2 taken as 2) and the
    /// parameters; the counter restarts at 0. 0.
    int init(const KxWriterConfig &config) override;
    /// Resets the counter and the segment state; drops an open segment
    /// without reporting it. 0.
    int start() override;
    /// 0 when written or held for writing; 1 for a packet with nothing to
    /// write; otherwise the first failing muxer status of the packets
    /// written by this call (a segment that cannot be opened is retried
    /// with the same number, at most once a second).
    int write(IKxMediaPacket *packet) override;
    /// Writes the held audio, finishes the current segment and reports it.
    /// 0.
    int close() override;
    int uninit() override;

    /// Whole seconds a segment may stay below L before a key frame cuts it:
    /// 15 * unit / roundedFrameRate; 0 for a frame rate or unit below 1.
    static int allowanceSeconds(int roundedFrameRate, int unit);
    /// "<stem>%03d.ts".
    static std::string segmentName(const std::string &stem, int counter);
    /// The playlist path up to and including the last '.' of its file name
    /// (the path and a '.' when the file name has none).
    static std::string stemOf(const std::string &playlistPath);

private:
    struct HeldAudio {
        std::vector<uint8_t> bytes;
        KxMuxRecord record;
        double t = 0;
    };

    // How held audio is released: All (at close), Before a cut time, UpTo
    // the video's time, or UpToAndCut when the video stalled and audio
    // cuts segments again.
    enum class Release { All, Before, UpTo, UpToAndCut };

    /// mayCut: the audio rule (L + 1) may cut the segment; only when the
    /// video does not cut (there is none, or it stalled).
    int writeAudioNow(const KxMuxRecord &record, double t, bool mayCut);
    int writeToSegment(const KxMuxRecord &record, double t);
    void closeSegment(double endTime);
    void dropSegment();
    int releaseHeld(double limit, Release how);
    void holdAudio(const KxMuxRecord &record, double t);

    std::unique_ptr<KxMuxer> m_pMuxer;
    std::string m_stem;
    int m_iSegmentLength = 2;
    KxWriterParams m_params;
    std::shared_ptr<const KxStreamSetup> m_streams;
    int m_iCounter = 0;
    std::string m_segmentName;
    bool m_bSegmentOpen = false;
    double m_segmentStart = 0;  ///< microseconds
    double m_currentTime = 0;   ///< microseconds
    double m_previousEnd = -1;  ///< microseconds; where the last reported segment ended, -1 none yet
    bool m_bVideoSeen = false;
    double m_videoHorizon = 0;  ///< latest video presentation time, microseconds
    KxRetryPacer m_retry;
    // Ring of held audio packets; slots keep their byte storage.
    std::vector<HeldAudio> m_held;
    size_t m_heldHead = 0;
    size_t m_heldCount = 0;
};

} // namespace KxFileModule
