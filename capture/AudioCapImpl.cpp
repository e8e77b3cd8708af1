#include "AudioCapImpl.h"

#include "KxAudioCollector.h"

#include <algorithm>
#include <cmath>

namespace KxAudioModule {

void KxAudioStamper::reset(int sampleRate, int frameSamples)
{
    m_duration = 1000.0 * frameSamples / (sampleRate > 0 ? sampleRate : 44100);
    m_next = 0;
    m_last = -1;
    m_started = false;
}

int64_t KxAudioStamper::next(int64_t arrivalMs, bool hasClock)
{
    double t;
    if (!m_started) {
        t = hasClock ? static_cast<double>(arrivalMs) : 0.0;
        m_started = true;
    } else {
        t = m_next;
        if (hasClock) {
            const double drift = static_cast<double>(arrivalMs) - t;
            if (drift > kResyncMs) {
                t = static_cast<double>(arrivalMs);
            } else {
                const double limit = m_duration * kMaxStep;
                t += std::clamp(drift * kPull, -limit, limit);
            }
        }
    }
    int64_t stamp = std::llround(t);
    if (stamp <= m_last) {
        stamp = m_last + 1;
        t = static_cast<double>(stamp);
    }
    m_last = stamp;
    m_next = t + m_duration;
    return stamp;
}

void AudioCapImpl::onDeviceState(const char *deviceId, int state)
{
    if (m_pCollector)
        m_pCollector->onDeviceState(deviceId, state);
}

void AudioCapImpl::onAudioData(const unsigned char *data, int length)
{
    if (m_pCollector)
        m_pCollector->onAudioData(data, length);
}

} // namespace KxAudioModule
