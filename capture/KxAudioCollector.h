#pragma once
// The audio module: picks the microphone by its friendly name, drives
// libVoxtap, and turns every AAC access unit it delivers into one audio
// packet stamped against the recording clock, handed to the packet pool.
//
// Threads: the IKxModuleAudio operations run on the commander's thread;
// onAudioData runs on libVoxtap's capture thread and onDeviceState on its
// sound-server thread. The pool and clock are set before start and only
// read afterwards; libVoxtap guarantees that no delivery is in progress
// once its stop has returned.

#include "AudioCapImpl.h"

#include <IKxModuleAudio.h>

#include <atomic>
#include <cstdint>
#include <memory>

class IKxMediaTime;
class IKxModulePoolMgr;

namespace KxAudioModule {

class KxAudioCollector final : public IKxModuleAudio {
public:
    static constexpr int kCodecAac = 86018;

    KxAudioCollector();
    ~KxAudioCollector() override;

    /// -1 for a null, empty or malformed pattern; -2 when no capture
    /// endpoint's friendly name matches (or the listing failed); else the
    /// result of Voxtap_InitWithId on the first match in list order.
    int init(const char *pattern, const KxAudioParams *params = nullptr) override;
    /// Creates the receiver (replacing a previous one) and keeps the pool
    /// (not owned). 0, or -1 when the receiver cannot be created.
    int setPoolModule(IKxModulePoolMgr *pool) override;
    /// Keeps the callback (not owned); 0.
    int registerCallback(ICallBack *callback) override;
    /// Keeps the clock (not owned, may be null), registers the receiver and
    /// starts capture. libVoxtap's result (1 before init); on success the
    /// callback's started() and 0.
    int start(IKxMediaTime *clock) override;
    int pause() override;
    int resume() override;
    /// Stops capture (waiting for the capture thread), then the callback's
    /// stopped(); libVoxtap's result.
    int stop() override;
    /// Releases libVoxtap; its result. The object stays.
    int destory() override;

    /// One access unit from libVoxtap (capture thread).
    void onAudioData(const unsigned char *data, int length);
    /// A state change of the endpoint in use (sound-server thread).
    void onDeviceState(const char *deviceId, int state);

    /// Packets handed to the pool and units dropped (no free packet) since
    /// the last start.
    int64_t packetsDelivered() const { return m_iDelivered.load(); }
    int64_t packetsDropped() const { return m_iDropped.load(); }

private:
    std::unique_ptr<AudioCapImpl> m_pReceiver;
    IKxModulePoolMgr *m_pPool = nullptr;
    IKxMediaTime *m_pClock = nullptr;
    ICallBack *m_pCallback = nullptr;
    int m_iCodecId = kCodecAac;
    int m_iBitRate = 64000;
    int m_iChannels = 2;
    int m_iSampleRate = 44100;
    KxAudioStamper m_stamper;
    std::atomic<int64_t> m_iDelivered{0};
    std::atomic<int64_t> m_iDropped{0};
};

} // namespace KxAudioModule
