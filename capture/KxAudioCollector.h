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
#include <mutex>
#include <string>

class IKxMediaTime;
class IKxModulePoolMgr;

namespace KxAudioModule {

class KxAudioCollector final : public IKxModuleAudio {
public:
    static constexpr int kCodecAac = 86018;

    KxAudioCollector();
    ~KxAudioCollector() override;

    /// -1 for a null, empty or malformed pattern; -2 when no capture
    /// endpoint's friendly name matches (or the listing failed); else 0.
    /// Nothing is opened: prepare or start opens the first match in list
    /// order. A valid pattern is kept even when no microphone matched:
    /// start looks for it again.
    int init(const char *pattern, const KxAudioParams *params = nullptr) override;
    /// Creates the receiver (replacing a previous one) and keeps the pool
    /// (not owned). 0, or -1 when the receiver cannot be created.
    int setPoolModule(IKxModulePoolMgr *pool) override;
    /// Keeps the callback (not owned); 0.
    int registerCallback(ICallBack *callback) override;
    /// Keeps the clock (not owned, may be null), registers the receiver and
    /// starts capture. When the library engine is not initialised, its
    /// microphone was reported gone, or its capture does not start, the
    /// microphone is looked for again by the init pattern and the engine
    /// initialised again first. Returns 0 (and calls the callback's
    /// started()), -2 when no microphone matches now, or libVoxtap's result
    /// (1 before any init). A failed start leaves the module stopped; the
    /// next start tries again.
    int start(IKxMediaTime *clock) override;
    int pause() override;
    int resume() override;
    /// Stops capture (waiting for the capture thread), then the callback's
    /// stopped(), and closes the engine; libVoxtap's stop result.
    int stop() override;
    /// Opens the engine on the microphone the pattern finds (0), unless it
    /// is open already; -2 when none matches, or libVoxtap's result.
    int prepare() override;
    /// Closes an engine that is open but not capturing; 0.
    int release() override;
    /// Releases libVoxtap; its result. The object stays.
    int destory() override;

    /// One access unit from libVoxtap (capture thread).
    void onAudioData(const unsigned char *data, int length);
    /// A state change of the endpoint in use (sound-server thread).
    void onDeviceState(const char *deviceId, int state);

    /// Packets handed to the pool and units dropped (no free packet within
    /// kPacketWaitMs, the pool stopped, or sound that would overlap what
    /// was written) since the last start.
    int64_t packetsDelivered() const { return m_iDelivered.load(); }
    int64_t packetsDropped() const { return m_iDropped.load(); }

    /// Times the audio time line started again on the clock (a capture gap)
    /// since the last start. Read after stop.
    int64_t timelineRestarts() const { return m_stamper.reanchors(); }

    /// The clock's time (ms) at which the unit now delivered was captured:
    /// clockNowMs less the age of the engine's capture moment (steady-clock
    /// microseconds, nowUs now), or, when the engine gives none or one that
    /// cannot be right, less deliveryDelayMs.
    static double unitCaptureMs(double clockNowMs, int64_t nowUs, const VoxtapCaptureTiming &timing,
                                double deliveryDelayMs);
    /// Without a capture moment from the engine: encoder frames from the
    /// capture of a unit's first sound to its delivery (the priming frame,
    /// the frame the encoder holds back, and the frame being filled).
    static constexpr int kDeliveryFrames = 3;
    /// Capture moments older than this (the server keeps one second) or
    /// further in the future than the clocks' disagreement are not used.
    static constexpr int64_t kMaxUnitAgeUs = 3000000;
    static constexpr int64_t kMaxTimingErrorUs = 5000;

    /// Whether a capture endpoint matches the device pattern now (under any
    /// of the unit's names, as init looks it up); an invalid pattern
    /// matches nothing. Any thread; asks the sound server (bounded wait).
    static bool hasMicrophone(const char *pattern);

    /// init/start result when no capture endpoint matches the pattern.
    static constexpr int kNoMicrophone = -2;
    /// Longest wait of the capture thread for a free audio packet. The
    /// server keeps a second of sound meanwhile, while a unit dropped is
    /// sound lost and, for a player that plays the sound as one run, all
    /// later sound a frame early.
    static constexpr int kPacketWaitMs = 400;

private:
    int openMicrophone();
    int reopenMicrophone();

    std::unique_ptr<AudioCapImpl> m_pReceiver;
    IKxModulePoolMgr *m_pPool = nullptr;
    IKxMediaTime *m_pClock = nullptr;
    ICallBack *m_pCallback = nullptr;
    std::string m_pattern;
    // prepare may run on a worker while the main thread gives up waiting
    // for it and starts: opening and closing the engine take turns.
    std::mutex m_engineMutex;
    bool m_bEngineReady = false;
    bool m_bCapturing = false; ///< the last start got sound going
    // Set on the sound-server thread when the microphone in use goes away.
    std::atomic<bool> m_bMicrophoneLost{false};
    int m_iCodecId = kCodecAac;
    int m_iBitRate = 64000;
    int m_iChannels = 2;
    int m_iSampleRate = 44100;
    void takeCaptureLosses(const VoxtapCaptureTiming &timing);

    KxAudioStamper m_stamper;
    // Capture thread only, reset by start.
    int64_t m_iNextFreeStamp = 0;   // where the last unit written ends (samples)
    int64_t m_iOverflowsSeen = 0;
    int64_t m_iStallsSeen = 0;
    std::atomic<int64_t> m_iDelivered{0};
    std::atomic<int64_t> m_iDropped{0};
};

} // namespace KxAudioModule
