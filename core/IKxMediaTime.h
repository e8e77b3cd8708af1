#pragma once
// The recording clock: a monotonic millisecond stopwatch restarted when a
// recording starts and read by the audio and camera threads.

#include <cstdint>

class IKxMediaTime {
public:
    virtual ~IKxMediaTime() = default;
    /// Restarts the clock; 0. Called on the commander's thread before the
    /// threads that read the clock start.
    virtual int start() = 0;
    /// Milliseconds since the last start(); 0 before the first start().
    /// Safe to call from any thread.
    virtual int64_t elapsed() = 0;
};
