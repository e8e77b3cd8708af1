#pragma once
// The one capture engine behind libVoxtap's exports. It records one
// PulseAudio source (or a sink's monitor, for loopback capture of a render
// endpoint) on its own capture thread "kx-voxtap", converts and encodes
// each block with AacPacker, and hands every AAC access unit to the
// receiver. It follows the endpoint's presence, port availability, volume
// and mute through the server's subscription.
//
// Threads: the operations are called under the library mutex. The capture
// thread runs the started and stopped handlers and onAudioData; the main
// loop thread ("kx-voxtap-pa") runs onDeviceState.

#include "Voxtap.h"
#include "VoxtapAacPacker.h"
#include "VoxtapPulse.h"

#include <sync/KxSync.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace voxtap {

class VoxtapCoreAudioApi : private AccessUnitSink {
public:
    VoxtapCoreAudioApi();
    ~VoxtapCoreAudioApi() override;
    VoxtapCoreAudioApi(const VoxtapCoreAudioApi &) = delete;
    VoxtapCoreAudioApi &operator=(const VoxtapCoreAudioApi &) = delete;

    /// 1 for a null id, 0 when already initialised, else 0 or a
    /// VoxtapResult code; a failure leaves the engine uninitialised.
    int initWithId(const char *endpointId, const VoxtapAudioParams *params);
    /// The default source (useCapture non-zero) or the default sink's monitor.
    int initDefault(int useCapture, const VoxtapAudioParams *params);
    /// 1 not initialised, 3 thread present, 2 thread creation failed,
    /// 0x1000007 the stream did not start (the thread stays until stop).
    int start();
    /// Ends and joins the capture thread, which first delivers what the
    /// server still holds and drains the encoder; then corks and flushes
    /// the stream and reopens the encoder so that the next start begins a
    /// new sound. Clears pause. 0.
    int stop();
    /// Stops and releases everything; 0 or 0x1000011.
    int uninit();
    void setPause(bool pause) { m_bPaused.store(pause); }
    /// Once this returns no onDeviceState or onAudioData call with the
    /// previous receiver is in progress.
    void setReceiver(VoxtapNotify *receiver);

    bool isInitialised() const { return m_conn.isOpen() && m_pStream != nullptr; }
    bool isCapturing() const { return m_captureThread.joinable(); }
    const std::string &endpointId() const { return m_endpoint.name; }
    int dataFlow() const { return m_endpoint.flow; }
    const MixFormat &mixFormat() const { return m_mix; }
    float masterVolume() const { return m_fVolume.load(); }
    bool isMuted() const { return m_bMuted.load(); }
    /// Timing of the access unit being delivered (VoxtapCaptureTiming).
    /// Capture thread only, during onAudioData. An engine on another system
    /// fills it the same way: the capture moment of the first sample of the
    /// run (from the system's stamp of a captured packet, or the server's
    /// latency at a read, less the frames read before), plus the unit's
    /// presentation time in encoder samples (AacPacker::unitPts), which
    /// carries the encoder's priming; and its counts of overruns and of
    /// reads that found sound older than kStallUs.
    VoxtapCaptureTiming captureTiming() const;
    /// Sound older than this at a read means the capture was held up.
    static constexpr int64_t kStallUs = 100000;
    /// The run's start moving on by more than this between reads means the
    /// server lost sound (an overrun); less is the latency reports' noise.
    static constexpr int64_t kLostUs = 40000;
    /// The code at which the capture thread last ended on a failure, or 0.
    int lastCaptureError() const { return m_iLastCaptureError.load(); }
    int encoderSampleRate() const { return m_packer.encoderSampleRate(); }
    std::vector<uint8_t> encoderExtradata() const { return m_packer.extradata(); }

    /// A change of the endpoint in use (volume, mute, port), on the main
    /// loop thread.
    void handleEndpointChange(const EndpointInfo &info);

    /// Implements Voxtap_ListDevices.
    static int listDevices(std::list<VoxtapDeviceInfo> *devices, int flow);

private:
    int initOn(const std::string &name, bool byDefault, bool defaultCapture,
               const VoxtapAudioParams *params);
    int openStream();
    void closeStream();
    void releaseAll();

    void captureThreadMain();
    int readAvailable(size_t *pending);
    // Packs whole frames of the pending bytes, keeping a partial frame.
    void packPending(size_t *pending);
    // The end of a run on the capture thread: last read, pack, drain.
    int finishRun(size_t *pending);
    void onStarted();
    void onStopped();
    void onData(const uint8_t *data, int frames);
    void accessUnit(const uint8_t *data, int length) override;
    void notifyState(int state);
    void onContextFailed();
    void updateFromEndpoint(const EndpointInfo &info);

    static void subscribeCb(pa_context *c, pa_subscription_event_type_t t, uint32_t index, void *userdata);
    static void streamStateCb(pa_stream *s, void *userdata);
    static void streamReadCb(pa_stream *s, size_t bytes, void *userdata);
    static void streamOverflowCb(pa_stream *s, void *userdata);
    // Takes the server's latency before a read: where the run's first
    // sample lies on the steady clock, and whether the capture was held up.
    void measureLatency(pa_stream *s);

    PulseConnection m_conn;
    EndpointInfo m_endpoint;
    MixFormat m_mix;
    pa_stream *m_pStream = nullptr;
    AacPacker m_packer;

    std::thread m_captureThread;
    kxsync::Event m_dataEvent{false};
    // Readable bytes that wake the capture thread: a source may hand over
    // its sound in blocks of a millisecond or two, and waking for each
    // would cost more than the encoding. Set before the stream connects.
    size_t m_iWakeBytes = 1;
    kxsync::Event m_stopEvent{false};
    std::vector<uint8_t> m_captureBuffer;

    std::atomic<bool> m_bPaused{false};
    std::atomic<int> m_iLastCaptureError{0};
    std::atomic<VoxtapNotify *> m_pReceiver{nullptr};
    std::mutex m_deliveryMutex; // held while onAudioData runs
    std::atomic<float> m_fVolume{1.0f};
    std::atomic<bool> m_bMuted{false};
    // Main loop thread only (or under the main loop lock).
    bool m_bGoneNotified = false;
    bool m_bUnpluggedNotified = false;
    bool m_bClosing = false;
    std::atomic<int64_t> m_iOverflows{0}; // main loop thread counts, capture thread reads
    // Capture thread only.
    bool m_bMutedEndpoint = false;
    int64_t m_iRunFrames = 0;      // frames read since start
    int64_t m_iRunStartUs = 0;     // steady-clock capture moment of the run's first frame, 0 unknown
    int64_t m_iLatencyUs = -1;
    int64_t m_iStalls = 0;
    bool m_bStalled = false;
    int64_t m_iOverflowsLogged = 0;
};

} // namespace voxtap
