#pragma once
// The camera capture graph over the platform camera layer (kxcam).
//
// The device search and the format choice are rules over plain data
// (searchDevices, selectCapability) so that they can be exercised without a
// camera; open() applies them to the live device list.

#include "IKxBooth.h"
#include "IKxYUVDataCallBack.h"

#include <camera/KxCameraDevice.h>

#include <QJsonObject>
#include <QObject>
#include <QSize>

#include <memory>
#include <string>
#include <vector>

class KxBoothPrivate;

class KxBooth : public QObject, public IKxBooth {
    Q_OBJECT
    Q_INTERFACES(IKxBooth)
public:
    /// Graph state (_State).
    enum _State : int {
        StateNone = 0,     ///< nothing open
        StateCreated = 1,  ///< being opened
        StateRunning = 2,  ///< capturing
        StateRendered = 3, ///< open with a format chosen, or stopped
    };

    /// Longest name pattern kept as the capture filter name (the last of the
    /// 260 characters is the terminator).
    static constexpr int kMaxFilterName = 260;

    explicit KxBooth(QObject *parent = nullptr);
    ~KxBooth() override;

    QObject *getObject() override;
    void release() override;
    void setIKxYUVDataCallBack(IKxYUVDataCallBack *callback) override;
    void setPreferVideoSize(int width, int height) override;
    int open(const wchar_t *pattern) override;
    int setCapFormat(const QJsonObject &format) override;
    int getCapFormat(QJsonObject &format) override;
    int convert(const uint8_t *sample, int length, KxVideoFrame *frame) override;
    int convertI420(const uint8_t *sample, int length, uint8_t *out, int capacity) override;
    int close() override;
    int startPreview() override;
    int stopPreview() override;
    bool isRunning() const override;
    void setVideoSourceState(VisualizerState state) override;
    void rotate(int code) override;

    /// The graph state (_State). Controlling thread.
    int state() const;
    /// The friendly name of the opened device, and the name the capture runs
    /// under (the pattern when it matched, else "DefaultCamera").
    std::string deviceName() const;
    std::wstring captureFilterName() const;

    /// Device search over the live device list (kxcam::CaptureDevice::enumerate).
    /// Returns 1 with the matching device in matched, 0 when devices exist but
    /// none matched (the first device in first when its path was readable),
    /// -5 when no listed device is usable, -2 when the list could not be read
    /// or is empty.
    /// Either out pointer may be null. Any thread.
    static int getCamMoniker(const wchar_t *pattern, kxcam::DeviceInfo *matched, kxcam::DeviceInfo *first);

    /// The search rule over a plain list: index of the matching device in
    /// matched, of the first device (index 0, only when readable) in first
    /// (-1 when none). Returns 1 matched, 0 no match, -5 no usable device.
    /// Devices with an unreadable path are never chosen. A pattern that is
    /// not a valid regular expression matches nothing (logged).
    static int searchDevices(const std::vector<kxcam::DeviceInfo> &devices, const std::wstring &pattern,
                             int *matched, int *first);

    /// Bytes of a V4L2 card name the driver fills (32 with the terminator).
    static constexpr size_t kCardNameBytes = 31;
    /// The product part of a card name as the UVC driver writes it
    /// ("<product>: <function>", cut to kCardNameBytes); the name itself
    /// when it has no such suffix. A device matches when the pattern is
    /// found in its full name or in its product part, so that a pattern
    /// anchored at the product's end ("...HD$") finds
    /// "VANTRI Multimedia Unit HD: VANT".
    static std::string productName(const std::string &cardName);

    /// The format rule: index of the capability whose width is closest to
    /// preferredWidth; on an equal distance an MJPEG capability already chosen
    /// is kept, any other is replaced by the later one. 0 for an empty list.
    static int selectCapability(const std::vector<kxcam::Capability> &caps, int preferredWidth);

    /// The frame rate asked of the camera unless configured otherwise.
    static constexpr double kPreferredFps = 15.0;
    /// How many times the configured pixel rate (preferred size x rate) the
    /// encoder is given before pictures are scaled down or samples skipped:
    /// 1280x960 at 15 fps passes, 1080p or 720p at 30 fps does not.
    static constexpr double kEncodeBudget = 1.5;
    /// The frame duration to ask of a capability: the slowest offered rate
    /// that is still at least preferredFps, else the capability's own.
    static int64_t selectFrameDuration(const kxcam::Capability &cap, double preferredFps);
    /// The size pictures are encoded at: the camera's, or, when its pixel
    /// rate exceeds kEncodeBudget times the preferred one and it is wider
    /// than preferred, the camera's picture fitted into the preferred size
    /// with its shape kept (even sides).
    static QSize encodeSize(int width, int height, double fps, int preferWidth, int preferHeight,
                            double preferFps);

    /// Every how many camera samples one is encoded: 1, or, when pictures of
    /// the encoded size at the camera's rate exceed the budget, the whole
    /// number of camera frames per preferred frame (30 fps for 15: 2).
    static int sampleStep(const QSize &encoded, double fps, int preferWidth, int preferHeight, double preferFps);

    /// Frames per second for a frame duration in 100 ns units (10,000,000 /
    /// duration); a duration of 0 or below gives 15, the camera unit's rate.
    static double fpsOfDuration(int64_t frameDuration100ns);

signals:
    /// VisualizerStopped from stopPreview, VisualizerFailure on rendering
    /// failure or a device event (lost device, stream error).
    void signalVideoSourceState(VisualizerState state);

private:
    friend class KxBoothPrivate;
    friend class KxBoothEventThread;
    int runDsEvent();

    std::unique_ptr<KxBoothPrivate> d;
};
