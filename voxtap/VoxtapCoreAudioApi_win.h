#pragma once
// The capture engine behind libVoxtap's exports on Windows: one audio
// endpoint found through MMDevice, captured in shared mode through
// IAudioClient/IAudioCaptureClient on the capture thread "kx-voxtap" (woken
// by the client's event), encoded with AacPacker and handed to the
// receiver access unit by access unit. A render endpoint is captured in
// loopback. Endpoint removal arrives through IMMNotificationClient, and a
// client that reports the device invalidated ends the capture the same way.
//
// Threads: the operations are called under the library mutex. Each thread
// that touches COM initialises it for itself (multi-threaded apartment).
// The capture thread runs onAudioData and, when reading fails because the
// endpoint is gone, onDeviceState; the system's notification thread runs
// onDeviceState otherwise.

#include "Voxtap.h"
#include "VoxtapAacPacker.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace voxtap {

class VoxtapCoreAudioApiPrivate;

class VoxtapCoreAudioApi : private AccessUnitSink {
public:
    VoxtapCoreAudioApi();
    ~VoxtapCoreAudioApi() override;
    VoxtapCoreAudioApi(const VoxtapCoreAudioApi &) = delete;
    VoxtapCoreAudioApi &operator=(const VoxtapCoreAudioApi &) = delete;

    /// 1 for a null id, 0 when already initialised, else 0 or a
    /// VoxtapResult code; a failure leaves the engine uninitialised.
    int initWithId(const char *endpointId, const VoxtapAudioParams *params);
    /// The default capture endpoint (useCapture non-zero) or the default
    /// render endpoint in loopback.
    int initDefault(int useCapture, const VoxtapAudioParams *params);
    /// 1 not initialised, 3 running, 2 no thread, 0x1000007 the client did
    /// not start.
    int start();
    /// Ends and joins the capture thread, which first delivers what the
    /// client still holds and drains the encoder; then stops and resets the
    /// client and reopens the encoder so that the next start begins a new
    /// sound. Clears pause. 0.
    int stop();
    /// Stops and releases everything. 0.
    int uninit();
    void setPause(bool pause) { m_bPaused.store(pause); }
    /// Once this returns no onDeviceState or onAudioData call with the
    /// previous receiver is in progress.
    void setReceiver(VoxtapNotify *receiver);

    bool isInitialised() const;
    /// The code at which the capture thread last ended on a failure, or 0.
    int lastCaptureError() const { return m_iLastCaptureError.load(); }
    /// Timing of the access unit being delivered (VoxtapCaptureTiming), from
    /// the capture client's stamp of each packet. Capture thread only,
    /// during onAudioData.
    VoxtapCaptureTiming captureTiming() const;

    /// Implements Voxtap_ListDevices.
    static int listDevices(std::list<VoxtapDeviceInfo> *devices, int flow);

    /// From the notification client: an endpoint changed state or vanished.
    void endpointStateChanged(const std::string &endpointId, int state);

private:
    int initOn(const std::string &id, bool byDefault, bool defaultCapture, const VoxtapAudioParams *params);
    void releaseAll();
    void captureThreadMain();
    int readAvailable(size_t *pending);
    void packPending(size_t *pending);
    int checkStalled(bool gotData, unsigned long long *lastDataMs);
    void accessUnit(const uint8_t *data, int length) override;
    void notifyState(int state);

    std::unique_ptr<VoxtapCoreAudioApiPrivate> d;
    AacPacker m_packer;
    MixFormat m_mix;
    std::string m_endpointId;
    int m_iFlow = VOXTAP_FLOW_CAPTURE;
    std::thread m_captureThread;
    std::vector<uint8_t> m_captureBuffer;
    uint64_t m_iFramesRead = 0; // capture thread
    // Capture thread only: frames read since start, and the steady-clock
    // moment the first of them was captured (0 unknown).
    int64_t m_iRunFrames = 0;
    int64_t m_iRunStartUs = 0;
    std::atomic<int64_t> m_iOverflows{0};

    std::atomic<bool> m_bPaused{false};
    std::atomic<int> m_iLastCaptureError{0};
    std::atomic<bool> m_bGoneNotified{false};
    std::mutex m_receiverMutex; // held while the receiver is called
    VoxtapNotify *m_pReceiver = nullptr;
};

} // namespace voxtap
