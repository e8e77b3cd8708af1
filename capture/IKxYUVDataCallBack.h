#pragma once
// Receiver of raw camera samples (MJPEG or YUY2, exactly as the camera
// delivered them).

#include <cstdint>

class IKxYUVDataCallBack {
public:
    virtual ~IKxYUVDataCallBack() = default;

    /// One raw sample. Called on the capture device's streaming thread
    /// ("kx-capture"); the bytes are valid only during the call and belong to
    /// the device. length may be 0 (a sample the driver delivered empty).
    /// A receiver that blocks holds up the streaming thread: the device then
    /// drops samples upstream, as a real capture driver does.
    /// \return 0 (the value is not looked at).
    virtual int onYUVData(const uint8_t *data, int length) = 0;

    /// The same sample with the moment the camera took it, in microseconds
    /// of CLOCK_MONOTONIC (0: not known). The booth delivers every sample
    /// this way; a receiver that has no use for the moment keeps this
    /// default.
    virtual int onYUVSample(const uint8_t *data, int length, int64_t capturedUs)
    {
        (void)capturedUs;
        return onYUVData(data, length);
    }
};
