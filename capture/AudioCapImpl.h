#pragma once
// The audio module's receiver of libVoxtap output, and the stamping of
// audio packets against the recording clock.

#include <Voxtap.h>

#include <cstdint>

namespace KxAudioModule {

class KxAudioCollector;

/// Gives consecutive AAC access units strictly increasing millisecond
/// stamps spaced like their sound (frame samples at the encoder's rate)
/// while staying on the recording clock.
///
/// Deliveries arrive in bursts at block boundaries, several in the same
/// millisecond at times, so the raw arrival time is not a usable stamp.
/// The stamps follow the sample count instead and are pulled gently
/// towards the arrival times; a gap in the sound (the clock running well
/// ahead of the sample count) makes the stamps jump to the clock, so a
/// gap stays a gap. Without a clock the stamps count samples from 0.
///
/// Threads: the capture thread only, after reset() on the starting thread.
class KxAudioStamper {
public:
    /// Beyond this lead of the clock the stamps jump to the clock.
    static constexpr double kResyncMs = 100.0;
    /// Share of the difference to the arrival time corrected per unit.
    static constexpr double kPull = 1.0 / 16.0;
    /// Largest correction per unit, as a share of the unit's duration.
    static constexpr double kMaxStep = 0.25;

    void reset(int sampleRate, int frameSamples = 1024);
    /// The stamp of the next unit, which arrived at arrivalMs on the clock
    /// (ignored when hasClock is false). Call for dropped units too.
    int64_t next(int64_t arrivalMs, bool hasClock);
    double unitDurationMs() const { return m_duration; }

private:
    double m_duration = 1024.0 * 1000.0 / 44100.0;
    double m_next = 0;
    int64_t m_last = -1;
    bool m_started = false;
};

/// libVoxtap's receiver: forwards each access unit and device notice to
/// its collector. Called on the library's threads.
class AudioCapImpl : public VoxtapNotify {
public:
    explicit AudioCapImpl(KxAudioCollector *collector) : m_pCollector(collector) {}
    void onDeviceState(const char *deviceId, int state) override;
    void onAudioData(const unsigned char *data, int length) override;

private:
    KxAudioCollector *m_pCollector;
};

} // namespace KxAudioModule
