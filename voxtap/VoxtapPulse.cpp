#include "VoxtapPulse.h"

#include "VoxtapLog.h"
#include "VoxtapNames.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace voxtap {

namespace {

struct Deadline {
    pa_threaded_mainloop *mainloop = nullptr;
    bool expired = false;
};

void deadlineCb(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *userdata)
{
    auto *d = static_cast<Deadline *>(userdata);
    d->expired = true;
    pa_threaded_mainloop_signal(d->mainloop, 0);
}

float averageVolume(const pa_cvolume &v)
{
    if (!pa_cvolume_valid(&v))
        return 1.0f;
    const float level = static_cast<float>(pa_cvolume_avg(&v)) / static_cast<float>(PA_VOLUME_NORM);
    return std::clamp(level, 0.0f, 1.0f);
}

std::string propOr(pa_proplist *props, const char *key, const std::string &fallback)
{
    const char *value = props ? pa_proplist_gets(props, key) : nullptr;
    return value && *value ? std::string(value) : fallback;
}

template <typename Port>
bool portUnavailable(const Port *active)
{
    return active && active->available == PA_PORT_AVAILABLE_NO;
}

template <typename Info>
void fillCommon(const Info *i, EndpointInfo *out)
{
    out->name = i->name ? i->name : "";
    out->spec = i->sample_spec;
    out->channelMap = i->channel_map;
    out->volume = averageVolume(i->volume);
    out->muted = i->mute != 0;
}

struct LookupState {
    PulseConnection *conn = nullptr;
    EndpointInfo *out = nullptr;
    bool found = false;
    bool done = false;
};

void sourceLookupCb(pa_context *, const pa_source_info *i, int eol, void *userdata)
{
    auto *st = static_cast<LookupState *>(userdata);
    if (eol != 0) {
        st->done = true;
        st->conn->signal();
        return;
    }
    if (!i)
        return;
    fillCommon(i, st->out);
    st->out->flow = VOXTAP_FLOW_CAPTURE;
    st->out->index = i->index;
    st->out->captureSource = st->out->name;
    st->out->isMonitor = i->monitor_of_sink != PA_INVALID_INDEX;
    st->out->unplugged = portUnavailable(i->active_port);
    st->found = true;
}

void sinkLookupCb(pa_context *, const pa_sink_info *i, int eol, void *userdata)
{
    auto *st = static_cast<LookupState *>(userdata);
    if (eol != 0) {
        st->done = true;
        st->conn->signal();
        return;
    }
    if (!i)
        return;
    fillCommon(i, st->out);
    st->out->flow = VOXTAP_FLOW_RENDER;
    st->out->index = i->index;
    st->out->captureSource = i->monitor_source_name ? i->monitor_source_name : "";
    st->out->hardwareMute = (i->flags & PA_SINK_HW_MUTE_CTRL) != 0;
    st->out->unplugged = portUnavailable(i->active_port);
    st->found = true;
}

/// What a card adds to the names of its sources and sinks.
struct CardNames {
    std::list<std::string> names;  ///< product name, ALSA card name, description
    std::string vendorId;
    std::string productId;
};

struct ListState {
    PulseConnection *conn = nullptr;
    std::list<VoxtapDeviceInfo> *out = nullptr;
    std::map<uint32_t, CardNames> cards;
    bool done = false;
};

void appendName(std::list<std::string> *names, const char *value)
{
    if (value && *value && std::find(names->begin(), names->end(), value) == names->end())
        names->push_back(value);
}

// "0x1d6c" and "1d6c" both give "1D6C".
std::string usbIdText(std::string id)
{
    if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X'))
        id.erase(0, 2);
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return id;
}

void cardListCb(pa_context *, const pa_card_info *i, int eol, void *userdata)
{
    auto *st = static_cast<ListState *>(userdata);
    if (eol != 0) {
        st->done = true;
        st->conn->signal();
        return;
    }
    if (!i)
        return;
    CardNames &card = st->cards[i->index];
    for (const char *key : {"device.product.name", "alsa.card_name", "device.description"})
        appendName(&card.names, pa_proplist_gets(i->proplist, key));
    card.vendorId = propOr(i->proplist, "device.vendor.id", "");
    card.productId = propOr(i->proplist, "device.product.id", "");
}

// The unit's names, best first. PulseAudio copies its card's udev and ALSA
// names onto every source and sink (the USB ID database name wins over the
// unit's own string for device.product.name); PipeWire gives only the
// node's own properties (ALSA card name, nick, a description with the
// profile appended) and keeps the product name on the card.
template <typename Info>
std::list<std::string> unitNames(const Info *i, const ListState &st)
{
    std::list<std::string> names;
    for (const char *key : {"device.product.name", "alsa.card_name"})
        appendName(&names, pa_proplist_gets(i->proplist, key));
    std::string vendorId = propOr(i->proplist, "device.vendor.id", "");
    std::string productId = propOr(i->proplist, "device.product.id", "");
    const auto card = st.cards.find(i->card);
    if (i->card != PA_INVALID_INDEX && card != st.cards.end()) {
        for (const std::string &name : card->second.names)
            appendName(&names, name.c_str());
        if (vendorId.empty() || productId.empty()) {
            vendorId = card->second.vendorId;
            productId = card->second.productId;
        }
    }
    if (!vendorId.empty() && !productId.empty())
        names.push_back("USB\\VID_" + usbIdText(vendorId) + "&PID_" + usbIdText(productId));
    return names;
}

template <typename Info>
VoxtapDeviceInfo deviceRecord(const Info *i, int flow, const ListState &st)
{
    VoxtapDeviceInfo d;
    d.endpointId = i->name ? i->name : "";
    d.description = i->description ? i->description : "";
    d.unitNames = unitNames(i, st);
    // The USB ids, when present, come last and never name the endpoint.
    std::string unit = withoutProfileSuffix(d.description);
    if (!d.unitNames.empty() && d.unitNames.front().rfind("USB\\VID_", 0) != 0)
        unit = d.unitNames.front();
    d.friendlyName = friendlyName(flow, unit);
    d.deviceInstanceId = propOr(i->proplist, "device.bus_path", d.endpointId);
    d.service = i->driver ? i->driver : "";
    d.state = VOXTAP_STATE_ACTIVE;
    d.dataFlow = flow;
    return d;
}

void sourceListCb(pa_context *, const pa_source_info *i, int eol, void *userdata)
{
    auto *st = static_cast<ListState *>(userdata);
    if (eol != 0) {
        st->done = true;
        st->conn->signal();
        return;
    }
    // Monitors are the loopback side of sinks, listed as render endpoints;
    // an unplugged jack is not a present endpoint.
    if (!i || i->monitor_of_sink != PA_INVALID_INDEX || portUnavailable(i->active_port))
        return;
    st->out->push_back(deviceRecord(i, VOXTAP_FLOW_CAPTURE, *st));
}

void sinkListCb(pa_context *, const pa_sink_info *i, int eol, void *userdata)
{
    auto *st = static_cast<ListState *>(userdata);
    if (eol != 0) {
        st->done = true;
        st->conn->signal();
        return;
    }
    if (!i || portUnavailable(i->active_port))
        return;
    st->out->push_back(deviceRecord(i, VOXTAP_FLOW_RENDER, *st));
}

struct ServerState {
    PulseConnection *conn = nullptr;
    std::string source;
    std::string sink;
    bool done = false;
};

void serverInfoCb(pa_context *, const pa_server_info *i, void *userdata)
{
    auto *st = static_cast<ServerState *>(userdata);
    if (i) {
        st->source = i->default_source_name ? i->default_source_name : "";
        st->sink = i->default_sink_name ? i->default_sink_name : "";
    }
    st->done = true;
    st->conn->signal();
}

struct SuccessState {
    PulseConnection *conn = nullptr;
    bool done = false;
    bool ok = false;
};

void successCb(pa_context *, int success, void *userdata)
{
    auto *st = static_cast<SuccessState *>(userdata);
    st->ok = success != 0;
    st->done = true;
    st->conn->signal();
}

void streamSuccessCb(pa_stream *, int success, void *userdata)
{
    successCb(nullptr, success, userdata);
}

} // namespace

PulseConnection::~PulseConnection()
{
    close();
}

void PulseConnection::contextStateCb(pa_context *c, void *userdata)
{
    auto *self = static_cast<PulseConnection *>(userdata);
    const pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY)
        self->m_bWasReady = true;
    if (!PA_CONTEXT_IS_GOOD(state) && self->m_bWasReady) {
        self->m_bWasReady = false;
        if (self->m_failureListener)
            self->m_failureListener();
    }
    self->signal();
}

int PulseConnection::open(const char *clientName)
{
    close();
    m_pMainloop = pa_threaded_mainloop_new();
    if (!m_pMainloop) {
        voxtapLog(LogError, "PulseConnection::open: pa_threaded_mainloop_new failed");
        return VOXTAP_E_ENUMERATOR;
    }
    pa_threaded_mainloop_set_name(m_pMainloop, "kx-voxtap-pa");
    m_pContext = pa_context_new(pa_threaded_mainloop_get_api(m_pMainloop), clientName);
    if (!m_pContext) {
        voxtapLog(LogError, "PulseConnection::open: pa_context_new failed");
        close();
        return VOXTAP_E_ENUMERATOR;
    }
    pa_context_set_state_callback(m_pContext, &PulseConnection::contextStateCb, this);
    if (pa_threaded_mainloop_start(m_pMainloop) < 0) {
        voxtapLog(LogError, "PulseConnection::open: pa_threaded_mainloop_start failed");
        close();
        return VOXTAP_E_ENUMERATOR;
    }
    bool ready = false;
    {
        PulseLock l(*this);
        // A library must never spawn a sound server of its own.
        if (pa_context_connect(m_pContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            voxtapLog(LogError, "PulseConnection::open: pa_context_connect: %s",
                      pa_strerror(pa_context_errno(m_pContext)));
        } else {
            waitFor([this] {
                const pa_context_state_t s = pa_context_get_state(m_pContext);
                return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
            });
            ready = pa_context_get_state(m_pContext) == PA_CONTEXT_READY;
            if (!ready)
                voxtapLog(LogError, "PulseConnection::open: no sound server: %s",
                          pa_strerror(pa_context_errno(m_pContext)));
        }
    }
    if (!ready) {
        close();
        return VOXTAP_E_ENUMERATOR;
    }
    return VOXTAP_OK;
}

void PulseConnection::close()
{
    if (!m_pMainloop)
        return;
    if (m_pContext) {
        lock();
        pa_context_set_state_callback(m_pContext, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_pContext, nullptr, nullptr);
        pa_context_disconnect(m_pContext);
        pa_context_unref(m_pContext);
        m_pContext = nullptr;
        unlock();
    }
    pa_threaded_mainloop_stop(m_pMainloop);
    pa_threaded_mainloop_free(m_pMainloop);
    m_pMainloop = nullptr;
    m_bWasReady = false;
}

bool PulseConnection::isReady() const
{
    return m_pContext && pa_context_get_state(m_pContext) == PA_CONTEXT_READY;
}

bool PulseConnection::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    Deadline deadline;
    deadline.mainloop = m_pMainloop;
    pa_time_event *timer = pa_context_rttime_new(
        m_pContext, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * PA_USEC_PER_MSEC,
        deadlineCb, &deadline);
    if (!timer)
        return done();
    while (!done() && !deadline.expired)
        pa_threaded_mainloop_wait(m_pMainloop);
    pa_threaded_mainloop_get_api(m_pMainloop)->time_free(timer);
    return done();
}

bool PulseConnection::runOperation(pa_operation *op, int timeoutMs)
{
    if (!op)
        return false;
    const bool finished = waitFor([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; },
                                  timeoutMs);
    if (!finished)
        pa_operation_cancel(op);
    pa_operation_unref(op);
    return finished;
}

bool PulseConnection::runSuccessOperation(
    const std::function<pa_operation *(pa_context_success_cb_t, void *)> &make)
{
    SuccessState st;
    st.conn = this;
    pa_operation *op = make(successCb, &st);
    if (!op)
        return false;
    runOperation(op);
    return st.done && st.ok;
}

bool PulseConnection::runStreamOperation(
    const std::function<pa_operation *(pa_stream_success_cb_t, void *)> &make)
{
    SuccessState st;
    st.conn = this;
    pa_operation *op = make(streamSuccessCb, &st);
    if (!op)
        return false;
    runOperation(op);
    return st.done && st.ok;
}

bool PulseConnection::findEndpoint(const std::string &name, EndpointInfo *out)
{
    if (name.empty())
        return false;
    LookupState st;
    st.conn = this;
    st.out = out;
    runOperation(pa_context_get_source_info_by_name(m_pContext, name.c_str(), sourceLookupCb, &st));
    // pipewire-pulse answers a sink's name with the sink's monitor source
    // (one node plays both parts); the name denotes the sink.
    if (st.found && !(st.out->isMonitor && st.out->name != name))
        return true;
    st.found = false;
    st.done = false;
    *out = EndpointInfo();
    runOperation(pa_context_get_sink_info_by_name(m_pContext, name.c_str(), sinkLookupCb, &st));
    return st.found;
}

bool PulseConnection::findEndpointByIndex(int flow, uint32_t index, EndpointInfo *out)
{
    LookupState st;
    st.conn = this;
    st.out = out;
    if (flow == VOXTAP_FLOW_RENDER)
        runOperation(pa_context_get_sink_info_by_index(m_pContext, index, sinkLookupCb, &st));
    else
        runOperation(pa_context_get_source_info_by_index(m_pContext, index, sourceLookupCb, &st));
    return st.found;
}

std::string PulseConnection::defaultEndpoint(bool capture)
{
    ServerState st;
    st.conn = this;
    if (!runOperation(pa_context_get_server_info(m_pContext, serverInfoCb, &st)) || !st.done)
        return {};
    return capture ? st.source : st.sink;
}

int PulseConnection::listEndpoints(int flow, std::list<VoxtapDeviceInfo> *out)
{
    ListState st;
    st.conn = this;
    st.out = out;
    // Cards add the unit's names to their endpoints; a server without
    // cards (or a failed query) leaves the endpoints' own names.
    if (!runOperation(pa_context_get_card_info_list(m_pContext, cardListCb, &st)) || !st.done) {
        voxtapLog(LogError, "PulseConnection::listEndpoints: card list failed: %s",
                  pa_strerror(pa_context_errno(m_pContext)));
        st.cards.clear();
    }
    st.done = false;
    if (flow != VOXTAP_FLOW_CAPTURE) {
        if (!runOperation(pa_context_get_sink_info_list(m_pContext, sinkListCb, &st)) || !st.done) {
            voxtapLog(LogError, "PulseConnection::listEndpoints: sink list failed: %s",
                      pa_strerror(pa_context_errno(m_pContext)));
            return VOXTAP_E_ENDPOINT;
        }
    }
    if (flow != VOXTAP_FLOW_RENDER) {
        st.done = false;
        if (!runOperation(pa_context_get_source_info_list(m_pContext, sourceListCb, &st)) || !st.done) {
            voxtapLog(LogError, "PulseConnection::listEndpoints: source list failed: %s",
                      pa_strerror(pa_context_errno(m_pContext)));
            return VOXTAP_E_ENDPOINT;
        }
    }
    return VOXTAP_OK;
}

} // namespace voxtap
