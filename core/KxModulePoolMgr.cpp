#include "KxModulePoolMgr.h"

#include "IKxMediaPacket.h"
#include "IKxModuleLocalFile.h"
#include "IKxModulePhoto.h"
#include "KxMediaPacket.h"
#include "KxMerioErrors.h"

#include <QDebug>

#include <cstring>

IKxModulePoolMgr *IKxModulePoolMgr::createInstance()
{
    return new KxModulePoolMgr();
}

KxModulePoolMgr::KxModulePoolMgr() = default;

KxModulePoolMgr::~KxModulePoolMgr()
{
    if (m_outputThread.joinable() || m_photoThread.joinable()) {
        // Deleted while running: end the threads before the queues go.
        if (m_pStopEvent)
            m_pStopEvent->set();
        if (m_outputThread.joinable())
            m_outputThread.join();
        if (m_photoThread.joinable())
            m_photoThread.join();
    }
}

void KxModulePoolMgr::createPackets(KxHandoffQueue<IKxMediaPacket> &queue, int count, int type)
{
    for (int i = 0; i < count; ++i) {
        IKxMediaPacket *packet = createMediaPacket();
        packet->setType(type);
        queue.putFree(packet);
    }
}

void KxModulePoolMgr::preparePayloads()
{
    const struct {
        KxHandoffQueue<IKxMediaPacket> *queue;
        int payload;
    } kinds[] = {{&m_audioQueue, kAudioPayload}, {&m_videoQueue, kVideoPayload}, {&m_photoQueue, kPhotoPayload}};
    for (const auto &kind : kinds) {
        kind.queue->forEachFree([&kind](IKxMediaPacket *packet) {
            if (packet->alloc(kind.payload) < 0) {
                // The producer's own alloc tries again with the size it needs.
                qWarning() << "KxModulePoolMgr::start" << "payload allocation failed, type" << packet->getType();
                return;
            }
            // Touch every page now: a large block is mapped lazily, and the
            // recording would otherwise grow the resident memory as bigger
            // packets (key frames, snapshots) first arrive.
            std::memset(packet->getData(), 0, size_t(kind.payload));
        });
    }
}

void KxModulePoolMgr::releasePayloads()
{
    // Every packet the pool created is a KxMediaPacket (createMediaPacket).
    // Only packets on the free lists are touched: a packet some thread still
    // holds keeps its payload until a later stop finds it back.
    for (auto *queue : {&m_audioQueue, &m_videoQueue, &m_photoQueue})
        queue->forEachFree([](IKxMediaPacket *packet) { static_cast<KxMediaPacket *>(packet)->releasePayload(); });
}

int KxModulePoolMgr::init()
{
    qDebug() << "KxModulePoolMgr::init" << "  enter.";
    std::lock_guard<std::mutex> guard(m_stateMutex);
    if (m_bInited)
        return KxMerioErrors::ALREADY;

    m_pStopEvent.reset(new (std::nothrow) kxsync::Event(true, false));
    if (!m_pStopEvent)
        return KxMerioErrors::INVALID_PARAMETER;

    m_audioQueue.init(kAudioPackets, m_pStopEvent.get());
    m_videoQueue.init(kVideoPackets, m_pStopEvent.get());
    m_photoQueue.init(kPhotoPackets, m_pStopEvent.get());
    m_outputQueue.init(kOutputCapacity, m_pStopEvent.get());

    createPackets(m_audioQueue, kAudioPackets, KX_PACKET_AUDIO);
    createPackets(m_videoQueue, kVideoPackets, KX_PACKET_VIDEO);
    createPackets(m_photoQueue, kPhotoPackets, KX_PACKET_PHOTO);

    m_bInited = true;
    return KxMerioErrors::OK;
}

int KxModulePoolMgr::start()
{
    qDebug() << "KxModulePoolMgr::start" << "  enter.";
    std::lock_guard<std::mutex> guard(m_stateMutex);
    if (!m_bInited)
        return KxMerioErrors::NOT_INITED;
    if (m_bStarted) {
        qWarning() << "KxModulePoolMgr::start" << "  already started, nothing started";
        return KxMerioErrors::ALREADY;
    }

    // Anything pushed since the last stop belongs to the recording that
    // stopped; it must not open the next one.
    if (m_bStoppedOnce)
        returnQueuedPackets();

    preparePayloads();
    m_pStopEvent->reset();
    m_outputThread = std::thread(&KxModulePoolMgr::ThrdOutputAV, this);
    m_photoThread = std::thread(&KxModulePoolMgr::ThrdOutputPhoto, this);
    m_bStarted = true;
    return KxMerioErrors::OK;
}

int KxModulePoolMgr::stop()
{
    std::lock_guard<std::mutex> guard(m_stateMutex);
    return stopLocked();
}

int KxModulePoolMgr::stopAfterDrain(int timeoutMs)
{
    qDebug() << "KxModulePoolMgr::stopAfterDrain" << "  enter, timeout" << timeoutMs;
    std::lock_guard<std::mutex> guard(m_stateMutex);
    if (!m_bInited || !m_bStarted)
        return stopLocked();
    const auto drained = [this] {
        return m_iDoneAV.load() == m_iPushedAV.load() && m_iDonePhoto.load() == m_iPushedPhoto.load();
    };
    bool complete;
    {
        std::unique_lock<std::mutex> lock(m_drainMutex);
        complete = m_drainCv.wait_for(lock, std::chrono::milliseconds(qMax(0, timeoutMs)), drained);
    }
    if (!complete)
        qWarning() << "KxModulePoolMgr::stopAfterDrain" << "  time ran out with"
                   << (m_iPushedAV.load() - m_iDoneAV.load()) << "audio/video and"
                   << (m_iPushedPhoto.load() - m_iDonePhoto.load()) << "photo packets undelivered";
    stopLocked();
    return complete ? KxMerioErrors::OK : KxMerioErrors::OPERATION_FAILURE;
}

void KxModulePoolMgr::deliveryDone(std::atomic<int64_t> &done)
{
    {
        std::lock_guard<std::mutex> lock(m_drainMutex);
        done.fetch_add(1);
    }
    m_drainCv.notify_all();
}

int KxModulePoolMgr::stopLocked()
{
    if (!m_bInited || !m_bStarted) {
        qWarning() << "KxModulePoolMgr::stop" << "  not started";
        return KxMerioErrors::NOT_INITED;
    }
    m_pStopEvent->set();
    qDebug() << "KxModulePoolMgr::stop" << "  wait for threads exiting.";
    m_outputThread.join();
    m_photoThread.join();
    returnQueuedPackets();
    releasePayloads();
    m_bStarted = false;
    m_bStoppedOnce = true;
    qDebug() << "KxModulePoolMgr::stop" << "  return OK";
    return KxMerioErrors::OK;
}

void KxModulePoolMgr::returnQueuedPackets()
{
    int dropped = 0;
    for (IKxMediaPacket *packet : m_outputQueue.drainFilled()) {
        m_iDoneAV.fetch_add(1);
        packet->reset();
        if (packet->getType() == KX_PACKET_AUDIO)
            m_audioQueue.putFree(packet);
        else
            m_videoQueue.putFree(packet);
        ++dropped;
    }
    for (IKxMediaPacket *packet : m_photoQueue.drainFilled()) {
        m_iDonePhoto.fetch_add(1);
        packet->reset();
        m_photoQueue.putFree(packet);
        ++dropped;
    }
    if (dropped > 0) {
        m_iDiscarded += dropped;
        qDebug() << "KxModulePoolMgr::stop" << "  packets not delivered before stop:" << dropped;
    }
}

int KxModulePoolMgr::destory()
{
    {
        std::lock_guard<std::mutex> guard(m_stateMutex);
        if (!m_bInited) {
            qWarning() << "KxModulePoolMgr::destory" << "  not initialised";
            return KxMerioErrors::NOT_INITED;
        }
        if (m_bStarted) {
            qWarning() << "KxModulePoolMgr::destory" << "  still running, stopping first";
            stopLocked();
        }
        // Set the stop event for good: a late borrower gets null at once.
        m_pStopEvent->set();
        for (auto *queue : {&m_audioQueue, &m_videoQueue, &m_photoQueue})
            for (IKxMediaPacket *packet : queue->registeredItems())
                packet->release();
        m_bInited = false;
    }
    qDebug() << "KxModulePoolMgr::destory" << "  return OK";
    delete this;
    return KxMerioErrors::OK;
}

int KxModulePoolMgr::config(int, int)
{
    return -1;
}

int KxModulePoolMgr::registerCallback(ICallBack *)
{
    return -1;
}

int KxModulePoolMgr::setPhotoModule(IKxModulePhoto *photo)
{
    qDebug() << "KxModulePoolMgr::setPhotoModule" << "enter ...";
    m_pPhotoModule = photo;
    return KxMerioErrors::OK;
}

int KxModulePoolMgr::setLocalFileModule(IKxModuleLocalFile *localFile)
{
    qDebug() << "KxModulePoolMgr::setLocalFileModule" << "enter ...";
    m_pLocalFileModule = localFile;
    return KxMerioErrors::OK;
}

IKxMediaPacket *KxModulePoolMgr::borrow(KxHandoffQueue<IKxMediaPacket> &queue, int timeoutMs)
{
    if (!m_bInited)
        return nullptr;
    return queue.takeFree(timeoutMs);
}

IKxMediaPacket *KxModulePoolMgr::getAudioPacket(int timeoutMs)
{
    return borrow(m_audioQueue, timeoutMs);
}

IKxMediaPacket *KxModulePoolMgr::getVideoPacket(int timeoutMs)
{
    return borrow(m_videoQueue, timeoutMs);
}

IKxMediaPacket *KxModulePoolMgr::getPhotoPacket(int timeoutMs)
{
    return borrow(m_photoQueue, timeoutMs);
}

int KxModulePoolMgr::pushOutput(IKxMediaPacket *packet, int expectedType, const char *op)
{
    if (!m_bInited) {
        qWarning() << op << "  not initialised";
        return -1;
    }
    if (!packet) {
        qWarning() << op << "  null packet";
        return KxMerioErrors::INVALID_POINTER;
    }
    if (packet->getType() != expectedType) {
        qWarning() << op << "  packet of type" << packet->getType() << "refused";
        return KxMerioErrors::INVALID_PARAMETER;
    }
    const bool photo = expectedType == KX_PACKET_PHOTO;
    KxHandoffQueue<IKxMediaPacket> &queue = photo ? m_photoQueue : m_outputQueue;
    // Counted before the put so that a drain never sees the packet queued
    // but not yet counted.
    std::atomic<int64_t> &pushed = photo ? m_iPushedPhoto : m_iPushedAV;
    pushed.fetch_add(1);
    if (!queue.putFilled(packet)) {
        pushed.fetch_sub(1);
        qWarning() << op << "  queue refused the packet";
        return KxMerioErrors::INVALID_PARAMETER;
    }
    return 0;
}

int KxModulePoolMgr::pushAudioPacket(IKxMediaPacket *packet)
{
    return pushOutput(packet, KX_PACKET_AUDIO, "KxModulePoolMgr::pushAudioPacket");
}

int KxModulePoolMgr::pushVideoPacket(IKxMediaPacket *packet)
{
    return pushOutput(packet, KX_PACKET_VIDEO, "KxModulePoolMgr::pushVideoPacket");
}

int KxModulePoolMgr::pushPhotoPacket(IKxMediaPacket *packet)
{
    return pushOutput(packet, KX_PACKET_PHOTO, "KxModulePoolMgr::pushPhotoPacket");
}

void KxModulePoolMgr::ThrdOutputAV()
{
    kxsync::setCurrentThreadName("kx-pool-av");
    for (;;) {
        IKxMediaPacket *packet = m_outputQueue.takeFilled(kxsync::Infinite);
        if (!packet)
            break;
        const int type = packet->getType();
        if (IKxModuleLocalFile *localFile = m_pLocalFileModule.load())
            localFile->inputMediaPacket(packet);
        packet->reset();
        if (type == KX_PACKET_AUDIO)
            m_audioQueue.putFree(packet);
        else
            m_videoQueue.putFree(packet);
        deliveryDone(m_iDoneAV);
    }
    qDebug() << "Pool-mgr-OutputAV thread exit ";
}

void KxModulePoolMgr::ThrdOutputPhoto()
{
    kxsync::setCurrentThreadName("kx-pool-photo");
    for (;;) {
        IKxMediaPacket *packet = m_photoQueue.takeFilled(kxsync::Infinite);
        if (!packet)
            break;
        IKxModulePhoto *photo = m_pPhotoModule.load();
        if (packet->getType() == KX_PACKET_PHOTO && photo) {
            qDebug() << "KxModulePoolMgr::ThrdOutputPhoto" << " photo: " << packet->getSize();
            photo->saveMediaPacket(packet);
        }
        packet->reset();
        m_photoQueue.putFree(packet);
        deliveryDone(m_iDonePhoto);
    }
    qDebug() << "Pool-mgr-Photo thread exit ";
}
