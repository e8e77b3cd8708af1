#include "KxCamDisplay.h"

#include "KxMerioErrors.h"
#include "sync/KxSync.h"
#include "display/KxDisplay.h"

#include <QDebug>

#include <cstring>

KxCamDisplay::KxCamDisplay() = default;

KxCamDisplay::~KxCamDisplay()
{
    if (m_thread.joinable()) {
        qWarning() << "KxCamDisplay::~KxCamDisplay" << "  thread still running, joining";
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
}

void KxCamDisplay::setWindow(uint32_t window, uint32_t background)
{
    m_iWindow = window;
    m_iBackground = background;
}

int KxCamDisplay::init()
{
    m_bInited = true;
    return ErrorCode::OK;
}

int KxCamDisplay::start()
{
    qInfo() << "KxCamDisplay::start" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    if (m_bRunning)
        return ErrorCode::ALREADY;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHavePending = false;
        m_bStopping = false;
    }
    m_iShown = 0;
    m_iSkipped = 0;
    m_iLastShownIndex = -1;
    m_bPreviewActive = false;
    m_bRunning = true;
    m_thread = std::thread(&KxCamDisplay::run, this);
    return ErrorCode::OK;
}

int KxCamDisplay::stop()
{
    qInfo() << "KxCamDisplay::stop" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    if (!m_bRunning)
        return ErrorCode::ALREADY;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_all();
    // A paint stuck in the X server is waited for here, at the stop, when
    // the recording's frames are already safe.
    if (m_thread.joinable())
        m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHavePending = false;
        std::vector<uint8_t>().swap(m_pending.pixels);
    }
    m_bRunning = false;
    qInfo() << "Display stop --- join ok" << "shown:" << m_iShown.load() << "skipped:" << m_iSkipped.load();
    return ErrorCode::OK;
}

void KxCamDisplay::offer(const uint8_t *i420, int width, int height, int frameIndex)
{
    if (!m_bPreviewActive.load() || !i420 || width <= 0 || height <= 0)
        return;
    const size_t bytes = size_t(width) * height * 3 / 2;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bHavePending)
        ++m_iSkipped;
    // Grows only; after the first pictures no allocation happens here.
    if (m_pending.pixels.size() < bytes)
        m_pending.pixels.resize(bytes);
    std::memcpy(m_pending.pixels.data(), i420, bytes);
    m_pending.width = width;
    m_pending.height = height;
    m_pending.frameIndex = frameIndex;
    m_bHavePending = true;
    m_wake.notify_one();
}

void KxCamDisplay::run()
{
    kxsync::setCurrentThreadName("kx-display");
    KxDisplayDevice device = nullptr;
    if (InitDisplayDevEnv() == 0)
        device = CreateVideoDeivce(m_iWindow, m_iBackground);
    if (!device) {
        qWarning() << "KxCamDisplay::run" << "  no preview for window" << m_iWindow << "- recording without it";
        qInfo() << "Display thread exit!";
        return;
    }
    m_bPreviewActive = true;
    Picture showing;
    bool paintFailed = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_bHavePending || m_bStopping; });
            if (m_bStopping)
                break;
            std::swap(showing, m_pending);
            m_bHavePending = false;
        }
        const int ret = DisplayYv12Video(device, showing.pixels.data(), showing.width, showing.height);
        if (ret != 0 && !paintFailed)
            qWarning() << "KxCamDisplay::run" << "  preview paint failed:" << ret;
        paintFailed = ret != 0;
        m_iLastShownIndex = showing.frameIndex;
        ++m_iShown;
    }
    DestroyVideoDevice(device);
    qInfo() << "Display thread exit!";
}
