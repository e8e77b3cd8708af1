#pragma once
// The camera module: owns the capture device (KxBooth), the sample receiver
// (KxCamData), the display worker (KxCamDisplay), the H.264 encoder
// (KxCamEncoder), the encoder's frame queue and the four frame buffers, the
// camera's failure watch, and the stop event that ends every camera thread.
//
// Threads: the IKxModuleCamera operations run on the commander's thread
// (preStart also on a thread-pool worker, never concurrently with start or
// stop). The pipeline accessors below are used by the module's own threads:
// the streaming thread ("kx-capture"), the display thread ("kx-display") and
// the encode thread ("kx-h264"). The failure watch has a thread of its own
// ("kx-cam-watch"), so that neither a slow encoder nor a stalled display
// can delay or fake its verdict.

#include "IKxModuleCamera.h"
#include "KxFrameBuffer.h"
#include "KxHandoffQueue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class IKxBooth;
class KxCamData;
class KxCamDisplay;
class KxCamEncoder;

class KxModuleCamera final : public IKxModuleCamera {
public:
    /// Frames that circulate per module, and the capacity of both queues.
    static constexpr int kFrameBuffers = 4;
    /// Silence after the last picture that counts as a failed camera; time
    /// the intake waits for a free frame buffer does not count.
    static constexpr int kFailureWatchMs = 900;
    /// Time from the stream's start within which the first picture must
    /// come: USB cameras take up to 1.5 s (exposure, MJPEG at 1080p).
    static constexpr int kFirstPictureMs = 3000;
    /// Pattern searched when no camera name was set.
    static constexpr const wchar_t *kDefaultCameraName = L"VANTRI Multimedia";

    KxModuleCamera();

    int init() override;
    int start(IKxMediaTime *clock) override;
    int stop() override;
    int destory() override;
    int config(int key, int value) override;
    int setPoolModule(IKxModulePoolMgr *pool) override;
    IKxModulePoolMgr *getPoolModule() override;
    int registerCallback(ICallBack *callback) override;
    int setCameraScreen(int32_t window, QColor background) override;
    int setCameraName(const wchar_t *name) override;
    bool isCameraExist(const wchar_t *name) override;
    int preStart() override;
    int clipImage() override;

    // ---- used by the frame pipeline (module threads) ----

    /// Free list: empty frames; filled list: frames waiting for the encoder.
    KxHandoffQueue<KxFrameBuffer> &encoderQueue() { return m_encoderQueue; }
    /// The manual-reset event set by stop (null before init).
    kxsync::Event *stopEvent() const { return m_pStopEvent.get(); }
    /// The recording clock given to start (may be null).
    IKxMediaTime *clock() const { return m_pClock.load(); }
    IKxBooth *booth() const { return m_pBooth; }
    KxCamEncoder *encoder() const { return m_pEncoder.get(); }
    KxCamData *camData() const { return m_pCamData.get(); }
    KxCamDisplay *display() const { return m_pDisplay.get(); }

    /// Takes one pending snapshot request; false when none is pending.
    bool takeSnapshotRequest();
    int pendingSnapshots() const { return m_iSnapshots.load(); }

    /// The intake's received count; forwarded through statistics().
    void reportCaptured(int count);
    /// The frame index of a pushed packet; forwarded through statistics().
    void reportEncoded(int index);
    /// A camera failure, forwarded through error().
    void reportError(int code, const char *text);
    /// The camera of the running recording failed (no picture within the
    /// watch time, or the device was lost): DEVICE_FAILURE with "Camera
    /// Device failure" through error(), once per recording; ignored outside
    /// a recording. why goes to the log. Display or device-event thread.
    void reportDeviceFailure(const char *why);
    /// A picture was converted (streaming thread): the camera is alive.
    void pictureArrived();
    /// The intake is waiting for a free frame buffer: the encoder is behind,
    /// and the camera's next sample waits in the driver meanwhile. Streaming
    /// thread, around each such wait.
    void intakeWaitBegins();
    void intakeWaitEnds();
    /// The last moment the intake was held by the pipeline, in steady-clock
    /// milliseconds: now while it waits, the end of its last wait otherwise,
    /// 0 when it never waited. The failure watch counts silence from here at
    /// the earliest, so a slow encoder is never taken for a failed camera.
    int64_t intakeHeldUntilMs() const;
    static int64_t steadyMs();
    /// Whether the running (or last) recording reported its camera failure.
    bool deviceFailureReported() const { return m_bFailureReported.load(); }
    /// The encode thread has ended, forwarded through stopped().
    void reportEncoderStopped();

    int capturedCount() const { return m_iCaptured.load(); }
    int encodedCount() const { return m_iEncoded.load(); }
    bool isStarted() const { return m_bStarted; }
    /// Frames that were still queued for encoding when the last stop came
    /// (they are not encoded).
    int framesLeftAtStop() const { return m_iLeftAtStop.load(); }

    /// Public so that an owner can delete a module that was never
    /// initialised (destory() refuses it); an initialised module is deleted
    /// by destory().
    ~KxModuleCamera() override;

private:
    void stopThreads();
    /// The failure watch: the first picture within kFirstPictureMs of
    /// streamStartMs, then no silence of kFailureWatchMs; one report.
    void watch(int64_t streamStartMs);

    bool m_bInited = false;
    bool m_bStarted = false;
    std::atomic<bool> m_bOpened{false};
    std::unique_ptr<kxsync::Event> m_pStopEvent;
    uint32_t m_iWindow = 0;
    uint32_t m_iBackground = 0; // 0x00BBGGRR
    std::wstring m_cameraName;
    std::wstring m_defaultCameraName{kDefaultCameraName};
    std::atomic<ICallBack *> m_pCallback{nullptr};
    std::atomic<int> m_iSnapshots{0};
    KxHandoffQueue<KxFrameBuffer> m_encoderQueue;
    std::thread m_watchThread;
    std::atomic<int64_t> m_iLastPictureMs{0}; // steady ms; 0: none yet in this run
    std::vector<std::unique_ptr<KxFrameBuffer>> m_frames;
    std::unique_ptr<KxCamEncoder> m_pEncoder;
    IKxBooth *m_pBooth = nullptr; // released with IKxBooth::release()
    std::unique_ptr<KxCamData> m_pCamData;
    std::unique_ptr<KxCamDisplay> m_pDisplay;
    std::atomic<IKxModulePoolMgr *> m_pPool{nullptr};
    std::atomic<IKxMediaTime *> m_pClock{nullptr};
    std::atomic<int> m_iCaptured{0};
    std::atomic<int> m_iEncoded{0};
    std::atomic<int> m_iLeftAtStop{0};
    // Set by start just before the capture runs, cleared by stop: device
    // failures count only for a running recording, and only once.
    std::atomic<bool> m_bWatching{false};
    std::atomic<bool> m_bFailureReported{false};
    std::atomic<int64_t> m_iIntakeHeldUntilMs{0};
    // Serialises opening and closing the booth: preStart may run on a
    // worker thread.
    std::mutex m_boothMutex;
};
