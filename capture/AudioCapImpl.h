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
/// millisecond at times, and late whenever the capture thread was held up
/// (a loaded machine stalls it for hundreds of milliseconds, while the
/// server keeps the sound), so the raw arrival time is not a usable stamp.
/// The stamps follow the sample count instead. A unit never arrives
/// early, so the earliest arrival relative to the sample count over the
/// last kWindow units is the best measure of where the sound stands on
/// the clock; the stamps are pulled gently towards it. Only when even the
/// earliest of the recent units is more than kResyncMs behind (sound was
/// really missing: paused, or lost by the server) do the stamps jump to
/// the clock, so a gap stays a gap. Without a clock the stamps count
/// samples from 0.
///
/// Threads: the capture thread only, after reset() on the starting thread.
class KxAudioStamper {
public:
    /// A lag of the sound behind the clock beyond this is a gap.
    static constexpr double kResyncMs = 100.0;
    /// Share of the difference to the clock corrected per unit.
    static constexpr double kPull = 1.0 / 16.0;
    /// Largest correction per unit, as a share of the unit's duration.
    static constexpr double kMaxStep = 0.25;
    /// Units over which the earliest arrival is taken (about 0.7 s).
    static constexpr int kWindow = 32;
    /// Encoder frames from the capture of a unit's first sound to the unit's
    /// earliest arrival. The AAC encoder starts with a frame of priming, so
    /// a unit's sound begins a frame before the input frame it was made for;
    /// it runs one frame behind, so the unit comes out with the input frame
    /// after that one, once that frame's last sample has been captured. A
    /// capture block is delivered as soon as it is full, so over the window
    /// the earliest unit arrives within a millisecond or so of that sample.
    static constexpr int kDeliveryFrames = 3;

    void reset(int sampleRate, int frameSamples = 1024);
    /// The stamp of the next unit, which arrived at arrivalMs on the clock
    /// (ignored when hasClock is false). Call for dropped units too. A
    /// stamp is the clock's time at which the unit's sound, as a decoder
    /// gives it out, was captured (see kDeliveryFrames).
    int64_t next(int64_t arrivalMs, bool hasClock);
    /// How long after the capture of its first sound a unit arrives at the
    /// earliest.
    double deliveryDelayMs() const { return kDeliveryFrames * m_duration; }
    double unitDurationMs() const { return m_duration; }

private:
    double m_duration = 1024.0 * 1000.0 / 44100.0;
    int64_t m_count = 0;   // units stamped since reset
    double m_offset = 0;   // clock time of unit 0's sound on the current line
    double m_lags[kWindow] = {};
    int64_t m_last = -1;
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
