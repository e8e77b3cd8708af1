#pragma once
// H.264 encoder of the camera path: takes converted frames from the camera
// module's encoder queue on its own thread ("kx-h264"), encodes them with
// libavcodec's default H.264 encoder (libx264 on Debian) and hands every
// packet to the packet pool as a video packet stamped in frame periods.
//
// Threads: init/start/stop/updateParams are called on the camera module's
// controlling thread; updateParams may arrive while the encode thread runs
// and takes effect at the next frame. The camera ICallBack's stopped() is
// called on the encode thread when it ends.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "CQueBuf.h"

class KxFrameBuffer;
class KxModuleCamera;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

class KxCamEncoder {
public:
    static constexpr int kDefaultBitRateKbps = 1500;
    static constexpr int kDefaultGop = 12;
    static constexpr int kThreads = 4;
    static constexpr int kStagingBytes = 1 << 20;
    /// Longest single wait for a free video packet.
    static constexpr int kPacketWaitMs = 100;

    /// owner (not owned) provides the encoder queue, its stop event, the
    /// pool and the callback; it outlives the encoder.
    explicit KxCamEncoder(KxModuleCamera *owner);
    /// The encode thread must have been stopped before (the camera module
    /// does so).
    ~KxCamEncoder();

    KxCamEncoder(const KxCamEncoder &) = delete;
    KxCamEncoder &operator=(const KxCamEncoder &) = delete;

    /// Looks up the encoder (a missing one is only logged: the first frame
    /// then fails) and allocates the reusable picture. 0, 1 when already
    /// inited, -1 when the picture cannot be allocated.
    int init();
    /// Returns frames left in the encoder queue's filled list to its free
    /// list and starts the encode thread. 0, 1 when running, -401 before init.
    int start();
    /// Has the next start open the codec for the camera's format before
    /// the first frame arrives, so that opening it (tens of milliseconds
    /// for x264 at 720p) does not hold up the first frames while the camera
    /// fills every buffer. Controlling thread, while the encode thread is
    /// not running. 0, or -1 for a bad format or state (a codec that then
    /// fails to open is opened again by the first frame).
    int prepare(int width, int height, double frameRate);
    /// Joins the encode thread (the owner sets the stop event first),
    /// clears the open size so that the next start reopens the codec, and
    /// gives the packet staging buffer back (the codec itself is closed by
    /// the thread after its drain).
    /// 0, 1 when not running, -401 before init.
    int stop();
    /// Requests a bit rate (kbit/s) and GOP for the next frame: 0 restores
    /// the default (1500 kbit/s, GOP 12), a negative value keeps the current
    /// one. Any thread.
    void updateParams(int bitRateKbps, int gop);

    /// Encodes one frame, or drains the encoder when frame is null, and
    /// pushes every packet to the pool. Returns the number of packets, 0 for
    /// none, -1 when the codec cannot be opened (or nothing is open to
    /// drain), -100 when the encoder refuses the input, -2/-1 when the pool
    /// gives no packet. Encode thread only (public for tests that drive the
    /// encoder without its thread).
    int encode(KxFrameBuffer *frame);

    /// Values of the open codec and of the last request, for diagnostics.
    int bitRateKbps() const;
    int gop() const;
    bool paramsPending() const;
    int openWidth() const { return m_iOpenWidth; }
    int openHeight() const { return m_iOpenHeight; }
    /// How often a codec context was opened since construction.
    int openCount() const { return m_iOpenCount.load(); }
    bool isRunning() const { return m_bRunning; }
    /// Whether the process has an H.264 encoder.
    static bool encoderAvailable();

private:
    void run();
    int openCodec(int width, int height, float frameRate);
    void closeCodec();
    // Drains the open context into the pool (before it is replaced or
    // after the last frame); the packet count, or negative on failure.
    int flushCodec();
    // Takes every packet the encoder has ready and pushes it; frameIndex
    // < 0 indexes them by the running packet count. 0 or negative.
    int receivePackets(int frameIndex, int *count);
    int pushPacket(bool keyFrame, int64_t pts, int64_t dts, int frameIndex);

    KxModuleCamera *m_pOwner;
    std::thread m_thread;
    bool m_bInited = false;
    bool m_bRunning = false;

    AVCodecContext *m_pContext = nullptr;
    AVFrame *m_pPicture = nullptr;
    AVPacket *m_pPacket = nullptr;
    std::atomic<int> m_iOpenWidth{0};
    std::atomic<int> m_iOpenHeight{0};
    std::atomic<int> m_iOpenCount{0};
    int m_iTimeBase = 25;
    int m_iPrepareWidth = 0; // set by prepare, consumed by the next run
    int m_iPrepareHeight = 0;
    double m_dPrepareFrameRate = 0;
    CQueBuf m_staging;
    double m_dCurrentFrameRate = 25.0;
    int m_iDrainCounter = 0;
    // Set when the encoder was seen keeping a reference to an input picture
    // past the call: from then on libavcodec copies each picture.
    bool m_bCopyInput = false;

    // The parameter fields are written by updateParams on the controlling
    // thread and read when the codec opens on the encode thread.
    mutable std::mutex m_paramMutex;
    bool m_bPendingChanged = false;
    int m_iPendingGop = kDefaultGop;
    int m_iPendingBitRate = kDefaultBitRateKbps;
    int m_iGop = kDefaultGop;
    int m_iBitRate = kDefaultBitRateKbps;
};
