#pragma once
// The camera capture graph as seen by the camera module: finds the camera by
// a name pattern, chooses its capture format, runs and stops capture, and
// converts raw samples to I420.
//
// Threads: every operation except convert/convertI420 is called from the
// camera module's controlling thread (open may also run on a thread-pool
// worker before start; never concurrently with another operation). Samples go
// to the IKxYUVDataCallBack on the device's streaming thread.
// signalVideoSourceState is emitted on the controlling thread (state 2, and
// state 3 when rendering fails) or on the booth's event thread ("kx-cam-events",
// state 3 for every device event).
//
// Result codes (negative = failure): -1 wrong state or missing object,
// -2 control lookup failure, -5 no usable device or run/stop failure,
// -10 binding (opening the device) or rendering failure, -12 the format
// could not be set, -60 no usable device or the device list could not be read.

#include <QJsonObject>
#include <QMetaType>
#include <QObject>

#include <cstdint>

class IKxYUVDataCallBack;
struct KxVideoFrame;

/// The video-source state carried by signalVideoSourceState.
enum VisualizerState : int {
    VisualizerStopped = 2, ///< stopped by stopPreview
    VisualizerFailure = 3, ///< rendering failed, or the device reported an event
};
Q_DECLARE_METATYPE(VisualizerState)

class IKxBooth {
public:
    virtual ~IKxBooth() = default;

    /// The booth's QObject, for connecting signalVideoSourceState.
    virtual QObject *getObject() = 0;
    /// Deletes the booth (closing the device first).
    virtual void release() = 0;
    /// Receiver of raw samples (not owned); set before open.
    virtual void setIKxYUVDataCallBack(IKxYUVDataCallBack *callback) = 0;
    /// Preferred size for the next format choice; only the width takes part.
    virtual void setPreferVideoSize(int width, int height) = 0;
    /// Opens the first readable camera whose friendly name matches pattern
    /// (ECMAScript regular expression, case-sensitive, found anywhere in the
    /// name), or the first readable camera when none matches; chooses the
    /// format. 0 on success, 1 when already open, else a negative code above.
    /// A failed open leaves the booth closed, so it can be retried.
    virtual int open(const wchar_t *pattern) = 0;
    /// Choosing a format from outside is not supported: always -2.
    virtual int setCapFormat(const QJsonObject &format) = 0;
    /// -1 while no format was chosen; else copies the chosen format
    /// {"width", "height", "fps" (double), "format" (FourCC as integer)}, 0.
    virtual int getCapFormat(QJsonObject &format) = 0;
    /// Converts a raw sample into the caller's I420 picture, rotated by the
    /// rotate() setting and scaled to the picture's size. 0 on success, -1
    /// without a format or with a bad frame, -2 when the sample cannot be
    /// decoded. Any thread, but not concurrently with itself.
    virtual int convert(const uint8_t *sample, int length, KxVideoFrame *frame) = 0;
    /// Converts a raw sample of the chosen format into packed I420 at out
    /// (Y: width*height bytes, then U and V: width/2*height/2 bytes each).
    /// Returns width*height*3/2 when written (or, for a FourCC other than
    /// MJPG/YUY2, when nothing was written, leaving out untouched); -1 when no
    /// format was chosen, or out is null, or capacity is below
    /// width*height*3/2; 0 when the sample is empty, truncated or cannot be
    /// decoded (logged; out may hold a partial picture). Safe to call from any
    /// one thread at a time (the streaming thread in this system).
    virtual int convertI420(const uint8_t *sample, int length, uint8_t *out, int capacity) = 0;
    /// Stops (if running) and closes the device. 0, or 1 when already closed.
    virtual int close() = 0;
    /// Starts capture; requires an open booth (-1 otherwise); -5 when the
    /// device does not start. 0 on success.
    virtual int startPreview() = 0;
    /// Stops capture; 1 when not running. Returns once the streaming thread
    /// has left the sample callback. 0 on success.
    virtual int stopPreview() = 0;
    virtual bool isRunning() const = 0;
    /// Emits signalVideoSourceState(state).
    virtual void setVideoSourceState(VisualizerState state) = 0;
    /// 1 -> 90 degrees, 2 -> 180, 3 -> 270, anything else -> 0 (used by convert).
    virtual void rotate(int code) = 0;
};

#define IKxBooth_iid "com.vantri.Plurova.IKxBooth/1.0"
Q_DECLARE_INTERFACE(IKxBooth, IKxBooth_iid)
