#pragma once
// Camera capture on Linux: the device list, each device's capabilities,
// and streaming of raw samples (MJPEG or YUY2) on a streaming thread.
//
// Two backends sit behind this interface: V4L2 for real USB cameras, and a
// virtual camera for machines without the camera unit. When the environment
// variable KX_VIRTUAL_CAMERA is set, only virtual devices are listed: its
// value is "default" (one built-in device) or the path of a JSON file that
// describes devices and faults.
//
// Threads: enumerate/open/setFormat/start/stop/close are called from one
// controlling thread. Samples are delivered on the device's streaming thread
// ("kx-capture"); a slow sink blocks that thread, as a real capture driver
// would. Device events are queued and signalled through eventSignal().

#include "sync/KxSync.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kxcam {

/// One capture device as listed.
struct DeviceInfo {
    std::string friendlyName;  ///< the USB product name (V4L2 card name)
    std::string devicePath;    ///< "/dev/videoN", or "virtual:N"
    bool pathReadable = false; ///< false: the device is never used
};

/// FourCC codes as reported to callers.
constexpr uint32_t fourcc(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8) | (uint32_t(uint8_t(c)) << 16) |
           (uint32_t(uint8_t(d)) << 24);
}
constexpr uint32_t kFourccMJPG = fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kFourccYUY2 = fourcc('Y', 'U', 'Y', '2');

/// One capture format of a device.
struct Capability {
    enum Kind : int {
        KindOther = 0,      ///< a format block the caller cannot read (width counts as 0)
        KindVideoInfo = 1,  ///< classic video description
        KindVideoInfo2 = 2, ///< second-version video description
    };
    int kind = KindVideoInfo;
    int width = 0;
    int height = 0;
    int64_t frameDuration100ns = 0; ///< e.g. 666666 for 15 frames per second
    uint32_t fourcc = 0;            ///< kFourccMJPG or kFourccYUY2
};

/// Receiver of raw samples, called on the streaming thread. The data is
/// valid only during the call.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    virtual void onSample(const uint8_t *data, int length) = 0;
};

/// Something a running device reports.
struct DeviceEvent {
    enum Code : int {
        DeviceLost = 1,  ///< unplugged: no further samples
        StreamError = 2, ///< the driver reported an error
    };
    int code = 0;
    std::string text;
};

class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;

    /// Lists the capture devices in enumeration order. status (optional):
    /// 0, or -1 when the list could not be read at all.
    static std::vector<DeviceInfo> enumerate(int *status = nullptr);

    /// Opens a listed device; null on failure with the reason in error.
    static std::unique_ptr<CaptureDevice> open(const DeviceInfo &device, std::string *error = nullptr);

    virtual const DeviceInfo &info() const = 0;
    /// The formats the device offers (MJPG and YUY2 only), in the device's order.
    virtual std::vector<Capability> capabilities() = 0;
    /// Selects one of capabilities(); false (with a log line) on failure.
    virtual bool setFormat(const Capability &format) = 0;
    /// Starts streaming to sink (not owned). false when the device cannot
    /// start (no format set, already streaming, driver failure).
    virtual bool start(SampleSink *sink) = 0;
    /// Stops streaming; returns once the streaming thread has left the sink.
    /// Harmless when not streaming.
    virtual void stop() = 0;
    virtual bool isStreaming() const = 0;

    /// Auto-reset event set whenever an event is queued.
    virtual kxsync::Event *eventSignal() = 0;
    /// Takes the oldest queued event; false when none is queued.
    virtual bool takeEvent(DeviceEvent *event) = 0;
};

} // namespace kxcam
