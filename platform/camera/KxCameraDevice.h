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
#include <utility>
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
    /// Every frame duration the device offers at this size, shortest first;
    /// frameDuration100ns is the first. Empty when only that one is known.
    /// setFormat accepts any of them as the capability's frameDuration100ns.
    std::vector<int64_t> frameDurations100ns;
};

/// Receiver of raw samples, called on the streaming thread. The data is
/// valid only during the call. capturedUs is the moment the camera took the
/// sample, in microseconds of CLOCK_MONOTONIC (the clock of V4L2's buffer
/// stamps and of std::chrono::steady_clock), or 0 when the driver does not
/// say. A sample can reach the sink well after that moment: the streaming
/// thread may have been held up by the sink or the scheduler.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    virtual void onSample(const uint8_t *data, int length, int64_t capturedUs) = 0;
};

/// Now, in microseconds of the clock of SampleSink's capture moments.
int64_t monotonicUs();

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
    /// Bytes per row of the samples of the format set (the driver's
    /// bytesperline; rows may be padded); 0 when unknown or compressed.
    virtual int bytesPerLine() const { return 0; }
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

// ---------------------------------------------------------------------------
// Helpers shared by the backends, the tools and the tests.

/// Renders frame frameIndex of the virtual camera's test picture as packed
/// I420 (Y width*height, then U and V (width/2)*(height/2) each) into i420.
/// The picture is a function of (width, height, frameIndex,
/// frameDuration100ns) only: a smooth moving wave, a moving box, and a band
/// with the frame number and the frame's stream time (frameIndex times the
/// frame duration) drawn with a built-in font. width and height must be even.
/// Any thread.
void renderTestPattern(int width, int height, int64_t frameIndex, uint8_t *i420,
                       int64_t frameDuration100ns = 666666);

/// Encodes a packed I420 picture as a baseline JPEG (4:2:0) into out (resized
/// to the JPEG length; its capacity is reused). false (out emptied) when
/// libjpeg fails. Any thread.
bool encodeJpegI420(const uint8_t *i420, int width, int height, int quality, std::vector<uint8_t> *out);

/// Splits a file of concatenated JPEG pictures at their SOI/EOI markers
/// (FF D8 ... FF D9). Returns (offset, length) of each complete picture;
/// bytes outside pictures and an unterminated tail are ignored.
std::vector<std::pair<size_t, size_t>> splitJpegStream(const uint8_t *data, size_t size);

/// A JPEG picture that may lack its Huffman tables, as many MJPEG cameras
/// send them (decoders are expected to know the standard ones; strict ones
/// and most phone viewers do not). Returns 1 with the picture and the
/// standard tables (one DHT segment, before the frame header) in out, 0 when
/// the picture has tables of its own (out untouched), -1 when its header
/// segments cannot be read. Any thread.
int jpegWithHuffmanTables(const uint8_t *data, size_t size, std::vector<uint8_t> *out);

/// Maps a V4L2 pixel format to the FourCC reported to callers ("YUYV" is
/// reported as "YUY2", "MJPG" stays); 0 for formats this layer does not offer.
uint32_t fourccFromV4l2(uint32_t pixelformat);
/// The inverse of fourccFromV4l2; 0 for unknown codes.
uint32_t v4l2FromFourcc(uint32_t fourcc);
/// A V4L2 frame interval (seconds as numerator/denominator) in 100 ns units,
/// rounded to the nearest unit; 0 when the interval is not positive.
int64_t frameDurationFromInterval(uint32_t numerator, uint32_t denominator);
/// "MJPG" / "YUY2" style text of a FourCC (non-printable bytes as '?').
std::string fourccText(uint32_t fourcc);

} // namespace kxcam
