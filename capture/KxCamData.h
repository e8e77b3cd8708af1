#pragma once
// Frame intake: receives every raw camera sample on the streaming thread,
// serves pending snapshots with the raw sample, converts the sample to I420
// into a free frame buffer, stamps it against the recording clock, offers a
// copy to the preview (never waiting for it) and queues the frame for the
// encoder.
//
// Threads: onYUVSample runs on the capture device's streaming thread
// ("kx-capture") and may block there while all frame buffers are in use (the
// device then drops samples upstream). reset() is called by the camera
// module's start while the device is not streaming.

#include "IKxYUVDataCallBack.h"

#include <atomic>
#include <cstdint>
#include <vector>

class IKxBooth;
class KxModuleCamera;

class KxCamData final : public IKxYUVDataCallBack {
public:
    /// booth and module are not owned and outlive the intake.
    KxCamData(IKxBooth *booth, KxModuleCamera *module);

    /// One raw sample whose capture moment is not known: it counts as taken
    /// when it arrives. Always 0.
    int onYUVData(const uint8_t *data, int length) override;
    /// One raw sample, stamped with the moment the camera took it. Always 0.
    int onYUVSample(const uint8_t *data, int length, int64_t capturedUs) override;

    /// Starts a new video time line: the next frame is frame 0, stamped at
    /// the recording clock's time when the camera took it.
    void reset();
    /// Gives the snapshot scratch back; streaming thread stopped.
    void releaseBuffers() { std::vector<uint8_t>().swap(m_jpeg); }

    /// Ticks per second of the video stamps: milliseconds of the recording
    /// clock, as the sound is stamped. Whole frame periods would be up to
    /// half a period (33 ms at 15 fps) off the clock, on top of every other
    /// error between picture and sound.
    static constexpr int kStampRate = 1000;
    /// The stamp of a frame that arrived clockMs into the recording: the
    /// clock's time, never equal to or behind the previous frame's stamp
    /// (lastStamp < 0: this is the first frame). The video's time line
    /// follows the clock whatever rate the camera really delivers: a camera
    /// slower than its nominal rate leaves gaps in the stamps instead of
    /// shortening the video.
    static int64_t clockStamp(int64_t clockMs, int64_t lastStamp);
    /// The recording clock's time (ms) at which a sample was taken, for a
    /// clock started at clockStartedUs (IKxMediaTime::startedAtUs(); < 0:
    /// not started, every sample is at 0) and read at nowUs. capturedUs and
    /// nowUs are CLOCK_MONOTONIC microseconds; a capture moment that is
    /// unknown (0), in the future or older than kMaxSampleAgeMs is not
    /// believed, and the sample counts as taken now. Stamping the moment
    /// of capture rather than of arrival keeps a held-up streaming thread
    /// from bunching the stamps of the samples that waited for it.
    static int64_t captureClockMs(int64_t clockStartedUs, int64_t nowUs, int64_t capturedUs);
    static constexpr int64_t kMaxSampleAgeMs = 10000;
    /// The integer frame rate the encoder's rate control works with for a
    /// camera rate (14.99999 counts as 15); at least 1.
    static int timeBaseRate(double fps);
    /// Whether a sample starts like a JPEG picture (SOI marker).
    static bool isJpeg(const uint8_t *data, int length);

    /// JPEG quality of snapshots encoded from a picture (non-MJPEG cameras).
    static constexpr int kSnapshotQuality = 90;

    int receivedCount() const { return m_iReceived.load(); }
    int convertedCount() const { return m_iConverted.load(); }
    /// The stamp of the first frame of the current (or last) recording.
    int64_t firstStampMs() const { return m_iStartOffset.load(); }
    /// Samples that could not be converted (empty, truncated, corrupt).
    int rejectedCount() const { return m_iRejected.load(); }
    int snapshotsTaken() const { return m_iSnapshotsTaken.load(); }

private:
    /// width x height: the converted picture; sampleWidth x sampleHeight:
    /// the camera's (an MJPEG sample is saved as it came).
    void takeSnapshot(const uint8_t *data, int length, const uint8_t *i420, int width, int height, int sampleWidth,
                      int sampleHeight, int64_t stamp);

    IKxBooth *m_pBooth;
    KxModuleCamera *m_pModule;
    std::atomic<int> m_iReceived{0};
    std::atomic<int> m_iConverted{0};
    std::atomic<int64_t> m_iStartOffset{0};
    int64_t m_iLastStamp = -1;
    int64_t m_iLastTakenMs = -1;    ///< clock time the last sample was taken (intake thread)
    std::atomic<int> m_iRejected{0};
    std::atomic<int> m_iSnapshotsTaken{0};
    std::vector<uint8_t> m_jpeg; // streaming thread; reused between snapshots
};
