#pragma once
// A connection to the PulseAudio server on a threaded main loop, with
// bounded waits, and the endpoint queries the engine and the device list
// need. PulseAudio calls the callbacks on the main loop's own thread
// ("kx-voxtap-pa") with the main loop lock held.

#include "Voxtap.h"

#include <pulse/pulseaudio.h>

#include <functional>
#include <list>
#include <string>

namespace voxtap {

/// Bound of every wait for the server.
constexpr int kServerTimeoutMs = 3000;

/// What the engine needs to know about one endpoint.
struct EndpointInfo {
    std::string name;          ///< the endpoint id: source or sink name
    int flow = VOXTAP_FLOW_CAPTURE;
    uint32_t index = PA_INVALID_INDEX;  ///< source index (capture) or sink index (render)
    std::string captureSource; ///< the source that is recorded: itself or the sink's monitor
    pa_sample_spec spec{};
    pa_channel_map channelMap{};
    float volume = 1.0f;
    bool muted = false;
    bool hardwareMute = false; ///< the sink mutes in hardware (its monitor stays audible)
    bool unplugged = false;    ///< the active port is reported unavailable
    bool isMonitor = false;    ///< a sink's monitor source (never an endpoint of its own)
};

class PulseConnection {
public:
    PulseConnection() = default;
    ~PulseConnection();
    PulseConnection(const PulseConnection &) = delete;
    PulseConnection &operator=(const PulseConnection &) = delete;

    /// Starts the main loop and connects (never spawning a server).
    /// 0, or VOXTAP_E_ENUMERATOR when no server answers in time.
    int open(const char *clientName);
    /// Disconnects and stops the main loop. Call without the lock.
    void close();
    bool isOpen() const { return m_pMainloop != nullptr; }
    /// Called on the main loop thread when the context leaves the ready
    /// state after open() succeeded. Set before open().
    void setFailureListener(std::function<void()> listener) { m_failureListener = std::move(listener); }

    pa_threaded_mainloop *mainloop() const { return m_pMainloop; }
    pa_context *context() const { return m_pContext; }
    bool isReady() const;

    void lock() { pa_threaded_mainloop_lock(m_pMainloop); }
    void unlock() { pa_threaded_mainloop_unlock(m_pMainloop); }
    void signal() { pa_threaded_mainloop_signal(m_pMainloop, 0); }

    // The calls below need the lock held exactly once and must not run on
    // the main loop thread.

    /// Waits until done() holds or timeoutMs passes; returns done().
    bool waitFor(const std::function<bool()> &done, int timeoutMs = kServerTimeoutMs);
    /// Waits for op to finish (bounded), then unrefs it. False for a null
    /// op or a time-out.
    bool runOperation(pa_operation *op, int timeoutMs = kServerTimeoutMs);
    /// Runs an operation whose callback is a pa_context_success_cb_t:
    /// make(cb, userdata) starts it. True when the server reported success.
    bool runSuccessOperation(const std::function<pa_operation *(pa_context_success_cb_t, void *)> &make);
    /// The same for operations on a stream (pa_stream_success_cb_t).
    bool runStreamOperation(const std::function<pa_operation *(pa_stream_success_cb_t, void *)> &make);

    /// Looks an endpoint up by source or sink name. False when unknown.
    bool findEndpoint(const std::string &name, EndpointInfo *out);
    /// Looks an endpoint up by source or sink index.
    bool findEndpointByIndex(int flow, uint32_t index, EndpointInfo *out);
    /// The default source (capture) or sink (render) name; empty if none.
    std::string defaultEndpoint(bool capture);
    /// Appends the present endpoints of the flow. 0 or a failure code.
    int listEndpoints(int flow, std::list<VoxtapDeviceInfo> *out);

private:
    static void contextStateCb(pa_context *c, void *userdata);

    pa_threaded_mainloop *m_pMainloop = nullptr;
    pa_context *m_pContext = nullptr;
    bool m_bWasReady = false;
    std::function<void()> m_failureListener;
};

/// Holds the main loop lock for a scope.
class PulseLock {
public:
    explicit PulseLock(PulseConnection &c) : m_c(c) { m_c.lock(); }
    ~PulseLock() { m_c.unlock(); }
    PulseLock(const PulseLock &) = delete;
    PulseLock &operator=(const PulseLock &) = delete;

private:
    PulseConnection &m_c;
};

} // namespace voxtap
