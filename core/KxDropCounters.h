#pragma once
// Process-wide totals of media dropped while recording, for the stop-time
// log lines and the headless recorder's summary. Producers add from their
// own threads; readers may read at any time.

#include <atomic>
#include <cstdint>

struct KxDropCounters {
    /// Camera frames that never reached the encoder or the pool (intake
    /// busy, no free frame buffer, no free video packet).
    std::atomic<int64_t> videoFramesDropped{0};
    /// Encoded audio units that never reached the pool (no free packet).
    std::atomic<int64_t> audioBlocksDropped{0};
    /// Times the audio time line started again on the clock because the
    /// sound and the clock parted (a capture gap).
    std::atomic<int64_t> audioTimelineRestarts{0};

    static KxDropCounters &instance()
    {
        static KxDropCounters counters;
        return counters;
    }
};
