#pragma once
// Display worker: shows the camera's pictures in the preview window.
//
// The preview never holds up the recording: the intake hands each converted
// picture over with offer(), which only copies it into a slot and returns
// (the latest picture wins; a preview that cannot keep up skips pictures),
// while the frame itself goes straight on to the encoder. Painting, which
// may wait for the X server, happens on the worker's own thread
// ("kx-display") and touches nothing the recording needs. The camera's
// failure watch runs elsewhere (KxModuleCamera).
//
// Threads: setWindow/init/start/stop run on the camera module's controlling
// thread; offer() on the streaming thread ("kx-capture").

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class KxCamDisplay {
public:
    KxCamDisplay();
    ~KxCamDisplay();

    KxCamDisplay(const KxCamDisplay &) = delete;
    KxCamDisplay &operator=(const KxCamDisplay &) = delete;

    /// Preview target (an X11 window id, 0 for none) and background colour
    /// 0x00BBGGRR; used from the next start.
    void setWindow(uint32_t window, uint32_t background);
    /// 0.
    int init();
    /// Starts the worker. 0, 1 when running, -401 before init.
    int start();
    /// Joins the worker (the module sets the stop event first) and gives
    /// the waiting picture's memory back. 0, 1 when not running, -401
    /// before init.
    int stop();

    /// Hands a packed I420 picture to the preview without waiting for it:
    /// it replaces a picture not yet shown. Does nothing while no preview
    /// window is painted. Streaming thread; the picture is copied.
    void offer(const uint8_t *i420, int width, int height, int frameIndex);

    bool isRunning() const { return m_bRunning; }
    /// Whether the current (or last) run paints into a window.
    bool previewActive() const { return m_bPreviewActive.load(); }
    /// Pictures painted in the current (or last) run.
    int shownFrames() const { return m_iShown.load(); }
    /// Frame index of the picture painted last (-1: none yet).
    int lastShownIndex() const { return m_iLastShownIndex.load(); }
    /// Pictures replaced before they could be shown in the current (or last) run.
    int skippedFrames() const { return m_iSkipped.load(); }

private:
    struct Picture {
        std::vector<uint8_t> pixels;
        int width = 0, height = 0, frameIndex = -1;
    };
    void run();

    uint32_t m_iWindow = 0;
    uint32_t m_iBackground = 0;
    std::thread m_thread;
    bool m_bInited = false;
    bool m_bRunning = false;
    std::atomic<bool> m_bPreviewActive{false};
    std::atomic<int> m_iShown{0};
    std::atomic<int> m_iSkipped{0};
    std::atomic<int> m_iLastShownIndex{-1};

    // The handover: the intake fills m_pending under the lock; the worker
    // swaps it with the picture it paints, so the lock is held only for a
    // copy or a swap, never across a paint.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    Picture m_pending;
    bool m_bHavePending = false;
    bool m_bStopping = false;
};
