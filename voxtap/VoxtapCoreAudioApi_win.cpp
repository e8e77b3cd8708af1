#include <initguid.h> // defines the GUIDs and property keys used below, once

#include "VoxtapCoreAudioApi_win.h"

#include "VoxtapLog.h"

#include <sync/KxSync.h>

#include <windows.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>

#include <algorithm>
#include <cstring>
#include <system_error>

namespace voxtap {

namespace {

// The client's event wakes the capture thread for every period; the bound
// only limits how long a vanished endpoint (whose client stops signalling)
// or a pause change may go unnoticed.
constexpr DWORD kWaitMs = 100;
// Sound missing for this long makes the capture thread ask the client
// whether its endpoint is still there.
constexpr ULONGLONG kStallMs = 200;
// What the shared-mode client buffers for us, as the PulseAudio engine
// asks of its server: a capture thread starved for up to a second on a
// loaded machine loses no sound. The client still signals every period,
// so this adds no delay.
constexpr REFERENCE_TIME kBufferDuration = 10000000; // 1 s in 100 ns units

// Not in every SDK's headers.
DEFINE_PROPERTYKEY(kPkeyDeviceInstanceId, 0x78c34fc8, 0x104a, 0x4aca, 0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e,
                   0x57, 256);
DEFINE_PROPERTYKEY(kPkeyDeviceService, 0xa45c254e, 0xdf1c, 0x4efd, 0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0,
                   6);

/// COM for the current thread, in the multi-threaded apartment. A thread
/// the host already made single-threaded keeps its apartment: the audio
/// objects work in both.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;
    bool usable() const { return SUCCEEDED(m_hr) || m_hr == RPC_E_CHANGED_MODE; }

private:
    HRESULT m_hr;
};

template <typename T>
void releaseCom(T *&p)
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

std::string toUtf8(const wchar_t *w)
{
    if (!w || !*w)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string s(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring toWide(const std::string &s)
{
    if (s.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    if (n <= 1)
        return std::wstring();
    std::wstring w(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
    return w;
}

std::string stringProperty(IPropertyStore *store, const PROPERTYKEY &key)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    std::string result;
    if (SUCCEEDED(store->GetValue(key, &value)) && value.vt == VT_LPWSTR)
        result = toUtf8(value.pwszVal);
    PropVariantClear(&value);
    return result;
}

/// The capture format as the packer describes it. A plain IEEE float
/// format is the extensible float format without channel mask.
MixFormat mixFormatOf(const WAVEFORMATEX *wf)
{
    MixFormat mix;
    mix.channels = wf->nChannels;
    mix.sampleRate = static_cast<int>(wf->nSamplesPerSec);
    mix.bitsPerSample = wf->wBitsPerSample;
    mix.formatTag = MixFormat::TagPcm;
    if (wf->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        mix.formatTag = MixFormat::TagExtensible;
        mix.subFormat = MixFormat::SubIeeeFloat;
    } else if (wf->wFormatTag == WAVE_FORMAT_EXTENSIBLE && wf->cbSize >= 22) {
        const auto *ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(wf);
        mix.formatTag = MixFormat::TagExtensible;
        if (IsEqualGUID(ext->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            mix.subFormat = MixFormat::SubIeeeFloat;
        else if (IsEqualGUID(ext->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            mix.subFormat = MixFormat::SubPcm;
        else
            mix.subFormat = MixFormat::SubOther;
    } else if (wf->wFormatTag != WAVE_FORMAT_PCM) {
        mix.formatTag = MixFormat::TagExtensible;
        mix.subFormat = MixFormat::SubOther;
    }
    return mix;
}

/// Whether the packer takes this format as it is (see AacPacker::setup).
bool packerTakes(const MixFormat &mix)
{
    const bool pcm = mix.formatTag == MixFormat::TagPcm
        || (mix.formatTag == MixFormat::TagExtensible && mix.subFormat == MixFormat::SubPcm);
    if (pcm)
        return mix.bitsPerSample == 8 || mix.bitsPerSample == 16 || mix.bitsPerSample == 32;
    return mix.formatTag == MixFormat::TagExtensible && mix.subFormat == MixFormat::SubIeeeFloat
        && mix.bitsPerSample == 32;
}

/// 32-bit float at the endpoint's rate and channel count: what a shared-mode
/// client takes wherever the endpoint's own format does not suit the packer.
WAVEFORMATEXTENSIBLE floatFormatLike(const WAVEFORMATEX *wf)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = wf->nChannels;
    f.Format.nSamplesPerSec = wf->nSamplesPerSec;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = static_cast<WORD>(wf->nChannels * 4);
    f.Format.nAvgBytesPerSec = f.Format.nSamplesPerSec * f.Format.nBlockAlign;
    f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = wf->nChannels == 1 ? SPEAKER_FRONT_CENTER : SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    if (wf->wFormatTag == WAVE_FORMAT_EXTENSIBLE && wf->cbSize >= 22)
        f.dwChannelMask = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(wf)->dwChannelMask;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return f;
}

class NotificationClient;

} // namespace

class VoxtapCoreAudioApiPrivate {
public:
    IMMDeviceEnumerator *enumerator = nullptr;
    IMMDevice *device = nullptr;
    IAudioClient *client = nullptr;
    IAudioCaptureClient *capture = nullptr;
    NotificationClient *notifications = nullptr;
    HANDLE dataEvent = nullptr; // set by the client for every period
    HANDLE stopEvent = nullptr;
    bool running = false;       // the client was started
    // Keeps the multi-threaded apartment, and with it the objects above,
    // alive while no thread of the library is in it (between the calls).
    CO_MTA_USAGE_COOKIE mtaUsage = nullptr;
};

namespace {

/// Forwards endpoint changes to the engine until detached. The system may
/// call it on any thread, also while the engine is being torn down.
class NotificationClient final : public IMMNotificationClient {
public:
    explicit NotificationClient(VoxtapCoreAudioApi *engine) : m_engine(engine) {}

    void detach()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_engine = nullptr;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return refs;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
            *out = static_cast<IMMNotificationClient *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override
    {
        forward(id, static_cast<int>(state));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override
    {
        forward(id, VOXTAP_STATE_NOTPRESENT);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

private:
    ~NotificationClient() = default;

    void forward(LPCWSTR id, int state)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_engine)
            m_engine->endpointStateChanged(toUtf8(id), state);
    }

    LONG m_refs = 1;
    std::mutex m_mutex;
    VoxtapCoreAudioApi *m_engine;
};

} // namespace

VoxtapCoreAudioApi::VoxtapCoreAudioApi() : d(new VoxtapCoreAudioApiPrivate) {}

VoxtapCoreAudioApi::~VoxtapCoreAudioApi()
{
    uninit();
}

bool VoxtapCoreAudioApi::isInitialised() const
{
    return d->capture != nullptr;
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

int VoxtapCoreAudioApi::initOn(const std::string &id, bool byDefault, bool defaultCapture,
                               const VoxtapAudioParams *params)
{
    if (isInitialised())
        return VOXTAP_OK;
    releaseAll();
    m_iLastCaptureError = 0;
    m_bGoneNotified = false;

    ComScope com;
    if (!com.usable() || FAILED(CoIncrementMTAUsage(&d->mtaUsage)))
        return VOXTAP_E_ENUMERATOR;
    int result = VOXTAP_OK;
    WAVEFORMATEX *mixFormat = nullptr;
    WAVEFORMATEX *closest = nullptr;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                  __uuidof(IMMDeviceEnumerator), reinterpret_cast<void **>(&d->enumerator));
    if (FAILED(hr)) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::init: no device enumerator: 0x%lx", static_cast<unsigned long>(hr));
        releaseAll();
        return VOXTAP_E_ENUMERATOR;
    }
    hr = byDefault
        ? d->enumerator->GetDefaultAudioEndpoint(defaultCapture ? eCapture : eRender, eConsole, &d->device)
        : d->enumerator->GetDevice(toWide(id).c_str(), &d->device);
    DWORD state = 0;
    if (FAILED(hr) || !d->device || FAILED(d->device->GetState(&state)) || state != DEVICE_STATE_ACTIVE) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::init: no endpoint \"%s\": 0x%lx", id.c_str(),
                  static_cast<unsigned long>(hr));
        result = VOXTAP_E_ENDPOINT;
    }
    if (result == VOXTAP_OK) {
        IMMEndpoint *endpoint = nullptr;
        EDataFlow flow = eCapture;
        if (FAILED(d->device->QueryInterface(__uuidof(IMMEndpoint), reinterpret_cast<void **>(&endpoint))))
            result = VOXTAP_E_FLOWMISSING;
        else if (FAILED(endpoint->GetDataFlow(&flow)))
            result = VOXTAP_E_FLOWREAD;
        releaseCom(endpoint);
        m_iFlow = flow == eRender ? VOXTAP_FLOW_RENDER : VOXTAP_FLOW_CAPTURE;
        LPWSTR wid = nullptr;
        if (result == VOXTAP_OK && SUCCEEDED(d->device->GetId(&wid))) {
            m_endpointId = toUtf8(wid);
            CoTaskMemFree(wid);
        }
    }
    // Registered once the endpoint id is known: the system may call it at once.
    if (result == VOXTAP_OK) {
        d->notifications = new NotificationClient(this);
        if (FAILED(d->enumerator->RegisterEndpointNotificationCallback(d->notifications))) {
            d->notifications->Release();
            d->notifications = nullptr;
            result = VOXTAP_E_NOTIFYREG;
        }
    }
    if (result == VOXTAP_OK
        && FAILED(d->device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                      reinterpret_cast<void **>(&d->client))))
        result = VOXTAP_E_ACTIVATE;
    if (result == VOXTAP_OK && (FAILED(d->client->GetMixFormat(&mixFormat)) || !mixFormat))
        result = VOXTAP_E_MIXFORMAT;
    if (result == VOXTAP_OK) {
        const DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK
            | (m_iFlow == VOXTAP_FLOW_RENDER ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0);
        const WAVEFORMATEX *format = mixFormat;
        WAVEFORMATEXTENSIBLE asFloat = floatFormatLike(mixFormat);
        if (!packerTakes(mixFormatOf(mixFormat)))
            format = &asFloat.Format;
        hr = d->client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, format, nullptr);
        if (hr == AUDCLNT_E_UNSUPPORTED_FORMAT) {
            // The endpoint refuses the format: take its closest match; the
            // packer's resampler converts whatever it is.
            const HRESULT supported = d->client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, format, &closest);
            if (supported == S_FALSE && closest) {
                format = closest;
                hr = d->client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, format, nullptr);
            }
        }
        if (FAILED(hr)) {
            voxtapLog(LogError, "VoxtapCoreAudioApi::init: IAudioClient::Initialize: 0x%lx",
                      static_cast<unsigned long>(hr));
            result = VOXTAP_E_CLIENTINIT;
        } else {
            m_mix = mixFormatOf(format);
        }
    }
    if (result == VOXTAP_OK) {
        d->dataEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        d->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!d->dataEvent || !d->stopEvent || FAILED(d->client->SetEventHandle(d->dataEvent)))
            result = VOXTAP_E_EVENT;
    }
    if (result == VOXTAP_OK
        && FAILED(d->client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void **>(&d->capture))))
        result = VOXTAP_E_CAPTURESVC;
    CoTaskMemFree(mixFormat);
    CoTaskMemFree(closest);
    if (result == VOXTAP_OK)
        result = m_packer.setup(m_mix, params);
    if (result == VOXTAP_OK) {
        try {
            m_captureBuffer.reserve(static_cast<size_t>(m_mix.blockAlign()) * m_mix.sampleRate);
        } catch (const std::bad_alloc &) {
            result = VOXTAP_E_GENERIC;
        }
    }
    if (result != VOXTAP_OK) {
        releaseAll();
        return result;
    }
    voxtapLog(LogInfo, "VoxtapCoreAudioApi::init: \"%s\" (%s), %d Hz %d ch %d bits", m_endpointId.c_str(),
              m_iFlow == VOXTAP_FLOW_RENDER ? "loopback" : "capture", m_mix.sampleRate, m_mix.channels,
              m_mix.bitsPerSample);
    return VOXTAP_OK;
}

void VoxtapCoreAudioApi::releaseAll()
{
    if (d->notifications) {
        d->notifications->detach();
        if (d->enumerator)
            d->enumerator->UnregisterEndpointNotificationCallback(d->notifications);
        d->notifications->Release();
        d->notifications = nullptr;
    }
    if (d->client && d->running)
        d->client->Stop();
    d->running = false;
    releaseCom(d->capture);
    releaseCom(d->client);
    releaseCom(d->device);
    releaseCom(d->enumerator);
    if (d->dataEvent)
        CloseHandle(d->dataEvent);
    if (d->stopEvent)
        CloseHandle(d->stopEvent);
    d->dataEvent = d->stopEvent = nullptr;
    if (d->mtaUsage) {
        CoDecrementMTAUsage(d->mtaUsage);
        d->mtaUsage = nullptr;
    }
    m_packer.release();
    m_endpointId.clear();
    m_captureBuffer.clear();
    m_captureBuffer.shrink_to_fit();
}

int VoxtapCoreAudioApi::start()
{
    if (!isInitialised())
        return VOXTAP_E_GENERIC;
    if (m_captureThread.joinable())
        return VOXTAP_E_STARTED;
    ResetEvent(d->stopEvent);
    m_iLastCaptureError = 0;
    ComScope com;
    const HRESULT hr = d->client->Start();
    if (FAILED(hr)) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::start: IAudioClient::Start: 0x%lx", static_cast<unsigned long>(hr));
        if (hr == AUDCLNT_E_DEVICE_INVALIDATED)
            notifyState(VOXTAP_STATE_NOTPRESENT);
        return VOXTAP_E_CLIENTSTART;
    }
    d->running = true;
    try {
        m_captureThread = std::thread(&VoxtapCoreAudioApi::captureThreadMain, this);
    } catch (const std::system_error &e) {
        voxtapLog(LogError, "VoxtapCoreAudioApi::start: no capture thread: %s", e.what());
        d->client->Stop();
        d->running = false;
        return VOXTAP_E_THREAD;
    }
    return VOXTAP_OK;
}

int VoxtapCoreAudioApi::stop()
{
    // The capture thread reads what the client still holds and drains the
    // encoder before it ends: the end of the sound belongs to the
    // recording being stopped.
    const bool wasCapturing = m_captureThread.joinable();
    if (wasCapturing) {
        SetEvent(d->stopEvent);
        m_captureThread.join();
    }
    if (d->client && d->running) {
        ComScope com;
        d->client->Stop();
        // Whatever came after the last read belongs to no recording.
        d->client->Reset();
        d->running = false;
    }
    if (wasCapturing && m_packer.isReady() && m_packer.reset() != VOXTAP_OK)
        voxtapLog(LogError, "VoxtapCoreAudioApi::stop: the encoder could not be opened again");
    m_bPaused = false;
    return VOXTAP_OK;
}

int VoxtapCoreAudioApi::uninit()
{
    stop();
    ComScope com;
    releaseAll();
    return VOXTAP_OK;
}

void VoxtapCoreAudioApi::setReceiver(VoxtapNotify *receiver)
{
    std::lock_guard<std::mutex> lock(m_receiverMutex);
    m_pReceiver = receiver;
}

void VoxtapCoreAudioApi::endpointStateChanged(const std::string &endpointId, int state)
{
    if (state == VOXTAP_STATE_ACTIVE || endpointId != m_endpointId)
        return;
    notifyState(state);
    // The capture thread finds out by reading; it need not wait for its
    // time-out to do so.
    if (d->dataEvent)
        SetEvent(d->dataEvent);
}

void VoxtapCoreAudioApi::notifyState(int state)
{
    if (m_bGoneNotified.exchange(true))
        return;
    voxtapLog(LogInfo, "VoxtapCoreAudioApi: \"%s\" state %d", m_endpointId.c_str(), state);
    std::lock_guard<std::mutex> lock(m_receiverMutex);
    if (m_pReceiver)
        m_pReceiver->onDeviceState(m_endpointId.c_str(), state);
}

void VoxtapCoreAudioApi::captureThreadMain()
{
    kxsync::setCurrentThreadName("kx-voxtap");
    ComScope com;
    const HANDLE waits[2] = {d->stopEvent, d->dataEvent};
    size_t pending = 0;
    int error = VOXTAP_OK;
    ULONGLONG lastData = GetTickCount64();
    m_iRunFrames = 0;
    m_iRunStartUs = 0;
    for (;;) {
        const DWORD which = WaitForMultipleObjects(2, waits, FALSE, kWaitMs);
        if (which == WAIT_OBJECT_0) {
            // Sound left in the client while paused was never meant to be
            // recorded; a read failure here only means the endpoint is gone.
            if (!m_bPaused.load())
                error = readAvailable(&pending);
            packPending(&pending);
            break;
        }
        if (which != WAIT_OBJECT_0 + 1 && which != WAIT_TIMEOUT) {
            error = VOXTAP_E_CAPTURESVC;
            break;
        }
        // Paused: the client's buffer overruns and old sound is lost.
        if (m_bPaused.load())
            continue;
        const uint64_t before = m_iFramesRead;
        error = readAvailable(&pending);
        packPending(&pending);
        if (error == VOXTAP_OK)
            error = checkStalled(m_iFramesRead != before, &lastData);
        if (error != VOXTAP_OK)
            break;
    }
    // What was captured before a failure still ends this sound.
    if (m_packer.isReady())
        m_packer.drain(this);
    if (error != VOXTAP_OK) {
        m_iLastCaptureError = error;
        voxtapLog(LogError, "VoxtapCoreAudioApi: capture of \"%s\" ended: 0x%x", m_endpointId.c_str(), error);
    }
}

int VoxtapCoreAudioApi::readAvailable(size_t *pending)
{
    const size_t frameBytes = static_cast<size_t>(m_mix.blockAlign());
    for (;;) {
        UINT32 packet = 0;
        HRESULT hr = d->capture->GetNextPacketSize(&packet);
        if (SUCCEEDED(hr) && packet == 0)
            return VOXTAP_OK;
        BYTE *data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 qpcPosition = 0; // capture moment of the packet's first frame, 100 ns
        if (SUCCEEDED(hr))
            hr = d->capture->GetBuffer(&data, &frames, &flags, nullptr, &qpcPosition);
        if (hr == AUDCLNT_S_BUFFER_EMPTY)
            return VOXTAP_OK;
        if (FAILED(hr)) {
            if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
                notifyState(VOXTAP_STATE_NOTPRESENT);
                return VOXTAP_E_GETBUFFER;
            }
            voxtapLog(LogError, "VoxtapCoreAudioApi: reading the capture client: 0x%lx",
                      static_cast<unsigned long>(hr));
            return packet == 0 ? VOXTAP_E_PACKETSIZE : VOXTAP_E_GETBUFFER;
        }
        const size_t bytes = static_cast<size_t>(frames) * frameBytes;
        if (m_captureBuffer.size() < *pending + bytes)
            m_captureBuffer.resize(*pending + bytes);
        // Silence the client marks as such is written as silence: the
        // time line of the sound stays intact.
        if (data && !(flags & AUDCLNT_BUFFERFLAGS_SILENT))
            std::memcpy(m_captureBuffer.data() + *pending, data, bytes);
        else
            std::memset(m_captureBuffer.data() + *pending, 0, bytes);
        *pending += bytes;
        // The steady clock counts the same performance counter that stamps
        // the packets; the run's first frame lies the frames read so far
        // before this packet.
        if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) && m_iRunFrames > 0) {
            const int64_t overruns = m_iOverflows.fetch_add(1) + 1;
            voxtapLog(LogError, "VoxtapCoreAudioApi: \"%s\" overran (%lld overruns so far)", m_endpointId.c_str(),
                      static_cast<long long>(overruns));
        }
        if (qpcPosition != 0 && m_mix.sampleRate > 0)
            m_iRunStartUs = static_cast<int64_t>(qpcPosition / 10) - m_iRunFrames * 1000000 / m_mix.sampleRate;
        m_iRunFrames += frames;
        m_iFramesRead += frames;
        hr = d->capture->ReleaseBuffer(frames);
        if (FAILED(hr))
            return hr == AUDCLNT_E_DEVICE_INVALIDATED ? (notifyState(VOXTAP_STATE_NOTPRESENT), VOXTAP_E_GETBUFFER)
                                                      : VOXTAP_E_RELEASEBUFFER;
    }
}

int VoxtapCoreAudioApi::checkStalled(bool gotData, unsigned long long *lastDataMs)
{
    // A client whose stream the system has dropped may go on signalling
    // without data and without reporting an error from the capture calls;
    // the client itself still knows.
    const ULONGLONG now = GetTickCount64();
    if (gotData || now - *lastDataMs < kStallMs) {
        if (gotData)
            *lastDataMs = now;
        return VOXTAP_OK;
    }
    *lastDataMs = now;
    UINT32 padding = 0;
    const HRESULT hr = d->client->GetCurrentPadding(&padding);
    if (hr == AUDCLNT_E_DEVICE_INVALIDATED) {
        notifyState(VOXTAP_STATE_NOTPRESENT);
        return VOXTAP_E_GETBUFFER;
    }
    return FAILED(hr) ? VOXTAP_E_PACKETSIZE : VOXTAP_OK;
}

void VoxtapCoreAudioApi::packPending(size_t *pending)
{
    const size_t frameBytes = static_cast<size_t>(m_mix.blockAlign());
    const size_t blockFrames = static_cast<size_t>(std::max(1, m_mix.sampleRate / 100));
    size_t offset = 0;
    while (*pending - offset >= frameBytes) {
        const size_t frames = std::min(blockFrames, (*pending - offset) / frameBytes);
        if (m_packer.isReady())
            m_packer.pack(m_captureBuffer.data() + offset, static_cast<int>(frames), this);
        offset += frames * frameBytes;
    }
    if (offset > 0) {
        std::memmove(m_captureBuffer.data(), m_captureBuffer.data() + offset, *pending - offset);
        *pending -= offset;
    }
}

VoxtapCaptureTiming VoxtapCoreAudioApi::captureTiming() const
{
    VoxtapCaptureTiming timing;
    const int rate = m_packer.encoderSampleRate();
    if (m_iRunStartUs != 0 && rate > 0)
        timing.unitCaptureUs = m_iRunStartUs + m_packer.unitPts() * 1000000 / rate;
    timing.overflows = m_iOverflows.load();
    return timing;
}

void VoxtapCoreAudioApi::accessUnit(const uint8_t *data, int length)
{
    std::lock_guard<std::mutex> lock(m_receiverMutex);
    if (m_pReceiver)
        m_pReceiver->onAudioData(data, length);
}

int VoxtapCoreAudioApi::listDevices(std::list<VoxtapDeviceInfo> *devices, int flow)
{
    if (!devices)
        return VOXTAP_E_GENERIC;
    devices->clear();
    ComScope com;
    if (!com.usable())
        return VOXTAP_E_ENUMERATOR;
    IMMDeviceEnumerator *enumerator = nullptr;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                reinterpret_cast<void **>(&enumerator))))
        return VOXTAP_E_ENUMERATOR;
    std::vector<int> flows;
    if (flow == VOXTAP_FLOW_RENDER || flow == VOXTAP_FLOW_CAPTURE)
        flows.push_back(flow);
    else
        flows = {VOXTAP_FLOW_RENDER, VOXTAP_FLOW_CAPTURE};
    int result = VOXTAP_OK;
    for (int f : flows) {
        IMMDeviceCollection *collection = nullptr;
        UINT count = 0;
        if (FAILED(enumerator->EnumAudioEndpoints(f == VOXTAP_FLOW_RENDER ? eRender : eCapture,
                                                  DEVICE_STATE_ACTIVE, &collection))
            || FAILED(collection->GetCount(&count))) {
            releaseCom(collection);
            result = VOXTAP_E_ENDPOINT;
            break;
        }
        for (UINT i = 0; i < count; ++i) {
            IMMDevice *device = nullptr;
            IPropertyStore *store = nullptr;
            LPWSTR wid = nullptr;
            if (FAILED(collection->Item(i, &device)) || FAILED(device->GetId(&wid))
                || FAILED(device->OpenPropertyStore(STGM_READ, &store))) {
                CoTaskMemFree(wid);
                releaseCom(device);
                continue; // gone between counting and reading: not present
            }
            VoxtapDeviceInfo info;
            info.endpointId = toUtf8(wid);
            CoTaskMemFree(wid);
            info.friendlyName = stringProperty(store, PKEY_Device_FriendlyName);
            info.description = stringProperty(store, PKEY_Device_DeviceDesc);
            info.deviceInstanceId = stringProperty(store, kPkeyDeviceInstanceId);
            if (info.deviceInstanceId.empty())
                info.deviceInstanceId = info.endpointId;
            info.service = stringProperty(store, kPkeyDeviceService);
            info.state = VOXTAP_STATE_ACTIVE;
            info.dataFlow = f;
            releaseCom(store);
            releaseCom(device);
            try {
                devices->push_back(std::move(info));
            } catch (const std::bad_alloc &) {
                result = VOXTAP_E_GENERIC;
                break;
            }
        }
        releaseCom(collection);
        if (result != VOXTAP_OK)
            break;
    }
    releaseCom(enumerator);
    return result;
}

} // namespace voxtap
