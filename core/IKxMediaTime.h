#pragma once
// The recording clock: a monotonic millisecond stopwatch restarted when a
// recording starts and read by the audio and camera threads.

#include <chrono>
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
    /// The moment of the last start() in steadyNowUs()'s microseconds; -1
    /// before the first start(). Safe to call from any thread. A sample
    /// stamped by its source with a steady-clock moment is placed on the
    /// clock by subtraction: reading "now" from both clocks instead would
    /// put any preemption between the two reads into the stamp.
    virtual int64_t startedAtUs() = 0;

    /// CLOCK_MONOTONIC in microseconds: the clock of the recording clock,
    /// of the camera's buffer stamps and of libVoxtap's capture moments.
    static int64_t steadyNowUs()
    {
        // libstdc++'s steady_clock reads CLOCK_MONOTONIC.
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};
