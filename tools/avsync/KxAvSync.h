#pragma once
// Measures how far a recording's sound is from its picture, from a
// recording of the virtual camera's flash picture and kx-click's clicks:
// both mark the same whole seconds of the monotonic clock. Each flash is
// the first frame of a run of bright frames; each click is the first
// sample of a run of loud sound after at least kQuietMs of quiet. Every
// click is paired with the nearest flash within half a second, and its
// offset is the click's time minus the flash's time in the file's time line
// (positive: the sound comes late).
//
// The sound is timed two ways. "played": as a player that plays the sound
// as one continuous run of samples from its first time stamp hears it
// (browsers and most players do). "stamped": by each decoded frame's own
// time stamp. The two differ when the stamps do not follow the samples.
//
// Threads: any; no state.

#include <string>
#include <vector>

namespace kxavsync {

/// The offsets of one view of the sound.
struct Offsets {
    std::vector<double> clickSeconds;   ///< file times of the clicks
    std::vector<double> offsetsMs;      ///< one per paired second, in file order
    double medianMs = 0;
    double worstMs = 0;                 ///< the offset farthest from 0 (signed)
};

struct Result {
    bool ok = false;
    std::string error;
    std::vector<double> flashSeconds;   ///< file times of the flashes
    Offsets played;                     ///< the sound as one run of samples
    Offsets stamped;                    ///< each frame at its own stamp
    double videoSeconds = 0;            ///< first frame to the end of the last
    double audioSeconds = 0;            ///< first sample to the end of the last
    double videoEndSeconds = 0;         ///< file time at which the picture ends
    double audioEndSeconds = 0;         ///< file time at which the sound ends
};

constexpr double kQuietMs = 200;

/// Decodes the first video and audio streams of path and measures.
Result measure(const std::string &path);

/// {"seconds", "median_ms", "worst_ms", "offsets_ms": [...], "played":
/// {...}, "stamped": {...}} of a result; the top-level figures are the
/// played view's, the two objects hold the same four keys per view.
std::string toJson(const Result &result);

} // namespace kxavsync
