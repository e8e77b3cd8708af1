#include "AudioCapImpl.h"

#include "KxAudioCollector.h"

#include <algorithm>
#include <cmath>

namespace KxAudioModule {

void KxAudioStamper::reset(int sampleRate, int frameSamples)
{
    m_duration = 1000.0 * frameSamples / (sampleRate > 0 ? sampleRate : 44100);
    m_count = 0;
    m_offset = 0;
    m_last = -1;
}

int64_t KxAudioStamper::next(int64_t arrivalMs, bool hasClock)
{
    const double line = static_cast<double>(m_count) * m_duration;
    if (hasClock) {
        // Where this unit's sound would start if it had not been held up.
        // Sound from before the clock's start (the priming of a capture that
        // began with the clock) counts from 0: the stamps start late by at
        // most that much and are pulled to the clock within a second.
        const double captured = std::max(0.0, static_cast<double>(arrivalMs) - deliveryDelayMs());
        const double lag = captured - line;
        m_lags[m_count % kWindow] = lag;
        const int filled = static_cast<int>(std::min<int64_t>(m_count + 1, kWindow));
        const double earliest = *std::min_element(m_lags, m_lags + filled);
        if (m_count == 0) {
            m_offset = lag;
        } else if (filled == kWindow && earliest - m_offset > kResyncMs) {
            m_offset = earliest;
        } else {
            const double limit = m_duration * kMaxStep;
            m_offset += std::clamp((earliest - m_offset) * kPull, -limit, limit);
        }
    }
    ++m_count;
    int64_t stamp = std::llround(line + m_offset);
    if (stamp <= m_last)
        stamp = m_last + 1;
    m_last = stamp;
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
