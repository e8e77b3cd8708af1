#include "KxCamDisplay.h"

#include "KxFrameBuffer.h"
#include "KxMerioErrors.h"
#include "KxModuleCamera.h"
#include "display/KxDisplay.h"

#include <QDebug>

#include <algorithm>

KxCamDisplay::KxCamDisplay(KxModuleCamera *module) : m_pModule(module) {}

KxCamDisplay::~KxCamDisplay()
{
    if (m_thread.joinable()) {
        qWarning() << "KxCamDisplay::~KxCamDisplay" << "  thread still running, joining";
        if (auto *ev = m_pModule->stopEvent())
            ev->set();
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
    for (KxFrameBuffer *frame : m_pModule->displayQueue().drainFilled())
        m_pModule->encoderQueue().putFree(frame);
    m_iForwarded = 0;
    m_iFailures = 0;
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
    if (m_thread.joinable())
        m_thread.join();
    m_bRunning = false;
    qInfo() << "Display stop --- join ok";
    return ErrorCode::OK;
}

int64_t KxCamDisplay::silentMs(int64_t lastShownMs) const
{
    // Time the intake spent waiting for the encoder is not the camera's
    // silence: its samples wait in the driver until a buffer is free.
    return KxModuleCamera::steadyMs() - std::max(lastShownMs, m_pModule->intakeHeldUntilMs());
}

void KxCamDisplay::run()
{
    kxsync::setCurrentThreadName("kx-display");
    KxHandoffQueue<KxFrameBuffer> &displayQueue = m_pModule->displayQueue();
    KxHandoffQueue<KxFrameBuffer> &encoderQueue = m_pModule->encoderQueue();
    kxsync::Event *stop = encoderQueue.stopEvent();

    KxDisplayDevice device = nullptr;
    if (InitDisplayDevEnv() == 0)
        device = CreateVideoDeivce(m_iWindow, m_iBackground);
    m_bPreviewActive = device != nullptr;
    if (!device)
        qWarning() << "KxCamDisplay::run" << "  no preview for window" << m_iWindow
                   << "- frames go straight to the encoder";

    // The watch runs from the start of the recording, not from the first
    // frame: a camera that never shows a picture (unplugged before its
    // first sample, every sample undecodable) is a failed camera too.
    bool watchArmed = true;
    bool paintFailed = false;
    int64_t lastShownMs = KxModuleCamera::steadyMs();
    for (;;) {
        KxFrameBuffer *frame = nullptr;
        while (!frame) {
            if (stop->isSet())
                break;
            // The wait ends at once on a frame or on the stop event, so it
            // only needs to wake up for the failure watch.
            int waitMs = kxsync::Infinite;
            if (watchArmed)
                waitMs = std::max(kPollMs, int(kFailureWatchMs - silentMs(lastShownMs)));
            frame = displayQueue.takeFilled(waitMs);
            if (!frame && watchArmed && silentMs(lastShownMs) >= kFailureWatchMs) {
                m_pModule->reportDeviceFailure("no picture from the camera");
                ++m_iFailures;
                watchArmed = false;
            }
        }
        if (!frame)
            break;
        lastShownMs = KxModuleCamera::steadyMs();
        if (device) {
            const int ret = DisplayYv12Video(device, frame->pixels(), frame->m_iWidth, frame->m_iHeight);
            if (ret != 0 && !paintFailed)
                qWarning() << "KxCamDisplay::run" << "  preview paint failed:" << ret;
            paintFailed = ret != 0;
        }
        if (!encoderQueue.putFilled(frame))
            encoderQueue.putFree(frame);
        ++m_iForwarded;
    }
    DestroyVideoDevice(device);
    qInfo() << "Display thread exit!";
}
