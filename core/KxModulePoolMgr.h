#pragma once
// The packet pool manager. It owns every media packet of the program: a
// fixed set created at init (their payloads made ready at start and given
// back at stop, so that the idle program holds none), lent to the producers (audio module, video
// encoder, frame intake for snapshots) and returned after the consumers are
// done. Two threads feed the consumers: "kx-pool-av" hands audio and video
// packets, in push order, to the local file module; "kx-pool-photo" hands
// photo packets to the photo module. Both consumer calls run on those
// threads.
//
// Threads: init, start, stop, destory and the set-module calls run on the
// commander's thread; borrows and pushes may come from any thread.

#include "IKxModulePoolMgr.h"
#include "KxHandoffQueue.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class IKxMediaPacket;

class KxModulePoolMgr final : public IKxModulePoolMgr {
public:
    static constexpr int kAudioPackets = 4;
    static constexpr int kVideoPackets = 4;
    static constexpr int kPhotoPackets = 4;
    static constexpr int kOutputCapacity = kAudioPackets + kVideoPackets;
    static constexpr int kAudioPayload = 10240;
    static constexpr int kVideoPayload = 0x80000;
    static constexpr int kPhotoPayload = 0x80000;

    KxModulePoolMgr();

    int init() override;
    int start() override;
    int stop() override;
    int stopAfterDrain(int timeoutMs) override;
    int destory() override;
    int config(int key, int value) override;
    int setPhotoModule(IKxModulePhoto *photo) override;
    int setLocalFileModule(IKxModuleLocalFile *localFile) override;
    int registerCallback(ICallBack *callback) override;
    IKxMediaPacket *getAudioPacket(int timeoutMs) override;
    IKxMediaPacket *getVideoPacket(int timeoutMs) override;
    IKxMediaPacket *getPhotoPacket(int timeoutMs) override;
    int pushAudioPacket(IKxMediaPacket *packet) override;
    int pushVideoPacket(IKxMediaPacket *packet) override;
    int pushPhotoPacket(IKxMediaPacket *packet) override;

    /// Packets kept out of a recording because they were still queued when
    /// it stopped (for diagnostics and tests).
    int discardedAtStop() const { return m_iDiscarded.load(); }

    /// Public so that an owner can delete a manager that was never
    /// initialised; an initialised one is deleted by destory().
    ~KxModulePoolMgr() override;

private:
    void ThrdOutputAV();
    void ThrdOutputPhoto();
    int stopLocked();
    void returnQueuedPackets();
    void createPackets(KxHandoffQueue<IKxMediaPacket> &queue, int count, int type);
    void preparePayloads();
    void releasePayloads();
    IKxMediaPacket *borrow(KxHandoffQueue<IKxMediaPacket> &queue, int timeoutMs);
    int pushOutput(IKxMediaPacket *packet, int expectedType, const char *op);

    // Serialises init/start/stop/destory; borrows and pushes do not take it.
    std::mutex m_stateMutex;
    std::atomic<bool> m_bInited{false};
    bool m_bStarted = false;
    bool m_bStoppedOnce = false;
    std::unique_ptr<kxsync::Event> m_pStopEvent;
    KxHandoffQueue<IKxMediaPacket> m_audioQueue;
    KxHandoffQueue<IKxMediaPacket> m_videoQueue;
    KxHandoffQueue<IKxMediaPacket> m_photoQueue;
    KxHandoffQueue<IKxMediaPacket> m_outputQueue;
    std::atomic<IKxModulePhoto *> m_pPhotoModule{nullptr};
    std::atomic<IKxModuleLocalFile *> m_pLocalFileModule{nullptr};
    std::thread m_outputThread;
    std::thread m_photoThread;
    std::atomic<int> m_iDiscarded{0};
    // Pushes accepted and deliveries finished, per output thread: equal when
    // nothing is queued or in the consumer's hands.
    std::atomic<int64_t> m_iPushedAV{0}, m_iDoneAV{0};
    std::atomic<int64_t> m_iPushedPhoto{0}, m_iDonePhoto{0};
    std::mutex m_drainMutex;
    std::condition_variable m_drainCv;
    void deliveryDone(std::atomic<int64_t> &done);
};
