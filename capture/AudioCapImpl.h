#pragma once
// The audio module's receiver of libVoxtap output, and the stamping of
// audio packets against the recording clock.

#include <Voxtap.h>

#include <cstdint>

namespace KxAudioModule {

class KxAudioCollector;

/// Places consecutive AAC access units on one continuous run of samples,
/// as a player plays them: the first unit of a recording is placed by the
/// clock, every later one exactly one frame of samples after the one
/// before, so the stamps (in samples, time base the sample rate) never
/// carry the jitter of the clock or of the deliveries.
///
/// Each unit comes with the clock's time at which its sound was captured,
/// as the engine measures it. Those measurements wander: a sound server's
/// latency estimate settles over the first seconds of a stream and drifts
/// by tens of milliseconds afterwards while the sound itself keeps time.
/// So the run follows a measured part (clock less sample count) only when
///  - it steps away from the parts before it (their running average) by
///    more than kResyncFrames frames for kConfirmUnits units in a row:
///    sound really missing (lost by the server, or paused) or a
///    measurement that jumped back; the run moves by the step;
///  - or the running average itself parts by more than kDriftFrames
///    frames: a sound clock that has run away from the recording clock.
/// reanchors() counts those. A unit on its own that parts from the line (a
/// late measurement) moves nothing. Without a clock the stamps count
/// samples from 0.
///
/// Threads: the capture thread only, after reset() on the starting thread.
class KxAudioStamper {
public:
    /// A step of more than this many frames is a gap.
    static constexpr int kResyncFrames = 2;
    /// Units in a row beyond that before the run starts again.
    static constexpr int kConfirmUnits = 2;
    /// The running average parting by more than this many frames is a
    /// sound clock running away; the measurements' own wander stays within.
    static constexpr int kDriftFrames = 5;
    /// Units the running average spans (about a second).
    static constexpr int kAverageUnits = 43;

    void reset(int sampleRate, int frameSamples = 1024);
    /// The stamp, in samples, of the next unit, whose first sound as a
    /// decoder gives it out was captured at capturedMs on the clock
    /// (ignored when hasClock is false). Call for dropped units too.
    int64_t next(double capturedMs, bool hasClock);
    /// Times the run started again on the clock since reset().
    int64_t reanchors() const { return m_reanchors; }
    /// How far (ms) the run moved when it last started again (positive:
    /// later, over a gap).
    double lastMoveMs() const { return m_lastMove * 1000.0 / m_rate; }
    int sampleRate() const { return m_rate; }
    int frameSamples() const { return m_frame; }

private:
    void moveRun(int64_t *line, double samples);

    int m_rate = 44100;
    int m_frame = 1024;
    int64_t m_count = 0;       // units stamped since reset
    int64_t m_anchor = 0;      // stamp of unit m_anchorUnit
    int64_t m_anchorUnit = 0;
    double m_average = 0;      // running average of the parts (samples)
    int m_beyond = 0;          // units in a row stepping away from it
    double m_beyondStep = 0;   // the smaller step among them (samples)
    double m_lastPart = 0;     // the last part on the line (samples)
    double m_lastMove = 0;     // the run's last move (samples)
    int64_t m_reanchors = 0;
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
