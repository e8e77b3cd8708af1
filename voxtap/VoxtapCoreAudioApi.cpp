#include "VoxtapCoreAudioApi.h"

#include "VoxtapLog.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace voxtap {

namespace {

// Each fragment and each failure of the stream sets the data event and a
// stop sets the stop event, so the bound only limits how long a pause
// change may go unnoticed while the server sends nothing; waking every few
// milliseconds in vain would cost more than the capture itself.
constexpr int kWaitMs = 50;
constexpr pa_usec_t kServerBufferUs = PA_USEC_PER_SEC;   // what a paused capture may keep
constexpr pa_usec_t kFragmentUs = 20 * PA_USEC_PER_MSEC; // one captured block

/// Maps the endpoint's native sample format to the mix format; formats the
/// resampler set-up does not take are recorded as float instead.
MixFormat mixFormatFor(pa_sample_spec *spec)
{
    MixFormat mix;
    mix.channels = spec->channels;
    mix.sampleRate = static_cast<int>(spec->rate);
    switch (spec->format) {
    case PA_SAMPLE_U8:
        mix.formatTag = MixFormat::TagPcm;
        mix.bitsPerSample = 8;
        break;
    case PA_SAMPLE_S16LE:
        mix.formatTag = MixFormat::TagPcm;
        mix.bitsPerSample = 16;
        break;
    case PA_SAMPLE_S32LE:
        mix.formatTag = MixFormat::TagPcm;
        mix.bitsPerSample = 32;
        break;
    default:
        spec->format = PA_SAMPLE_FLOAT32LE;
        mix.formatTag = MixFormat::TagExtensible;
        mix.subFormat = MixFormat::SubIeeeFloat;
        mix.bitsPerSample = 32;
        break;
    }
    return mix;
}

int64_t steadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

VoxtapCoreAudioApi::VoxtapCoreAudioApi() = default;

VoxtapCoreAudioApi::~VoxtapCoreAudioApi()
{
    uninit();
}

int VoxtapCoreAudioApi::initWithId(const char *endpointId, const VoxtapAudioParams *params)
{
    if (!endpointId)
        return VOXTAP_E_GENERIC;
    return initOn(endpointId, false, false, params);
}

int VoxtapCoreAudioApi::initDefault(int useCapture, const VoxtapAudioParams *params)
{
    return initOn(std::string(), true, useCapture != 0, params);
}

int VoxtapCoreAudioApi::initOn(const std::string &name, bool byDefault, bool defaultCapture,
                               const VoxtapAudioParams *params)
{
    if (isInitialised())
        return VOXTAP_OK;
    releaseAll();
    m_bClosing = false;
    m_bGoneNotified = false;
    m_bUnpluggedNotified = false;
    m_iLastCaptureError = 0;

    m_conn.setFailureListener([this] { onContextFailed(); });
    int result = m_conn.open("Voxtap");
    if (result != VOXTAP_OK)
        return result;

    EndpointInfo info;
    {
        PulseLock lock(m_conn);
        pa_context *ctx = m_conn.context();
        pa_context_set_subscribe_callback(ctx, &VoxtapCoreAudioApi::subscribeCb, this);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE
                                                              | PA_SUBSCRIPTION_MASK_SINK);
        if (!m_conn.runSuccessOperation([ctx, mask](pa_context_success_cb_t cb, void *ud) {
                return pa_context_subscribe(ctx, mask, cb, ud);
            })) {
            voxtapLog(LogError, "VoxtapCoreAudioApi::init: pa_context_subscribe failed: %s",
                      pa_strerror(pa_context_errno(ctx)));
            result = VOXTAP_E_NOTIFYREG;
        } else {
            const std::string target = byDefault ? m_conn.defaultEndpoint(defaultCapture) : name;
            const int wantedFlow = defaultCapture ? VOXTAP_FLOW_CAPTURE : VOXTAP_FLOW_RENDER;
            if (target.empty() || !m_conn.findEndpoint(target, &info) || info.isMonitor
                || (byDefault && info.flow != wantedFlow)) {
                voxtapLog(LogError, "VoxtapCoreAudioApi::init: no endpoint \"%s\"", target.c_str());
                result = VOXTAP_E_ENDPOINT;
            } else {
                m_endpoint = info;
                result = openStream();
            }
        }
    }
    if (result == VOXTAP_OK)
        result = m_packer.setup(m_mix, params);
    if (result == VOXTAP_OK) {
        try {
            m_captureBuffer.reserve(static_cast<size_t>(m_mix.blockAlign()) * m_mix.sampleRate * 2);
        } catch (const std::bad_alloc &) {
            result = VOXTAP_E_GENERIC;
        }
    }
    if (result != VOXTAP_OK) {
        releaseAll();
        return result;
    }
    m_fVolume = info.volume;
    m_bMuted = info.muted;
    voxtapLog(LogInfo, "VoxtapCoreAudioApi::init: \"%s\" (%s) via \"%s\", %d Hz %d ch %d bits",
              m_endpoint.name.c_str(), m_endpoint.flow == VOXTAP_FLOW_RENDER ? "loopback" : "capture",
              m_endpoint.captureSource.c_str(), m_mix.sampleRate, m_mix.channels, m_mix.bitsPerSample);
    return VOXTAP_OK;
}

int VoxtapCoreAudioApi::openStream()
{
    pa_sample_spec spec = m_endpoint.spec;
    if (!pa_sample_spec_valid(&spec))
        return VOXTAP_E_MIXFORMAT;
    m_mix = mixFormatFor(&spec);
    const pa_channel_map *map = nullptr;
    if (pa_channel_map_valid(&m_endpoint.channelMap) && m_endpoint.channelMap.channels == spec.channels)
        map = &m_endpoint.channelMap;

    m_pStream = pa_stream_new(m_conn.context(), "Voxtap capture", &spec, map);
    if (!m_pStream) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::openStream: pa_stream_new: %s",
                  pa_strerror(pa_context_errno(m_conn.context())));
        return VOXTAP_E_ACTIVATE;
    }
    pa_stream_set_state_callback(m_pStream, &VoxtapCoreAudioApi::streamStateCb, this);
    pa_stream_set_read_callback(m_pStream, &VoxtapCoreAudioApi::streamReadCb, this);
    pa_stream_set_overflow_callback(m_pStream, &VoxtapCoreAudioApi::streamOverflowCb, this);

    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(kServerBufferUs, &spec));
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUs, &spec));
    m_iWakeBytes = std::max<size_t>(1, attr.fragsize);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    // Never follow the stream to another device: a vanished endpoint ends
    // the capture instead of silently recording something else.
    // The timing updates give the capture latency that places the sound
    // on the clock.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE
                                                      | PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE
                                                      | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(m_pStream, m_endpoint.captureSource.c_str(), &attr, flags) < 0) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::openStream: pa_stream_connect_record: %s",
                  pa_strerror(pa_context_errno(m_conn.context())));
        return VOXTAP_E_CLIENTINIT;
    }
    pa_stream *s = m_pStream;
    m_conn.waitFor([s] {
        const pa_stream_state_t st = pa_stream_get_state(s);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
    });
    if (pa_stream_get_state(s) != PA_STREAM_READY) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::openStream: stream not ready: %s",
                  pa_strerror(pa_context_errno(m_conn.context())));
        return VOXTAP_E_CLIENTINIT;
    }
    return VOXTAP_OK;
}

void VoxtapCoreAudioApi::closeStream()
{
    if (!m_pStream)
        return;
    pa_stream_set_state_callback(m_pStream, nullptr, nullptr);
    pa_stream_set_read_callback(m_pStream, nullptr, nullptr);
    pa_stream_set_overflow_callback(m_pStream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_pStream)))
        pa_stream_disconnect(m_pStream);
    pa_stream_unref(m_pStream);
    m_pStream = nullptr;
}

void VoxtapCoreAudioApi::releaseAll()
{
    if (m_conn.isOpen()) {
        PulseLock lock(m_conn);
        m_bClosing = true;
        closeStream();
    }
    m_conn.close();
    m_packer.release();
    m_endpoint = EndpointInfo();
    m_captureBuffer.clear();
    m_captureBuffer.shrink_to_fit();
}

int VoxtapCoreAudioApi::start()
{
    if (!isInitialised())
        return VOXTAP_E_GENERIC;
    if (m_captureThread.joinable())
        return VOXTAP_E_STARTED;
    m_dataEvent.reset();
    m_stopEvent.reset();
    m_iLastCaptureError = 0;
    m_iRunFrames = 0;
    m_iRunStartUs = 0;
    m_iLatencyUs = -1;
    m_iStalls = 0;
    m_bStalled = false;
    m_iOverflows = 0;
    m_iOverflowsLogged = 0;
    try {
        m_captureThread = std::thread(&VoxtapCoreAudioApi::captureThreadMain, this);
    } catch (const std::system_error &e) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::start: no capture thread: %s", e.what());
        return VOXTAP_E_THREAD;
    }
    bool started = false;
    {
        PulseLock lock(m_conn);
        pa_stream *s = m_pStream;
        started = pa_stream_get_state(s) == PA_STREAM_READY
            && m_conn.runStreamOperation([s](pa_stream_success_cb_t cb, void *ud) {
                   return pa_stream_cork(s, 0, cb, ud);
               });
    }
    if (!started) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::start: the stream did not start");
        return VOXTAP_E_CLIENTSTART;
    }
    return VOXTAP_OK;
}

int VoxtapCoreAudioApi::stop()
{
    // The capture thread reads what the server still holds and drains the
    // encoder before it ends: the end of the sound belongs to the
    // recording being stopped.
    const bool wasCapturing = m_captureThread.joinable();
    if (wasCapturing) {
        m_stopEvent.set();
        m_captureThread.join();
    }
    if (m_conn.isOpen() && m_pStream) {
        PulseLock lock(m_conn);
        pa_stream *s = m_pStream;
        if (pa_stream_get_state(s) == PA_STREAM_READY) {
            m_conn.runStreamOperation([s](pa_stream_success_cb_t cb, void *ud) {
                return pa_stream_cork(s, 1, cb, ud);
            });
            // Whatever came after the last read belongs to no recording; a
            // later start must not begin with it.
            m_conn.runStreamOperation([s](pa_stream_success_cb_t cb, void *ud) {
                return pa_stream_flush(s, cb, ud);
            });
            // The flush empties the server's side only: fragments the server
            // sent before the cork took effect wait on this side, and would
            // open the next recording with this one's last sound.
            const void *data = nullptr;
            size_t bytes = 0;
            while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
                if (pa_stream_drop(s) < 0)
                    break;
            }
        }
    }
    // A new run starts a new sound: no samples or encoder delay of this one.
    if (wasCapturing && m_packer.isReady() && m_packer.reset() != VOXTAP_OK)
        voxtapLog(LogError, "VoxtapCoreAudioApi::stop: the encoder could not be opened again");
    m_bPaused = false;
    return VOXTAP_OK;
}

int VoxtapCoreAudioApi::uninit()
{
    stop();
    int result = VOXTAP_OK;
    if (m_conn.isOpen()) {
        PulseLock lock(m_conn);
        m_bClosing = true;
        closeStream();
        pa_context *ctx = m_conn.context();
        if (m_conn.isReady()
            && !m_conn.runSuccessOperation([ctx](pa_context_success_cb_t cb, void *ud) {
                   return pa_context_subscribe(ctx, PA_SUBSCRIPTION_MASK_NULL, cb, ud);
               })) {
            voxtapLog(LogError, "VoxtapCoreAudioApi::uninit: unsubscribing failed");
            result = VOXTAP_E_VOLUMEUNREG;
        }
    }
    releaseAll();
    return result;
}

void VoxtapCoreAudioApi::setReceiver(VoxtapNotify *receiver)
{
    // Device notices run under the main loop lock; taking it here means
    // the previous receiver is no longer in use when this returns.
    std::lock_guard<std::mutex> delivery(m_deliveryMutex);
    if (m_conn.isOpen()) {
        PulseLock lock(m_conn);
        m_pReceiver = receiver;
    } else {
        m_pReceiver = receiver;
    }
}

void VoxtapCoreAudioApi::captureThreadMain()
{
    kxsync::setCurrentThreadName("kx-voxtap");
    onStarted();
    size_t pending = 0;
    int error = VOXTAP_OK;
    bool drained = false;
    bool mayHaveData = true;
    for (;;) {
        const int which = kxsync::waitAny({&m_stopEvent, &m_dataEvent}, kWaitMs);
        if (which == 0) {
            error = finishRun(&pending);
            drained = true;
            break;
        }
        if (which != 1 && which != kxsync::WaitTimeout)
            break;
        // Paused: leave the sound in the server's buffer, which overruns.
        if (m_bPaused.load()) {
            mayHaveData = true;
            // Sound left waiting on purpose is no hold-up.
            m_bStalled = true;
            continue;
        }
        // The server announces every fragment and a failure sets the event
        // too, so a time-out means nothing new arrived, unless sound was
        // left unread while paused (its announcements are used up).
        if (which == kxsync::WaitTimeout && !mayHaveData)
            continue;
        mayHaveData = false;
        error = readAvailable(&pending);
        packPending(&pending);
        if (error != VOXTAP_OK)
            break;
    }
    if (error != VOXTAP_OK) {
        // What was captured before the failure still ends this sound.
        if (!drained && m_packer.isReady())
            m_packer.drain(this);
        m_iLastCaptureError = error;
        voxtapLog(LogError, "VoxtapCoreAudioApi: capture of \"%s\" ended: 0x%x",
                  m_endpoint.name.c_str(), error);
    }
    onStopped();
}

void VoxtapCoreAudioApi::packPending(size_t *pending)
{
    const size_t frameBytes = static_cast<size_t>(m_mix.blockAlign());
    const size_t blockFrames = static_cast<size_t>(m_mix.sampleRate / 100 > 0 ? m_mix.sampleRate / 100 : 1);
    size_t offset = 0;
    while (*pending - offset >= frameBytes) {
        const size_t frames = std::min(blockFrames, (*pending - offset) / frameBytes);
        onData(m_captureBuffer.data() + offset, static_cast<int>(frames));
        offset += frames * frameBytes;
    }
    if (offset > 0) {
        std::memmove(m_captureBuffer.data(), m_captureBuffer.data() + offset, *pending - offset);
        *pending -= offset;
    }
}

int VoxtapCoreAudioApi::finishRun(size_t *pending)
{
    // Sound left in the server while paused was never meant to be recorded.
    const int error = m_bPaused.load() ? VOXTAP_OK : readAvailable(pending);
    packPending(pending);
    *pending = 0;
    if (m_packer.isReady())
        m_packer.drain(this);
    // A read failure here only means the endpoint is gone; what was read
    // before is delivered all the same.
    return error;
}

int VoxtapCoreAudioApi::readAvailable(size_t *pending)
{
    PulseLock lock(m_conn);
    pa_stream *s = m_pStream;
    if (!s || pa_stream_get_state(s) != PA_STREAM_READY)
        return VOXTAP_E_GETBUFFER;
    bool measured = false;
    for (;;) {
        const size_t readable = pa_stream_readable_size(s);
        if (readable == static_cast<size_t>(-1))
            return VOXTAP_E_PACKETSIZE;
        if (readable == 0)
            return VOXTAP_OK;
        if (!measured) {
            measureLatency(s);
            measured = true;
        }
        const void *data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0)
            return VOXTAP_E_GETBUFFER;
        if (bytes == 0)
            return VOXTAP_OK;
        if (m_captureBuffer.size() < *pending + bytes)
            m_captureBuffer.resize(*pending + bytes);
        // A hole in the stream is silence of that length: the time line of
        // the sound stays intact.
        if (data)
            std::memcpy(m_captureBuffer.data() + *pending, data, bytes);
        else
            std::memset(m_captureBuffer.data() + *pending, 0, bytes);
        *pending += bytes;
        m_iRunFrames += static_cast<int64_t>(bytes / static_cast<size_t>(std::max(1, m_mix.blockAlign())));
        if (pa_stream_drop(s) < 0)
            return VOXTAP_E_RELEASEBUFFER;
    }
}

void VoxtapCoreAudioApi::measureLatency(pa_stream *s)
{
    const int64_t overflows = m_iOverflows.load();
    if (overflows != m_iOverflowsLogged) {
        voxtapLog(LogError, "VoxtapCoreAudioApi: \"%s\" overran: sound lost (%lld overruns so far)",
                  m_endpoint.name.c_str(), static_cast<long long>(overflows));
        m_iOverflowsLogged = overflows;
    }
    pa_usec_t latency = 0;
    int negative = 0;
    const int64_t nowUs = steadyNowUs();
    const int64_t readUs = m_mix.sampleRate > 0 ? m_iRunFrames * 1000000 / m_mix.sampleRate : 0;
    if (pa_stream_get_latency(s, &latency, &negative) != 0) {
        // No timing from the server yet: what waits on this side is the
        // least the sound has waited.
        const size_t queued = pa_stream_readable_size(s);
        const pa_sample_spec *spec = pa_stream_get_sample_spec(s);
        m_iLatencyUs = -1;
        const int64_t waitedUs = queued != static_cast<size_t>(-1) && spec
            ? static_cast<int64_t>(pa_bytes_to_usec(queued, spec))
            : 0;
        // The first read places the run; later ones must not move it on
        // this poorer estimate.
        if (m_iRunStartUs == 0)
            m_iRunStartUs = nowUs - waitedUs - readUs;
        return;
    }
    m_iLatencyUs = negative ? 0 : static_cast<int64_t>(latency);
    // The next unread frame was captured latency ago; the run began the
    // frames read before that earlier. Taken at every read, so sound the
    // server lost moves the run's start on and the host sees the gap.
    const int64_t runStartUs = nowUs - m_iLatencyUs - readUs;
    // A PulseAudio server drops what overruns a record stream's buffer
    // without a word (its overflow notice is for playback): the run's
    // start moving on is how the loss shows.
    if (m_iRunStartUs != 0 && runStartUs - m_iRunStartUs > kLostUs) {
        const int64_t overruns = m_iOverflows.fetch_add(1) + 1;
        m_iOverflowsLogged = overruns;
        voxtapLog(LogError, "VoxtapCoreAudioApi: \"%s\" overran: %lld ms of sound lost (%lld overruns so far)",
                  m_endpoint.name.c_str(), static_cast<long long>((runStartUs - m_iRunStartUs) / 1000),
                  static_cast<long long>(overruns));
    }
    m_iRunStartUs = runStartUs;
    const bool stalled = m_iLatencyUs > kStallUs;
    if (stalled && !m_bStalled) {
        ++m_iStalls;
        voxtapLog(LogError, "VoxtapCoreAudioApi: \"%s\" read %lld ms late (%lld held-up reads so far)",
                  m_endpoint.name.c_str(), static_cast<long long>(m_iLatencyUs / 1000),
                  static_cast<long long>(m_iStalls));
    }
    m_bStalled = stalled;
}

VoxtapCaptureTiming VoxtapCoreAudioApi::captureTiming() const
{
    VoxtapCaptureTiming timing;
    const int rate = m_packer.encoderSampleRate();
    if (m_iRunStartUs != 0 && rate > 0)
        timing.unitCaptureUs = m_iRunStartUs + m_packer.unitPts() * 1000000 / rate;
    timing.latencyUs = m_iLatencyUs;
    timing.overflows = m_iOverflows.load();
    timing.stalls = m_iStalls;
    return timing;
}

void VoxtapCoreAudioApi::onData(const uint8_t *data, int frames)
{
    if (!m_packer.isReady())
        return;
    m_packer.pack(data, frames, this);
}

void VoxtapCoreAudioApi::accessUnit(const uint8_t *data, int length)
{
    // Held for the delivery, so that setReceiver waits until the receiver
    // it replaces has left onAudioData.
    std::lock_guard<std::mutex> guard(m_deliveryMutex);
    if (VoxtapNotify *receiver = m_pReceiver.load())
        receiver->onAudioData(data, length);
}

void VoxtapCoreAudioApi::onStarted()
{
    if (m_endpoint.flow != VOXTAP_FLOW_RENDER)
        return;
    PulseLock lock(m_conn);
    if (!m_pStream || !m_conn.isReady())
        return;
    pa_context *ctx = m_conn.context();
    const uint32_t output = pa_stream_get_index(m_pStream);
    m_conn.runSuccessOperation([ctx, output](pa_context_success_cb_t cb, void *ud) {
        return pa_context_set_source_output_mute(ctx, output, 0, cb, ud);
    });
    EndpointInfo sink;
    if (!m_conn.findEndpointByIndex(VOXTAP_FLOW_RENDER, m_endpoint.index, &sink))
        return;
    // Only a sink that mutes in hardware keeps feeding its monitor while
    // muted; muting a software-volume sink would record silence.
    if (!sink.hardwareMute) {
        voxtapLog(LogInfo, "VoxtapCoreAudioApi: \"%s\" left audible: it has no hardware mute",
                  sink.name.c_str());
        return;
    }
    if (sink.muted)
        return;
    const uint32_t index = m_endpoint.index;
    m_bMutedEndpoint = m_conn.runSuccessOperation([ctx, index](pa_context_success_cb_t cb, void *ud) {
        return pa_context_set_sink_mute_by_index(ctx, index, 1, cb, ud);
    });
}

void VoxtapCoreAudioApi::onStopped()
{
    if (!m_bMutedEndpoint)
        return;
    m_bMutedEndpoint = false;
    PulseLock lock(m_conn);
    if (!m_conn.isReady())
        return;
    pa_context *ctx = m_conn.context();
    const uint32_t index = m_endpoint.index;
    m_conn.runSuccessOperation([ctx, index](pa_context_success_cb_t cb, void *ud) {
        return pa_context_set_sink_mute_by_index(ctx, index, 0, cb, ud);
    });
}

void VoxtapCoreAudioApi::notifyState(int state)
{
    bool &sent = state == VOXTAP_STATE_UNPLUGGED ? m_bUnpluggedNotified : m_bGoneNotified;
    if (sent)
        return;
    sent = true;
    voxtapLog(LogInfo, "VoxtapCoreAudioApi: \"%s\" state %d", m_endpoint.name.c_str(), state);
    if (VoxtapNotify *receiver = m_pReceiver.load())
        receiver->onDeviceState(m_endpoint.name.c_str(), state);
}

void VoxtapCoreAudioApi::onContextFailed()
{
    m_dataEvent.set();
    if (!m_bClosing && m_endpoint.index != PA_INVALID_INDEX)
        notifyState(VOXTAP_STATE_NOTPRESENT);
}

void VoxtapCoreAudioApi::updateFromEndpoint(const EndpointInfo &info)
{
    m_fVolume = info.volume;
    m_bMuted = info.muted;
    if (info.unplugged)
        notifyState(VOXTAP_STATE_UNPLUGGED);
    else
        m_bUnpluggedNotified = false;
}

namespace {

template <typename Info>
void endpointChangedCb(pa_context *, const Info *i, int eol, void *userdata)
{
    if (eol != 0 || !i)
        return;
    auto *self = static_cast<VoxtapCoreAudioApi *>(userdata);
    EndpointInfo info;
    info.volume = pa_cvolume_valid(&i->volume)
        ? std::min(1.0f, static_cast<float>(pa_cvolume_avg(&i->volume)) / PA_VOLUME_NORM)
        : 1.0f;
    info.muted = i->mute != 0;
    info.unplugged = i->active_port && i->active_port->available == PA_PORT_AVAILABLE_NO;
    self->handleEndpointChange(info);
}

} // namespace

void VoxtapCoreAudioApi::handleEndpointChange(const EndpointInfo &info)
{
    if (m_bClosing)
        return;
    updateFromEndpoint(info);
}

void VoxtapCoreAudioApi::subscribeCb(pa_context *c, pa_subscription_event_type_t t, uint32_t index,
                                     void *userdata)
{
    auto *self = static_cast<VoxtapCoreAudioApi *>(userdata);
    if (self->m_bClosing || self->m_endpoint.index == PA_INVALID_INDEX)
        return;
    const int facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    const bool render = self->m_endpoint.flow == VOXTAP_FLOW_RENDER;
    const int wanted = render ? PA_SUBSCRIPTION_EVENT_SINK : PA_SUBSCRIPTION_EVENT_SOURCE;
    if (facility != wanted || index != self->m_endpoint.index)
        return;
    if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        self->notifyState(VOXTAP_STATE_NOTPRESENT);
        self->m_dataEvent.set();
        return;
    }
    if (type != PA_SUBSCRIPTION_EVENT_CHANGE)
        return;
    pa_operation *op = render
        ? pa_context_get_sink_info_by_index(c, index, &endpointChangedCb<pa_sink_info>, self)
        : pa_context_get_source_info_by_index(c, index, &endpointChangedCb<pa_source_info>, self);
    if (op)
        pa_operation_unref(op);
}

void VoxtapCoreAudioApi::streamStateCb(pa_stream *s, void *userdata)
{
    auto *self = static_cast<VoxtapCoreAudioApi *>(userdata);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)))
        self->m_dataEvent.set();
    self->m_conn.signal();
}

void VoxtapCoreAudioApi::streamReadCb(pa_stream *, size_t readable, void *userdata)
{
    auto *self = static_cast<VoxtapCoreAudioApi *>(userdata);
    if (readable >= self->m_iWakeBytes)
        self->m_dataEvent.set();
}

void VoxtapCoreAudioApi::streamOverflowCb(pa_stream *, void *userdata)
{
    auto *self = static_cast<VoxtapCoreAudioApi *>(userdata);
    // A paused capture leaves the sound to overrun by design.
    if (!self->m_bPaused.load())
        self->m_iOverflows.fetch_add(1);
    self->m_dataEvent.set();
}

int VoxtapCoreAudioApi::listDevices(std::list<VoxtapDeviceInfo> *devices, int flow)
{
    if (!devices)
        return VOXTAP_E_GENERIC;
    devices->clear();
    PulseConnection conn;
    int result = conn.open("Voxtap device list");
    if (result != VOXTAP_OK)
        return result;
    {
        PulseLock lock(conn);
        result = conn.listEndpoints(flow, devices);
    }
    conn.close();
    return result;
}

} // namespace voxtap
