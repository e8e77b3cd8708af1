#pragma once
// Display worker: shows each converted frame in the preview window, watches
// for a camera that stopped delivering, and forwards every frame to the
// encoder queue. Without a display (no X server, no window) frames bypass
// the preview and still reach the encoder, so a recording never loses its
// video for want of a preview.
//
// Threads: setWindow/init/start/stop run on the camera module's controlling
// thread; the worker runs on its own thread ("kx-display"), which also
// reports the camera failure through the module's callback.

#include <atomic>
#include <cstdint>
#include <thread>

class KxModuleCamera;

class KxCamDisplay {
public:
    /// Silence after the last shown frame that counts as a failed camera;
    /// time the intake waits for a free frame buffer does not count.
    static constexpr int kFailureWatchMs = 900;
    /// Shortest wait for the next frame while the failure watch is armed.
    static constexpr int kPollMs = 5;

    /// module (not owned) provides the queues, the stop event and the callback.
    explicit KxCamDisplay(KxModuleCamera *module);
    ~KxCamDisplay();

    KxCamDisplay(const KxCamDisplay &) = delete;
    KxCamDisplay &operator=(const KxCamDisplay &) = delete;

    /// Preview target (an X11 window id, 0 for none) and background colour
    /// 0x00BBGGRR; used from the next start.
    void setWindow(uint32_t window, uint32_t background);
    /// 0.
    int init();
    /// Returns frames left in the display queue to the encoder queue's free
    /// list and starts the worker. 0, 1 when running, -401 before init.
    int start();
    /// Joins the worker (the module sets the stop event first). 0, 1 when
    /// not running, -401 before init.
    int stop();

    bool isRunning() const { return m_bRunning; }
    /// Whether the current (or last) run paints into a window.
    bool previewActive() const { return m_bPreviewActive.load(); }
    /// Frames passed on to the encoder in the current (or last) run.
    int forwardedFrames() const { return m_iForwarded.load(); }
    /// Camera failures reported in the current (or last) run (0 or 1).
    int failuresReported() const { return m_iFailures.load(); }

private:
    void run();
    /// Milliseconds the camera has been silent, given the last shown frame.
    int64_t silentMs(int64_t lastShownMs) const;

    KxModuleCamera *m_pModule;
    uint32_t m_iWindow = 0;
    uint32_t m_iBackground = 0;
    std::thread m_thread;
    bool m_bInited = false;
    bool m_bRunning = false;
    std::atomic<bool> m_bPreviewActive{false};
    std::atomic<int> m_iForwarded{0};
    std::atomic<int> m_iFailures{0};
};
