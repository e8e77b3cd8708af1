#include "KxAudioCollector.h"

#include "KxDropCounters.h"

#include <VoxtapNames.h>

#include <IKxMediaPacket.h>
#include <IKxMediaTime.h>
#include <IKxModulePoolMgr.h>

#include <QDebug>

#include <algorithm>
#include <list>
#include <new>
#include <regex>
#include <string>

IKxModuleAudio *IKxModuleAudio::createInstance()
{
    return new KxAudioModule::KxAudioCollector();
}

namespace KxAudioModule {

KxAudioCollector::KxAudioCollector() = default;

KxAudioCollector::~KxAudioCollector()
{
    // The library must not call a receiver that is gone.
    if (m_pReceiver)
        Voxtap_SetDataCbk(nullptr);
}

int KxAudioCollector::init(const char *pattern, const KxAudioParams *params)
{
    qDebug() << "KxAudioCollector::init" << pattern;
    if (!pattern || !*pattern)
        return -1;
    try {
        std::regex(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error &e) {
        qWarning() << "KxAudioCollector::init: bad device pattern:" << e.what();
        return -1;
    }
    // Kept for every later start: a microphone missing now, or lost later,
    // is looked for again by the same pattern.
    m_pattern = pattern;
    m_iCodecId = kCodecAac;
    m_iBitRate = 64000;
    m_iChannels = 2;
    m_iSampleRate = 44100;
    if (params) {
        m_iBitRate = params->bitRate;
        m_iChannels = params->channels;
        m_iSampleRate = params->sampleRate;
    }
    // Only looked for: the engine (a sound-server stream and its thread)
    // waits for the countdown or the start.
    if (!hasMicrophone(pattern)) {
        qWarning() << "KxAudioCollector::init: no microphone matches" << pattern;
        return kNoMicrophone;
    }
    return 0;
}

int KxAudioCollector::prepare()
{
    std::lock_guard<std::mutex> guard(m_engineMutex);
    if (m_pattern.empty())
        return -1;
    if (m_bEngineReady && !m_bMicrophoneLost)
        return 0;
    if (m_bEngineReady)
        Voxtap_UnInit();
    return openMicrophone();
}

int KxAudioCollector::release()
{
    std::lock_guard<std::mutex> guard(m_engineMutex);
    if (m_bCapturing || !m_bEngineReady)
        return 0;
    qDebug() << "KxAudioCollector::release";
    m_bEngineReady = false;
    Voxtap_UnInit();
    return 0;
}

namespace {

// The first endpoint, in the library's order, that the pattern finds under
// any of the unit's names (the sound servers name one unit several ways).
const VoxtapDeviceInfo *findMicrophone(const std::list<VoxtapDeviceInfo> &devices, const std::regex &expression,
                                       std::string *matchedName)
{
    for (const VoxtapDeviceInfo &d : devices) {
        for (const std::string &name : voxtap::voxtapMatchNames(d)) {
            if (std::regex_search(name, expression)) {
                *matchedName = name;
                return &d;
            }
        }
    }
    return nullptr;
}

} // namespace

bool KxAudioCollector::hasMicrophone(const char *pattern)
{
    if (!pattern || !*pattern)
        return false;
    try {
        const std::regex expression(pattern, std::regex::ECMAScript);
        std::list<VoxtapDeviceInfo> devices;
        Voxtap_ListDevices(&devices, VOXTAP_FLOW_CAPTURE);
        std::string name;
        return findMicrophone(devices, expression, &name) != nullptr;
    } catch (const std::regex_error &) {
        return false;
    }
}

int KxAudioCollector::openMicrophone()
{
    m_bEngineReady = false;
    m_bMicrophoneLost = false;
    const std::regex expression(m_pattern, std::regex::ECMAScript);
    std::list<VoxtapDeviceInfo> devices;
    const int listed = Voxtap_ListDevices(&devices, VOXTAP_FLOW_CAPTURE);
    if (listed != 0)
        qWarning() << "KxAudioCollector::init: listing the microphones failed:" << Qt::hex << listed;
    for (const VoxtapDeviceInfo &d : devices)
        qDebug() << "KxAudioCollector::init: endpoint" << d.friendlyName.c_str() << d.endpointId.c_str();
    std::string matchedName;
    const VoxtapDeviceInfo *chosen = findMicrophone(devices, expression, &matchedName);
    if (!chosen) {
        qWarning() << "KxAudioCollector::init: no microphone matches" << m_pattern.c_str();
        return kNoMicrophone;
    }
    qDebug() << "KxAudioCollector::init: pattern found" << matchedName.c_str();
    const VoxtapAudioParams audio{m_iCodecId, m_iBitRate, m_iChannels, m_iSampleRate};
    const int result = Voxtap_InitWithId(chosen->endpointId.c_str(), &audio);
    qDebug() << "KxAudioCollector::init: microphone" << chosen->friendlyName.c_str() << "result" << result;
    m_bEngineReady = result == 0;
    return result;
}

int KxAudioCollector::reopenMicrophone()
{
    qInfo() << "KxAudioCollector::start: looking for the microphone again";
    Voxtap_Stop();
    Voxtap_UnInit();
    const int result = openMicrophone();
    // The library forgets its receiver with its engine.
    if (result == 0)
        Voxtap_SetDataCbk(m_pReceiver.get());
    return result;
}

int KxAudioCollector::setPoolModule(IKxModulePoolMgr *pool)
{
    qDebug() << "KxAudioCollector::setPoolModule";
    // The library may hold the old receiver; swap it out there first.
    if (m_pReceiver)
        Voxtap_SetDataCbk(nullptr);
    m_pReceiver.reset(new (std::nothrow) AudioCapImpl(this));
    m_pPool = pool;
    return m_pReceiver ? 0 : -1;
}

int KxAudioCollector::registerCallback(ICallBack *callback)
{
    qDebug() << "KxAudioCollector::registerCallback";
    m_pCallback = callback;
    return 0;
}

int KxAudioCollector::start(IKxMediaTime *clock)
{
    qDebug() << "KxAudioCollector::start";
    std::lock_guard<std::mutex> guard(m_engineMutex);
    m_pClock = clock;
    m_stamper.reset(m_iSampleRate);
    m_iNextFreeStamp = 0;
    m_iOverflowsSeen = 0;
    m_iStallsSeen = 0;
    m_iDelivered = 0;
    m_iDropped = 0;
    m_bCapturing = false;
    if (m_pattern.empty())
        return Voxtap_Start(); // never initialised: the library's answer
    Voxtap_SetDataCbk(m_pReceiver.get());
    // An engine that never came up, or whose microphone went away, is
    // opened again on whatever microphone now matches the pattern.
    int result = kNoMicrophone;
    if (m_bEngineReady && !m_bMicrophoneLost) {
        result = Voxtap_Start();
        if (result != 0)
            qWarning() << "KxAudioCollector::start: Voxtap_Start failed:" << Qt::hex << result;
    }
    if (result == VOXTAP_E_STARTED) {
        m_bCapturing = true;
        return result; // already capturing: nothing to find again
    }
    if (result != 0) {
        result = reopenMicrophone();
        if (result == 0)
            result = Voxtap_Start();
    }
    m_bCapturing = result == 0;
    if (result != 0) {
        qWarning() << "KxAudioCollector::start: no sound for this recording:" << Qt::hex << result;
        return result;
    }
    if (m_pCallback)
        m_pCallback->started();
    return 0;
}

int KxAudioCollector::pause()
{
    qDebug() << "KxAudioCollector::pause";
    return Voxtap_Pause(1);
}

int KxAudioCollector::resume()
{
    qDebug() << "KxAudioCollector::resume";
    return Voxtap_Pause(0);
}

int KxAudioCollector::stop()
{
    qDebug() << "KxAudioCollector::stop";
    const int result = Voxtap_Stop();
    qDebug() << "KxAudioCollector::stop: audio packets" << m_iDelivered.load() << "dropped"
             << m_iDropped.load() << "time line restarts" << m_stamper.reanchors() << "capture overruns"
             << m_iOverflowsSeen << "late reads" << m_iStallsSeen;
    if (!m_bCapturing || m_iDelivered.load() == 0)
        qWarning() << "KxAudioCollector::stop: this recording has no sound";
    m_bCapturing = false;
    if (m_pCallback)
        m_pCallback->stopped();
    // The next recording opens the microphone again, which also finds one
    // plugged in since.
    {
        std::lock_guard<std::mutex> guard(m_engineMutex);
        if (m_bEngineReady) {
            m_bEngineReady = false;
            Voxtap_UnInit();
        }
    }
    return result;
}

int KxAudioCollector::destory()
{
    qDebug() << "KxAudioCollector::destory";
    m_bEngineReady = false;
    return Voxtap_UnInit();
}

double KxAudioCollector::unitCaptureMs(double clockNowMs, int64_t nowUs, const VoxtapCaptureTiming &timing,
                                       double deliveryDelayMs)
{
    const int64_t ageUs = nowUs - timing.unitCaptureUs;
    // An engine that cannot tell, or a moment that cannot be right: the
    // unit left the encoder just now, its sound some frames before.
    if (timing.unitCaptureUs <= 0 || ageUs < -kMaxTimingErrorUs || ageUs > kMaxUnitAgeUs)
        return clockNowMs - deliveryDelayMs;
    return clockNowMs - static_cast<double>(ageUs) / 1000.0;
}

void KxAudioCollector::takeCaptureLosses(const VoxtapCaptureTiming &timing)
{
    const int64_t overflows = timing.overflows - m_iOverflowsSeen;
    const int64_t stalls = timing.stalls - m_iStallsSeen;
    if (overflows <= 0 && stalls <= 0)
        return;
    m_iOverflowsSeen = timing.overflows;
    m_iStallsSeen = timing.stalls;
    const int64_t lost = std::max<int64_t>(overflows, 0) + std::max<int64_t>(stalls, 0);
    KxDropCounters::instance().audioBlocksDropped.fetch_add(lost, std::memory_order_relaxed);
    qWarning() << "KxAudioCollector: the capture was held up: overruns" << timing.overflows << "late reads"
               << timing.stalls << "latency ms" << timing.latencyUs / 1000;
}

void KxAudioCollector::onAudioData(const unsigned char *data, int length)
{
    if (!m_pPool || !data || length <= 0)
        return;
    IKxMediaTime *clock = m_pClock;
    VoxtapCaptureTiming timing;
    if (Voxtap_GetCaptureTiming(&timing) != 0)
        timing = VoxtapCaptureTiming();
    takeCaptureLosses(timing);
    // "Now" is read once, and the clock's time derived from it to the
    // microsecond: libVoxtap's capture moment is on the same clock.
    const int64_t nowUs = IKxMediaTime::steadyNowUs();
    const int64_t startedUs = clock ? clock->startedAtUs() : -1;
    const double clockNowMs = startedUs >= 0 ? static_cast<double>(nowUs - startedUs) / 1000.0 : 0.0;
    const double deliveryDelayMs = kDeliveryFrames * 1000.0 * m_stamper.frameSamples() / m_stamper.sampleRate();
    const double capturedMs = unitCaptureMs(clockNowMs, nowUs, timing, deliveryDelayMs);
    // Stamp before borrowing: a dropped unit still moves the time line on.
    const int64_t restarts = m_stamper.reanchors();
    const int64_t stamp = m_stamper.next(capturedMs, clock != nullptr);
    if (m_stamper.reanchors() != restarts) {
        KxDropCounters::instance().audioTimelineRestarts.fetch_add(1, std::memory_order_relaxed);
        qWarning() << "KxAudioCollector: sound and clock parted by" << m_stamper.lastMoveMs()
                   << "ms: the sound starts again at" << stamp * 1000 / m_stamper.sampleRate() << "ms";
    }
    // Sound before the recording began (the encoder's priming at the
    // start), or sound that would overlap what is written after the run
    // started again earlier, has no place on the time line.
    if (stamp < m_iNextFreeStamp) {
        if (stamp >= 0) {
            m_iDropped.fetch_add(1, std::memory_order_relaxed);
            KxDropCounters::instance().audioBlocksDropped.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    // The pool lends only a few packets, and units come in bursts (after
    // the capture thread was held up, and when a stop drains the encoder):
    // waiting a little here costs nothing, the server keeps the sound
    // meanwhile, while a unit dropped is sound lost from the recording.
    IKxMediaPacket *packet = m_pPool->getAudioPacket(kPacketWaitMs);
    if (!packet) {
        const int64_t dropped = m_iDropped.fetch_add(1, std::memory_order_relaxed) + 1;
        KxDropCounters::instance().audioBlocksDropped.fetch_add(1, std::memory_order_relaxed);
        if (dropped == 1 || dropped % 100 == 0)
            qWarning() << "KxAudioCollector: no free audio packet within" << kPacketWaitMs << "ms: units dropped"
                       << dropped;
        return;
    }
    m_iNextFreeStamp = stamp + m_stamper.frameSamples();
    packet->setType(KX_PACKET_AUDIO);
    if (packet->alloc(length) < 0 || packet->setData(data, length) != 0) {
        // The pool takes packets back only through a push; an empty one
        // is skipped by the writers.
        packet->setSize(0);
        m_iDropped.fetch_add(1, std::memory_order_relaxed);
        KxDropCounters::instance().audioBlocksDropped.fetch_add(1, std::memory_order_relaxed);
    }
    KxAudioInfo info;
    info.channels = m_iChannels;
    info.bitRate = m_iBitRate;
    info.sampleRate = m_iSampleRate;
    // Stamps count samples: every unit lasts exactly its frame in the
    // files, which a time base of milliseconds cannot say.
    info.dts = stamp;
    info.pts = stamp;
    info.timeBase = m_stamper.sampleRate();
    packet->setAudioInfo(&info);
    if (m_pPool->pushAudioPacket(packet) == 0)
        m_iDelivered.fetch_add(1, std::memory_order_relaxed);
}

void KxAudioCollector::onDeviceState(const char *deviceId, int state)
{
    qDebug() << "KxAudioCollector::onDeviceState" << deviceId << state;
    if (state == VOXTAP_STATE_NOTPRESENT || state == VOXTAP_STATE_UNPLUGGED)
        m_bMicrophoneLost = true;
    if (m_pCallback)
        m_pCallback->deviceState(deviceId, state);
}

} // namespace KxAudioModule
