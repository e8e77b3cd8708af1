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
/// Each unit comes with the clock's time at which its sound was captured.
/// Only when that and the sample count part by more than kResyncFrames
/// frames for kConfirmUnits units in a row (sound really missing: lost by
/// the server, or paused; or a clock that has run away from the sound's
/// own) does the run start again on the clock; reanchors() counts those.
/// A unit on its own that parts from the line (a late measurement) moves
/// nothing. Without a clock the stamps count samples from 0.
///
/// Threads: the capture thread only, after reset() on the starting thread.
class KxAudioStamper {
public:
    /// Clock and sample count parting by more than this many frames is a gap.
    static constexpr int kResyncFrames = 2;
    /// Units in a row beyond that before the run starts again.
    static constexpr int kConfirmUnits = 2;

    void reset(int sampleRate, int frameSamples = 1024);
    /// The stamp, in samples, of the next unit, whose first sound as a
    /// decoder gives it out was captured at capturedMs on the clock
    /// (ignored when hasClock is false). Call for dropped units too.
    int64_t next(double capturedMs, bool hasClock);
    /// Times the run started again on the clock since reset().
    int64_t reanchors() const { return m_reanchors; }
    /// How far (ms) the clock was ahead of the sample count when the run
    /// last started again.
    double lastPartMs() const { return m_lastPart * 1000.0 / m_rate; }
    int sampleRate() const { return m_rate; }
    int frameSamples() const { return m_frame; }

private:
    int m_rate = 44100;
    int m_frame = 1024;
    int64_t m_count = 0;       // units stamped since reset
    int64_t m_anchor = 0;      // stamp of unit m_anchorUnit
    int64_t m_anchorUnit = 0;
    int m_beyond = 0;          // units in a row parting from the line
    double m_beyondPart = 0;   // the smaller part among them (samples)
    double m_lastPart = 0;
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
