#include "KxBooth.h"

#include "KxJpegDecoder.h"
#include "KxVideoFrame.h"

#include <sync/KxSync.h>

#include <libyuv/convert.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>

#include <QDebug>
#include <QString>

#include <atomic>
#include <cmath>
#include <cstdlib>
// GCC 12 with the sanitizers reports maybe-uninitialized inside libstdc++'s
// regex compiler (instantiated at the end of this file), a known false alarm.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <thread>

namespace {

constexpr int kNoDevice = -5;
constexpr int64_t kUnitRateDuration = 666666; // the camera unit's 15 frames per second

/// Hands every raw sample of the device to the booth's data callback, on the
/// device's streaming thread.
class CamSampleSink : public kxcam::SampleSink {
public:
    explicit CamSampleSink(IKxYUVDataCallBack *callback) : m_callback(callback) {}
    void onSample(const uint8_t *data, int length, int64_t capturedUs) override
    {
        if (m_callback)
            m_callback->onYUVSample(data, length, capturedUs);
    }

private:
    IKxYUVDataCallBack *m_callback;
};

} // namespace

/// Watches the device's events while the booth is running ("kx-cam-events").
/// A std::thread rather than a QThread: its join is then visible to
/// ThreadSanitizer, which cannot see Qt 5's futex-based QThread::wait.
class KxBoothEventThread {
public:
    explicit KxBoothEventThread(KxBooth *booth) : m_booth(booth) {}
    ~KxBoothEventThread() { stop(); }
    void start()
    {
        m_thread = std::thread([this] {
            kxsync::setCurrentThreadName("kx-cam-events");
            m_booth->runDsEvent();
        });
    }
    void stop()
    {
        stopEvent.set();
        if (m_thread.joinable())
            m_thread.join();
    }
    kxsync::Event stopEvent{true, false};

private:
    KxBooth *m_booth;
    std::thread m_thread;
};

class KxBoothPrivate {
public:
    IKxYUVDataCallBack *callback = nullptr;
    std::atomic<int> state{KxBooth::StateNone};
    std::atomic<bool> running{false};
    std::unique_ptr<kxcam::CaptureDevice> device;
    std::unique_ptr<CamSampleSink> sink;
    std::wstring filterName;

    // The chosen format. Written by open on the controlling thread before
    // streaming starts; read by the conversions on the streaming thread.
    bool formatValid = false;
    int width = 0;
    int height = 0;
    uint32_t fourcc = 0;
    double fps = 0;
    int stride = 0;        // bytes per YUY2 row from the driver, 0 unknown
    int step = 1;          // every step-th sample is handed on
    int captureWidth = 0;  // the camera's picture; width x height is what
    int captureHeight = 0; // the conversions deliver (scaled down when larger)
    QJsonObject formatJson;

    int preferWidth = 1280;
    int preferHeight = 720;
    double preferFps = KxBooth::kPreferredFps;
    int rotation = 0;
    std::vector<uint8_t> scratch1, scratch2;
    std::vector<uint8_t> decoded; // the camera's picture before scaling (streaming thread)
    KxJpegDecoder jpeg;           // streaming thread

    std::unique_ptr<KxBoothEventThread> eventThread;
};

KxBooth::KxBooth(QObject *parent) : QObject(parent), d(new KxBoothPrivate)
{
    qRegisterMetaType<VisualizerState>("VisualizerState");
}

KxBooth::~KxBooth()
{
    close();
}

QObject *KxBooth::getObject()
{
    return this;
}

void KxBooth::release()
{
    delete this;
}

void KxBooth::setIKxYUVDataCallBack(IKxYUVDataCallBack *callback)
{
    qInfo() << "KxBooth::setIKxYUVDataCallBack";
    d->callback = callback;
}

void KxBooth::setPreferVideoSize(int width, int height)
{
    qInfo() << "KxBooth::setPreferVideoSize" << width << height;
    d->preferWidth = width;
    d->preferHeight = height;
}

std::string KxBooth::productName(const std::string &cardName)
{
    // The UVC driver names a card "<product>: <function>" and cuts the name
    // to its 31-byte field, so the function may be cut anywhere, down to a
    // bare ":" after the product.
    const size_t separator = cardName.find(": ");
    if (separator != std::string::npos)
        return cardName.substr(0, separator);
    if (cardName.size() >= kCardNameBytes && !cardName.empty() && cardName.back() == ':')
        return cardName.substr(0, cardName.size() - 1);
    return cardName;
}

int KxBooth::searchDevices(const std::vector<kxcam::DeviceInfo> &devices, const std::wstring &pattern, int *matched,
                           int *first)
{
    if (matched)
        *matched = -1;
    if (first)
        *first = -1;
    std::wregex re;
    bool validPattern = true;
    try {
        re = std::wregex(pattern, std::regex_constants::ECMAScript);
    } catch (const std::regex_error &e) {
        qWarning() << "KxBooth::getCamMoniker" << "invalid pattern:" << e.what();
        validPattern = false;
    }
    int result = kNoDevice;
    for (size_t i = 0; i < devices.size(); ++i) {
        const kxcam::DeviceInfo &dev = devices[i];
        qInfo() << "KxBooth::getCamMoniker" << i << "dev_path: " << QString::fromStdString(dev.devicePath);
        if (!dev.pathReadable)
            continue;
        qInfo() << "KxBooth::getCamMoniker" << i << "Dev name: " << QString::fromStdString(dev.friendlyName);
        const std::wstring name = QString::fromStdString(dev.friendlyName).toStdWString();
        const std::wstring product = QString::fromStdString(productName(dev.friendlyName)).toStdWString();
        if (validPattern && (std::regex_search(name, re) || (product != name && std::regex_search(product, re)))) {
            if (matched)
                *matched = int(i);
            return 1;
        }
        if (i == 0) {
            if (first)
                *first = 0;
            result = 0;
        }
    }
    return result;
}

int KxBooth::getCamMoniker(const wchar_t *pattern, kxcam::DeviceInfo *matched, kxcam::DeviceInfo *first)
{
    const std::wstring text = pattern ? std::wstring(pattern) : std::wstring();
    qInfo() << "begin enum-camera-dev: " << QString::fromStdWString(text);
    int status = 0;
    const std::vector<kxcam::DeviceInfo> devices = kxcam::CaptureDevice::enumerate(&status);
    // An empty device category is an enumeration failure, as an unreadable list.
    if (status != 0 || devices.empty())
        return -2;
    int matchedIndex = -1, firstIndex = -1;
    const int result = searchDevices(devices, text, &matchedIndex, &firstIndex);
    if (matched && matchedIndex >= 0)
        *matched = devices[size_t(matchedIndex)];
    if (first && firstIndex >= 0)
        *first = devices[size_t(firstIndex)];
    return result;
}

int KxBooth::selectCapability(const std::vector<kxcam::Capability> &caps, int preferredWidth)
{
    int bestIndex = 0;
    int64_t bestDistance = 1 << 24;
    bool bestIsMjpeg = false;
    for (size_t i = 0; i < caps.size(); ++i) {
        const kxcam::Capability &cap = caps[i];
        const bool readable =
            cap.kind == kxcam::Capability::KindVideoInfo || cap.kind == kxcam::Capability::KindVideoInfo2;
        const int width = readable ? cap.width : 0;
        const int64_t distance = std::llabs(int64_t(width) - preferredWidth);
        const bool mjpeg = cap.fourcc == kxcam::kFourccMJPG;
        if (distance <= bestDistance && (distance < bestDistance || !bestIsMjpeg)) {
            qInfo() << "select_cam_format  mjpeg? " << mjpeg << width << (readable ? std::abs(cap.height) : 0)
                    << (readable ? cap.frameDuration100ns : 0);
            bestIndex = int(i);
            bestDistance = distance;
            bestIsMjpeg = mjpeg;
        }
    }
    return bestIndex;
}

int64_t KxBooth::selectFrameDuration(const kxcam::Capability &cap, double preferredFps)
{
    // The slowest rate that still gives the configured one: at 1080p a
    // camera's 30 frames per second cost the encoder twice the 15 it needs.
    int64_t chosen = cap.frameDuration100ns;
    if (preferredFps <= 0)
        return chosen;
    const int64_t longest = int64_t(10000000.0 / preferredFps + 0.5);
    for (const int64_t d : cap.frameDurations100ns) {
        if (d > 0 && d <= longest + longest / 100 && d > chosen)
            chosen = d;
    }
    return chosen;
}

QSize KxBooth::encodeSize(int width, int height, double fps, int preferWidth, int preferHeight, double preferFps)
{
    const double budget = kEncodeBudget * double(preferWidth) * preferHeight * preferFps;
    if (width <= preferWidth || height <= 0 || preferWidth <= 0 || preferHeight <= 0 ||
        double(width) * height * fps <= budget)
        return QSize(width, height);
    // Fit into the configured size with the camera's shape, even sides.
    const double scale = std::min(double(preferWidth) / width, double(preferHeight) / height);
    const int w = std::max(2, int(width * scale + 0.5) & ~1);
    const int h = std::max(2, int(height * scale + 0.5) & ~1);
    return QSize(w, h);
}

int KxBooth::sampleStep(const QSize &encoded, double fps, int preferWidth, int preferHeight, double preferFps)
{
    const double budget = kEncodeBudget * double(preferWidth) * preferHeight * preferFps;
    if (preferFps <= 0 || double(encoded.width()) * encoded.height() * fps <= budget)
        return 1;
    return std::max(1, int(fps / preferFps + 0.01));
}

double KxBooth::fpsOfDuration(int64_t frameDuration100ns)
{
    return 10000000.0 / double(frameDuration100ns > 0 ? frameDuration100ns : kUnitRateDuration);
}

int KxBooth::open(const wchar_t *pattern)
{
    const std::wstring text = pattern ? std::wstring(pattern) : std::wstring();
    qInfo() << "KxBooth::open" << QString::fromStdWString(text);

    // initGraph
    if (d->state != StateNone)
        return 1;
    d->filterName.clear();
    d->state = StateCreated;

    // createVideoCapture
    kxcam::DeviceInfo matched, first;
    const int search = getCamMoniker(text.c_str(), &matched, &first);
    int result = 0;
    kxcam::DeviceInfo chosen;
    if (search < 0) {
        result = -60;
    } else if (search == 1) {
        chosen = matched;
        // The capture runs under the pattern's name, cut to the name limit.
        d->filterName = text.substr(0, kMaxFilterName - 1);
        if (text.size() >= size_t(kMaxFilterName))
            qWarning() << "KxBooth::open" << "pattern longer than the capture name limit; name cut";
    } else if (!first.devicePath.empty()) {
        qInfo() << "use-default-camera ";
        chosen = first;
        d->filterName = L"DefaultCamera";
    } else {
        qWarning() << "no-valid camera.";
        result = kNoDevice;
    }
    if (result == 0) {
        std::string error;
        d->device = kxcam::CaptureDevice::open(chosen, &error);
        if (!d->device) {
            qWarning() << "KxBooth::open" << "cannot open" << QString::fromStdString(chosen.devicePath)
                       << QString::fromStdString(error);
            result = -10;
        }
    }
    if (result == 0) {
        // renderGraph
        const std::vector<kxcam::Capability> caps = d->device->capabilities();
        const int best = selectCapability(caps, d->preferWidth);
        kxcam::Capability wanted = caps.empty() ? kxcam::Capability() : caps[size_t(best)];
        wanted.frameDuration100ns = selectFrameDuration(wanted, d->preferFps);
        if (caps.empty() || !d->device->setFormat(wanted)) {
            qWarning() << "KxBooth::open" << "cannot set the capture format";
            result = -12;
        } else {
            const kxcam::Capability &cap = wanted;
            d->fourcc = cap.fourcc;
            d->captureWidth = cap.width;
            d->captureHeight = std::abs(cap.height);
            d->fps = fpsOfDuration(cap.frameDuration100ns);
            d->stride = d->device->bytesPerLine();
            const QSize encoded = encodeSize(d->captureWidth, d->captureHeight, d->fps, d->preferWidth,
                                             d->preferHeight, d->preferFps);
            d->width = encoded.width();
            d->height = encoded.height();
            d->step = sampleStep(encoded, d->fps, d->preferWidth, d->preferHeight, d->preferFps);
            if (d->step > 1)
                qInfo() << "KxBooth::open" << "the camera gives" << d->fps << "fps; every" << d->step
                        << "th sample is encoded";
            if (encoded != QSize(d->captureWidth, d->captureHeight))
                qInfo() << "KxBooth::open" << "camera picture" << d->captureWidth << d->captureHeight << "at" << d->fps
                        << "fps is scaled to" << d->width << d->height << "before encoding";
            if (cap.frameDuration100ns <= 0)
                qWarning() << "KxBooth::open" << "no frame duration reported; taking" << d->fps << "fps";
            d->formatJson = QJsonObject{{"width", d->width},
                                        {"height", d->height},
                                        {"fps", d->fps / d->step},
                                        {"captureFps", d->fps},
                                        {"sampleStep", d->step},
                                        {"format", qint64(d->fourcc)},
                                        {"captureWidth", d->captureWidth},
                                        {"captureHeight", d->captureHeight}};
            const size_t scratch = size_t(2) * size_t(d->captureWidth) * size_t(d->captureHeight);
            d->scratch1.assign(scratch, 0);
            d->decoded.assign(d->width != d->captureWidth || d->height != d->captureHeight ? scratch : 0, 0);
            d->scratch2.assign(scratch, 0);
            d->formatValid = true;
            d->sink.reset(new CamSampleSink(d->callback));
            d->state = StateRendered;
            return 0;
        }
    }
    // A failed open leaves nothing behind, so that the next open searches again.
    d->device.reset();
    d->filterName.clear();
    d->state = StateNone;
    return result;
}

int KxBooth::setCapFormat(const QJsonObject &)
{
    qInfo() << "KxBooth::setCapFormat" << "not supported";
    return -2;
}

int KxBooth::getCapFormat(QJsonObject &format)
{
    if (!d->formatValid)
        return -1;
    format = d->formatJson;
    return 0;
}

int KxBooth::convertI420(const uint8_t *sample, int length, uint8_t *out, int capacity)
{
    if (!d->formatValid || !out)
        return -1;
    const int64_t frameBytes = int64_t(d->width) * d->height * 3 / 2;
    if (int64_t(capacity) < frameBytes) {
        qWarning() << "KxBooth::convertI420" << "output of" << capacity << "bytes, need" << frameBytes;
        return -1;
    }
    // A picture larger than the encoder can take is decoded beside the
    // output and scaled into it.
    const int w = d->captureWidth, h = d->captureHeight;
    const bool scaled = w != d->width || h != d->height;
    uint8_t *y = scaled ? d->decoded.data() : out;
    uint8_t *u = y + size_t(w) * h;
    uint8_t *v = y + size_t(w) * h * 5 / 4;
    if (d->fourcc == kxcam::kFourccMJPG) {
        if (!sample || length <= 0) {
            qWarning() << "KxBooth::convertI420" << "empty MJPEG sample";
            return 0;
        }
        // 4:2:0 pictures are decoded in place, with the accurate transform
        // (cheaper for the encoder after it); other layouts (and a picture
        // the direct decoder cannot read) go through libyuv, which converts
        // every layout.
        const bool direct =
            d->jpeg.decodeI420(sample, size_t(length), y, u, v, w, h) == KxJpegDecoder::Decoded;
        const int r = direct ? 0 : libyuv::MJPGToI420(sample, size_t(length), y, w, u, w / 2, v, w / 2, w, h, w, h);
        if (r != 0) {
            qWarning() << "KxBooth::convertI420" << "MJPGToI420 failed:" << r << "length" << length;
            return 0;
        }
    } else if (d->fourcc == kxcam::kFourccYUY2) {
        // Rows may carry padding: the driver says how much. A sample
        // shorter than the picture would be read past its end (the last
        // row may come without its padding).
        const int stride = d->stride > 0 ? d->stride : (h > 0 ? length / h : 0);
        if (!sample || stride < w * 2 || int64_t(length) < int64_t(stride) * (h - 1) + w * 2) {
            qWarning() << "KxBooth::convertI420" << "YUY2 sample too short:" << length;
            return 0;
        }
        const int r = libyuv::YUY2ToI420(sample, stride, y, w, u, w / 2, v, w / 2, w, h);
        if (r != 0) {
            qWarning() << "KxBooth::convertI420" << "YUY2ToI420 failed:" << r;
            return 0;
        }
    }
    if (scaled) {
        const int dw = d->width, dh = d->height;
        libyuv::I420Scale(y, w, u, w / 2, v, w / 2, w, h, out, dw, out + size_t(dw) * dh, dw / 2,
                          out + size_t(dw) * dh * 5 / 4, dw / 2, dw, dh, libyuv::kFilterBilinear);
    }
    return int(frameBytes);
}

int KxBooth::convert(const uint8_t *sample, int length, KxVideoFrame *frame)
{
    if (!d->formatValid || !frame || !frame->y || !frame->u || !frame->v || frame->width < 2 ||
        frame->height < 2)
        return -1;
    const int w = d->width, h = d->height;
    const int bytes = convertI420(sample, length, d->scratch1.data(), int(d->scratch1.size()));
    if (bytes <= 0)
        return -2;
    const uint8_t *sy = d->scratch1.data();
    const uint8_t *su = sy + size_t(w) * h;
    const uint8_t *sv = sy + size_t(w) * h * 5 / 4;
    int sw = w, sh = h;
    if (d->rotation != 0) {
        const bool quarter = d->rotation == 90 || d->rotation == 270;
        const int rw = quarter ? h : w, rh = quarter ? w : h;
        uint8_t *ry = d->scratch2.data();
        uint8_t *ru = ry + size_t(w) * h;
        uint8_t *rv = ry + size_t(w) * h * 5 / 4;
        libyuv::I420Rotate(sy, w, su, w / 2, sv, w / 2, ry, rw, ru, rw / 2, rv, rw / 2, w, h,
                           libyuv::RotationMode(d->rotation));
        sy = ry;
        su = ru;
        sv = rv;
        sw = rw;
        sh = rh;
    }
    // The picture is stretched to the caller's frame.
    const int r = libyuv::I420Scale(sy, sw, su, sw / 2, sv, sw / 2, sw, sh, frame->y, frame->strideY, frame->u,
                                    frame->strideU, frame->v, frame->strideV, frame->width, frame->height,
                                    libyuv::kFilterBox);
    return r == 0 ? 0 : -2;
}

int KxBooth::close()
{
    qInfo() << "KxBooth::close";
    if (d->state == StateNone)
        return 1;
    if (d->state == StateRunning)
        stopPreview();
    // teardownGraph: the device goes, and with it the sample adapter.
    if (d->device)
        d->device->stop();
    d->device.reset();
    d->sink.reset();
    // The conversion buffers are sized and filled by the next open; they
    // are megabytes at 1080p, too much to hold while nothing records.
    std::vector<uint8_t>().swap(d->scratch1);
    std::vector<uint8_t>().swap(d->scratch2);
    std::vector<uint8_t>().swap(d->decoded);
    d->state = StateNone;
    return 0;
}

int KxBooth::startPreview()
{
    qInfo() << "KxBooth::startPreview";
    if (d->state != StateRendered || !d->device)
        return -1;
    if (!d->device->start(d->sink.get())) {
        d->device->stop();
        qWarning() << "KxBooth>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>pMC->Run()" << -5;
        return -5;
    }
    d->eventThread.reset(new KxBoothEventThread(this));
    d->eventThread->start();
    d->state = StateRunning;
    d->running = true;
    return 0;
}

int KxBooth::stopPreview()
{
    qInfo() << "KxBooth::stopPreview";
    if (d->state != StateRunning)
        return 1;
    if (d->eventThread) {
        d->eventThread->stop();
        d->eventThread.reset();
    }
    setVideoSourceState(VisualizerStopped);
    d->device->stop();
    d->state = StateRendered;
    d->running = false;
    return 0;
}

bool KxBooth::isRunning() const
{
    return d->running;
}

void KxBooth::setVideoSourceState(VisualizerState state)
{
    emit signalVideoSourceState(state);
}

void KxBooth::rotate(int code)
{
    qInfo() << "KxBooth::rotate" << code;
    d->rotation = code == 1 ? 90 : code == 2 ? 180 : code == 3 ? 270 : 0;
}

int KxBooth::state() const
{
    return d->state;
}

std::string KxBooth::deviceName() const
{
    return d->device ? d->device->info().friendlyName : std::string();
}

std::wstring KxBooth::captureFilterName() const
{
    return d->filterName;
}

int KxBooth::runDsEvent()
{
    kxcam::CaptureDevice *device = d->device.get();
    KxBoothEventThread *thread = d->eventThread.get();
    if (!device || !thread)
        return -1;
    kxsync::Event *signal = device->eventSignal();
    if (!signal)
        return -2;
    for (;;) {
        // Events already queued are reported before a stop is honoured, so
        // that a device lost just before stopPreview is still seen.
        kxcam::DeviceEvent event;
        while (device->takeEvent(&event)) {
            qWarning() << "KxBooth::runDsEvent" << "device event" << event.code << QString::fromStdString(event.text);
            setVideoSourceState(VisualizerFailure);
        }
        const int which = kxsync::waitAny({signal, &thread->stopEvent}, kxsync::Infinite);
        if (which != 0)
            break;
    }
    return 0;
}
