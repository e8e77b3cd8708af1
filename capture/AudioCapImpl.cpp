#include "AudioCapImpl.h"

#include "KxAudioCollector.h"

#include <cmath>

namespace KxAudioModule {

void KxAudioStamper::reset(int sampleRate, int frameSamples)
{
    m_rate = sampleRate > 0 ? sampleRate : 44100;
    m_frame = frameSamples > 0 ? frameSamples : 1024;
    m_count = 0;
    m_anchor = 0;
    m_anchorUnit = 0;
    m_beyond = 0;
    m_beyondPart = 0;
    m_lastPart = 0;
    m_reanchors = 0;
}

int64_t KxAudioStamper::next(double capturedMs, bool hasClock)
{
    int64_t line = m_anchor + (m_count - m_anchorUnit) * m_frame;
    if (hasClock) {
        const double at = capturedMs * m_rate / 1000.0;
        if (m_count == 0) {
            m_anchor = line = std::llround(at);
            m_anchorUnit = 0;
        } else {
            const double part = at - static_cast<double>(line);
            if (std::fabs(part) <= static_cast<double>(kResyncFrames) * m_frame) {
                m_beyond = 0;
            } else {
                // A change of side starts a new count.
                if (m_beyond > 0 && (part > 0) != (m_beyondPart > 0))
                    m_beyond = 0;
                if (m_beyond == 0 || std::fabs(part) < std::fabs(m_beyondPart))
                    m_beyondPart = part;
                if (++m_beyond >= kConfirmUnits) {
                    // The smaller part: a measurement that came late must
                    // not push the sound later than it was.
                    m_lastPart = m_beyondPart;
                    m_anchor = line = line + std::llround(m_beyondPart);
                    m_anchorUnit = m_count;
                    m_beyond = 0;
                    ++m_reanchors;
                }
            }
        }
    }
    ++m_count;
    return line;
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
