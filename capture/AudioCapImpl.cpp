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
    m_average = 0;
    m_beyond = 0;
    m_beyondStep = 0;
    m_lastPart = 0;
    m_lastMove = 0;
    m_reanchors = 0;
}

void KxAudioStamper::moveRun(int64_t *line, double samples)
{
    m_lastMove = samples;
    m_anchor = *line = *line + std::llround(samples);
    m_anchorUnit = m_count;
    m_beyond = 0;
    ++m_reanchors;
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
            const double step = part - m_average;
            if (std::fabs(step) <= static_cast<double>(kResyncFrames) * m_frame) {
                m_beyond = 0;
                m_lastPart = part;
                m_average += (part - m_average) / kAverageUnits;
                if (std::fabs(m_average) > static_cast<double>(kDriftFrames) * m_frame) {
                    moveRun(&line, m_average);
                    m_lastPart -= m_average;
                    m_average = 0;
                }
            } else {
                // A change of side starts a new count.
                if (m_beyond > 0 && (step > 0) != (m_beyondStep > 0))
                    m_beyond = 0;
                // The step's size is taken from the last part on the line:
                // the average lags the measurements' own wander.
                const double size = part - m_lastPart;
                if (m_beyond == 0 || std::fabs(size) < std::fabs(m_beyondStep))
                    m_beyondStep = size;
                // The smaller step: a measurement that came late must not
                // push the sound later than it was.
                if (++m_beyond >= kConfirmUnits)
                    moveRun(&line, m_beyondStep);
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
