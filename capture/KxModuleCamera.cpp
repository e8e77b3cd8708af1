#include "KxModuleCamera.h"

#include "IKxModulePoolMgr.h"
#include "KxBooth.h"
#include "KxCamData.h"
#include "KxCamDisplay.h"
#include "KxCamEncoder.h"
#include "KxMerioErrors.h"

#include <camera/KxCameraDevice.h>

#include <QDebug>
#include <QJsonObject>

#include <algorithm>
#include <limits>

IKxModuleCamera *IKxModuleCamera::createInstance()
{
    return new KxModuleCamera;
}

KxModuleCamera::KxModuleCamera() = default;

KxModuleCamera::~KxModuleCamera()
{
    if (m_bInited)
        stopThreads(); // deleted without destory(): never leave threads behind
    // The booth goes first: it holds the intake as its sample receiver.
    if (m_pBooth) {
        m_pBooth->release();
        m_pBooth = nullptr;
    }
    m_pDisplay.reset();
    m_pEncoder.reset();
    m_pCamData.reset();
}

int KxModuleCamera::init()
{
    qInfo() << "KxModuleCamera::init" << "  enter";
    if (m_bInited)
        return ErrorCode::ALREADY;
    m_pStopEvent.reset(new kxsync::Event(true, false));
    m_encoderQueue.init(kFrameBuffers, m_pStopEvent.get());
    for (int i = 0; i < kFrameBuffers; ++i) {
        m_frames.emplace_back(new KxFrameBuffer);
        m_encoderQueue.putFree(m_frames.back().get());
    }

    if (m_pBooth)
        m_pBooth->release();
    auto *booth = new KxBooth;
    // Device events come on the booth's event thread; a lost camera ends
    // the picture for good, so it is reported at once rather than after
    // the display's watch time.
    QObject::connect(booth, &KxBooth::signalVideoSourceState, [this](VisualizerState state) {
        if (state == VisualizerFailure)
            reportDeviceFailure("device event");
    });
    m_pBooth = booth;
    m_pCamData.reset(new KxCamData(m_pBooth, this));
    m_pEncoder.reset(new KxCamEncoder(this));
    m_pDisplay.reset(new KxCamDisplay);
    m_pDisplay->init();
    const int ret = m_pEncoder->init();
    qInfo() << "CamEncoder init return: " << ret;
    m_pBooth->setIKxYUVDataCallBack(m_pCamData.get());
    m_bInited = true;
    return ret;
}

int KxModuleCamera::start(IKxMediaTime *clock)
{
    qInfo() << "KxModuleCamera::start" << "  enter";
    if (!m_bInited) {
        qWarning() << "KxModuleCamera::start" << "  cam_error ----  not inited. ";
        return ErrorCode::NOT_INITED;
    }
    if (m_bStarted)
        return ErrorCode::ALREADY;
    if (!clock)
        qWarning() << "KxModuleCamera::start" << "  no clock: the video time line starts at 0";
    m_pClock = clock;
    m_iSnapshots = 0;
    m_iCaptured = 0;
    m_iEncoded = 0;
    m_pStopEvent->reset();
    m_pCamData->reset();
    m_iLastPictureMs = 0;
    m_iIntakeHeldUntilMs = 0;
    const int opened = preStart();
    if (opened < 0)
        return opened;

    QJsonObject format;
    if (m_pBooth->getCapFormat(format) == 0)
        m_pEncoder->prepare(format.value("width").toInt(), format.value("height").toInt(),
                            format.value("fps").toDouble());
    const int encoderRet = m_pEncoder->start();
    qInfo() << "Cam Encoder start return: " << encoderRet;
    m_bFailureReported = false;
    m_bWatching = true;
    m_pDisplay->setWindow(m_iWindow, m_iBackground);
    m_pDisplay->start();
    const int previewRet = m_pBooth->startPreview();
    qInfo() << "Cam booth startPreview return: " << previewRet;
    if (previewRet >= 0) {
        m_bStarted = true;
        if (m_watchThread.joinable())
            m_watchThread.join();
        m_watchThread = std::thread(&KxModuleCamera::watch, this, steadyMs());
    } else {
        m_bWatching = false; // the start result reports this failure
    }
    return previewRet;
}

void KxModuleCamera::stopThreads()
{
    // The stop event goes first so that no join below waits on a thread
    // blocked in a queue.
    m_bWatching = false;
    m_pStopEvent->set();
    {
        std::lock_guard<std::mutex> guard(m_boothMutex);
        m_pBooth->stopPreview();
        m_pBooth->close();
        m_bOpened = false;
    }
    if (m_watchThread.joinable())
        m_watchThread.join();
    m_pDisplay->stop();
    m_pEncoder->stop();
}

void KxModuleCamera::watch(int64_t streamStartMs)
{
    kxsync::setCurrentThreadName("kx-cam-watch");
    for (;;) {
        const int64_t now = steadyMs();
        const int64_t last = m_iLastPictureMs.load();
        // Before the first picture the camera has its start-up time; after
        // it, time the intake was held by the pipeline is not silence.
        const int64_t left = last == 0 ? streamStartMs + kFirstPictureMs - now
                                       : std::max(last, intakeHeldUntilMs()) + kFailureWatchMs - now;
        if (left <= 0) {
            reportDeviceFailure(last == 0 ? "no first picture from the camera" : "no picture from the camera");
            return;
        }
        if (m_pStopEvent->wait(int(std::min<int64_t>(left, kFailureWatchMs))))
            return;
    }
}

void KxModuleCamera::pictureArrived()
{
    m_iLastPictureMs = steadyMs();
}

int KxModuleCamera::stop()
{
    qInfo() << "KxModuleCamera::stop" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    stopThreads();
    // A stop wins over queued frames: whatever still waits for the display
    // or the encoder is left out of this recording (at most the four
    // buffers; the next start returns them to the free list).
    m_iLeftAtStop = m_encoderQueue.filledCount();
    if (m_bStarted && m_pCamData)
        qInfo() << "KxModuleCamera::stop" << "  samples:" << m_pCamData->receivedCount()
                << " frames:" << m_pCamData->convertedCount() << " rejected:" << m_pCamData->rejectedCount()
                << " left unencoded at stop:" << m_iLeftAtStop.load() << " last encoded:" << m_iEncoded.load();
    // Every thread that used them is joined: the pictures' memory waits
    // for the next recording only as far as the intake sizes it again.
    for (const auto &frame : m_frames)
        frame->m_pixels.release();
    if (m_pCamData)
        m_pCamData->releaseBuffers();
    m_bStarted = false;
    return ErrorCode::OK;
}

int KxModuleCamera::destory()
{
    qInfo() << "KxModuleCamera::destory" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    stop();
    m_bInited = false;
    // Frame buffers, queues and the stop event go with the module; every
    // thread that used them has been joined by stop().
    delete this;
    return ErrorCode::OK;
}

int KxModuleCamera::config(int key, int value)
{
    qInfo() << "KxModuleCamera::config" << "  enter" << key << value;
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    if (key == 1)
        m_pEncoder->updateParams(value, -1);
    return ErrorCode::OK;
}

int KxModuleCamera::setPoolModule(IKxModulePoolMgr *pool)
{
    qInfo() << "KxModuleCamera::setPoolModule" << "  enter";
    if (m_bStarted)
        return ErrorCode::OPERATION_NOT_ALLOW;
    m_pPool = pool;
    return ErrorCode::OK;
}

IKxModulePoolMgr *KxModuleCamera::getPoolModule()
{
    return m_pPool.load();
}

int KxModuleCamera::registerCallback(ICallBack *callback)
{
    qInfo() << "KxModuleCamera::registerCallback" << "  enter";
    if (m_bStarted)
        return ErrorCode::OPERATION_NOT_ALLOW;
    m_pCallback = callback;
    return ErrorCode::OK;
}

int KxModuleCamera::setCameraScreen(int32_t window, QColor background)
{
    qInfo() << "KxModuleCamera::setCameraScreen" << "  enter" << window << background;
    if (m_bStarted)
        return ErrorCode::OPERATION_NOT_ALLOW;
    m_iWindow = uint32_t(window);
    m_iBackground = uint32_t(background.red()) | (uint32_t(background.green()) << 8) |
                    (uint32_t(background.blue()) << 16);
    return ErrorCode::OK;
}

int KxModuleCamera::setCameraName(const wchar_t *name)
{
    qInfo() << "KxModuleCamera::setCameraName" << "  enter" << QString::fromWCharArray(name ? name : L"");
    std::lock_guard<std::mutex> guard(m_boothMutex);
    m_cameraName = name ? name : L"";
    return ErrorCode::OK;
}

bool KxModuleCamera::isCameraExist(const wchar_t *name)
{
    std::wstring pattern = name ? name : L"";
    if (pattern.empty()) {
        std::lock_guard<std::mutex> guard(m_boothMutex);
        pattern = m_cameraName.empty() ? m_defaultCameraName : m_cameraName;
    }
    const int ret = KxBooth::getCamMoniker(pattern.c_str(), nullptr, nullptr);
    qInfo() << "KxModuleCamera::isCameraExist" << QString::fromStdWString(pattern) << ret;
    return ret > 0;
}

int KxModuleCamera::preStart()
{
    qInfo() << "KxModuleCamera::preStart" << "  enter";
    std::lock_guard<std::mutex> guard(m_boothMutex);
    if (!m_pBooth)
        return ErrorCode::NOT_INITED;
    if (m_cameraName.empty())
        m_cameraName = m_defaultCameraName;
    if (m_bOpened)
        return ErrorCode::ALREADY;
    const int ret = m_pBooth->open(m_cameraName.c_str());
    if (ret < 0) {
        qWarning() << "Cam booth-open return: " << ret;
        return ErrorCode::DEVICE_FAILURE;
    }
    m_bOpened = true;
    return ret;
}

int KxModuleCamera::clipImage()
{
    qInfo() << "KxModuleCamera::clipImage" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    if (!m_bStarted)
        return ErrorCode::OPERATION_NOT_ALLOW;
    ++m_iSnapshots;
    return ErrorCode::OK;
}

bool KxModuleCamera::takeSnapshotRequest()
{
    int pending = m_iSnapshots.load();
    while (pending > 0) {
        if (m_iSnapshots.compare_exchange_weak(pending, pending - 1))
            return true;
    }
    return false;
}

void KxModuleCamera::reportCaptured(int count)
{
    m_iCaptured = count;
    if (ICallBack *cb = m_pCallback.load())
        cb->statistics(count, m_iEncoded.load());
}

void KxModuleCamera::reportEncoded(int index)
{
    m_iEncoded = index;
    if (ICallBack *cb = m_pCallback.load())
        cb->statistics(m_iCaptured.load(), index);
}

void KxModuleCamera::reportError(int code, const char *text)
{
    qWarning() << "KxModuleCamera::reportError" << code << text;
    if (ICallBack *cb = m_pCallback.load())
        cb->error(code, text);
}

void KxModuleCamera::reportDeviceFailure(const char *why)
{
    if (!m_bWatching.load() || m_bFailureReported.exchange(true))
        return;
    qWarning() << "KxModuleCamera::reportDeviceFailure" << why;
    reportError(ErrorCode::DEVICE_FAILURE, "Camera Device failure");
}

int64_t KxModuleCamera::steadyMs()
{
    return kxcam::monotonicUs() / 1000;
}

void KxModuleCamera::intakeWaitBegins()
{
    m_iIntakeHeldUntilMs = std::numeric_limits<int64_t>::max(); // held until further notice
}

void KxModuleCamera::intakeWaitEnds()
{
    m_iIntakeHeldUntilMs = steadyMs();
}

int64_t KxModuleCamera::intakeHeldUntilMs() const
{
    return std::min(m_iIntakeHeldUntilMs.load(), steadyMs());
}

void KxModuleCamera::reportEncoderStopped()
{
    if (ICallBack *cb = m_pCallback.load())
        cb->stopped();
}
