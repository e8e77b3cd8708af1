#pragma once
// Frame intake: receives every raw camera sample on the streaming thread,
// serves pending snapshots with the raw sample, converts the sample to I420
// into a free frame buffer, stamps it against the recording clock and queues
// it for the display thread.
//
// Threads: onYUVData runs on the capture device's streaming thread
// ("kx-capture") and may block there while all frame buffers are in use (the
// device then drops samples upstream). reset() is called by the camera
// module's start while the device is not streaming.

#include "IKxYUVDataCallBack.h"

#include <atomic>
#include <cstdint>

class IKxBooth;
class KxModuleCamera;

class KxCamData final : public IKxYUVDataCallBack {
public:
    /// booth and module are not owned and outlive the intake.
    KxCamData(IKxBooth *booth, KxModuleCamera *module);

    /// One raw sample; always 0.
    int onYUVData(const uint8_t *data, int length) override;

    /// Starts a new video time line: the next frame is frame 0, stamped at
    /// the recording clock's time when it arrives.
    void reset();

    /// Frame periods between the clock's start and a first frame that
    /// arrives clockMs into the recording at fps frames per second.
    static int64_t startOffset(int64_t clockMs, double fps);
    /// Catch-up stamping: the stamp of the frame converted as number k
    /// (k = 0 is the first frame, stamp 0) given the start offset n0, half
    /// = n0 / 2 and the stamp of the previous frame. The first half frames
    /// advance by three periods until the time line has caught up with the
    /// clock by n0 periods; later frames follow one period apart.
    static int64_t catchUpStamp(int k, int64_t n0, int64_t half, int64_t lastStamp);

    int receivedCount() const { return m_iReceived.load(); }
    int convertedCount() const { return m_iConverted.load(); }
    int64_t startOffsetPeriods() const { return m_iStartOffset.load(); }
    /// Samples that could not be converted (empty, truncated, corrupt).
    int rejectedCount() const { return m_iRejected.load(); }
    int snapshotsTaken() const { return m_iSnapshotsTaken.load(); }

private:
    void takeSnapshot(const uint8_t *data, int length, int width, int height, int64_t stamp);

    IKxBooth *m_pBooth;
    KxModuleCamera *m_pModule;
    std::atomic<int> m_iReceived{0};
    std::atomic<int> m_iConverted{0};
    std::atomic<int64_t> m_iStartOffset{0};
    int64_t m_iHalfOffset = 0;
    int64_t m_iLastStamp = 0;
    std::atomic<int> m_iRejected{0};
    std::atomic<int> m_iSnapshotsTaken{0};
};
