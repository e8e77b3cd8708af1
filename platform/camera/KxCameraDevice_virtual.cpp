// The virtual camera: behaves like a USB camera on its streaming thread
// (samples at the frame interval on a steady clock, a slow sink holds the
// thread and the missed intervals are dropped, as a driver drops frames when
// no buffer is queued), with faults described in a JSON file.

#include "KxCameraBackends_p.h"

#include <libyuv/convert_from.h>

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <thread>

namespace kxcam {
namespace virtualcam {

namespace {

struct Faults {
    double stopAfterSeconds = 0; ///< > 0: each streaming run ends as if unplugged
    bool failOpen = false;
    bool failStart = false;
    int corruptEvery = 0;  ///< every Nth sample has its headers scribbled over
    int truncateEvery = 0; ///< every Nth sample is cut to half its length
    int emptyEvery = 0;    ///< every Nth sample is delivered with length 0
};

struct DeviceSpec {
    DeviceInfo info;
    std::vector<Capability> caps;
    std::string mjpegFile; ///< empty: the built-in picture
    bool flash = false;    ///< "picture": "flash" instead of the test pattern
    double deliverFps = 0; ///< > 0: samples per second actually delivered
    int firstFrameDelayMs = 0; ///< > 0: the first sample of a run comes this late
    std::vector<int> rowBytes; ///< per capability: bytes per YUY2 row, 0 for tightly packed
    Faults faults;
};

constexpr int64_t kNsPerSecond = 1000000000;

/// Whether a frame captured at captureNs (CLOCK_MONOTONIC) and standing for
/// periodNs around it covers a whole second of that clock.
bool coversWholeSecond(int64_t captureNs, int64_t periodNs)
{
    const int64_t from = captureNs - periodNs / 2;
    const int64_t to = from + periodNs; // exclusive
    const int64_t firstSecond = from <= 0 ? 0 : (from + kNsPerSecond - 1) / kNsPerSecond;
    return firstSecond * kNsPerSecond < to;
}

/// The flash picture as packed I420: white, or dark.
void renderFlash(int width, int height, bool white, uint8_t *i420)
{
    const size_t luma = size_t(width) * height;
    std::memset(i420, white ? 235 : 16, luma);
    std::memset(i420 + luma, 128, luma / 2);
}

constexpr int64_t kDuration15fps = 666666;

DeviceSpec defaultDevice()
{
    DeviceSpec spec;
    spec.info.friendlyName = "VANTRI Multimedia Unit HD";
    spec.info.pathReadable = true;
    spec.caps = {
        Capability{Capability::KindVideoInfo, 1280, 720, kDuration15fps, kFourccMJPG, {}},
        Capability{Capability::KindVideoInfo, 1280, 720, kDuration15fps, kFourccYUY2, {}},
        Capability{Capability::KindVideoInfo, 640, 480, kDuration15fps, kFourccYUY2, {}},
    };
    return spec;
}

uint32_t parseFourcc(const QString &text)
{
    const QByteArray b = text.toLatin1();
    if (b.size() != 4)
        return 0;
    return fourcc(b[0], b[1], b[2], b[3]);
}

/// Reads the device descriptions; false with the reason in error.
bool loadSpecs(const std::string &config, std::vector<DeviceSpec> *specs, std::string *error)
{
    specs->clear();
    if (config == "default") {
        specs->push_back(defaultDevice());
    } else {
        QFile file(QString::fromStdString(config));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = "cannot read " + config + ": " + file.errorString().toStdString();
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
        if (!doc.isObject()) {
            *error = config + ": " + parseError.errorString().toStdString();
            return false;
        }
        const QString baseDir = QFileInfo(file).absolutePath();
        const QJsonArray devices = doc.object().value("devices").toArray();
        for (const QJsonValue &value : devices) {
            const QJsonObject o = value.toObject();
            DeviceSpec spec;
            spec.info.friendlyName = o.value("name").toString().toStdString();
            spec.info.pathReadable = o.value("readable").toBool(true);
            for (const QJsonValue &capValue : o.value("capabilities").toArray()) {
                const QJsonObject c = capValue.toObject();
                Capability cap;
                cap.kind = c.value("kind").toInt(Capability::KindVideoInfo);
                cap.width = c.value("width").toInt();
                cap.height = c.value("height").toInt();
                if (c.contains("frameDuration"))
                    cap.frameDuration100ns = int64_t(c.value("frameDuration").toDouble());
                else {
                    const double fps = c.value("fps").toDouble(15.0);
                    cap.frameDuration100ns = fps > 0 ? int64_t(10000000.0 / fps + 0.5) : 0;
                }
                cap.fourcc = parseFourcc(c.value("format").toString("MJPG"));
                // Further rates the camera offers at this size.
                for (const QJsonValue &rate : c.value("rates").toArray()) {
                    const double fps = rate.toDouble();
                    const int64_t d = fps > 0 ? int64_t(10000000.0 / fps + 0.5) : 0;
                    if (d > 0 && d != cap.frameDuration100ns)
                        cap.frameDurations100ns.push_back(d);
                }
                if (!cap.frameDurations100ns.empty()) {
                    cap.frameDurations100ns.push_back(cap.frameDuration100ns);
                    std::sort(cap.frameDurations100ns.begin(), cap.frameDurations100ns.end());
                    cap.frameDuration100ns = cap.frameDurations100ns.front();
                }
                const int bytesPerLine = c.value("bytesPerLine").toInt(0);
                if (bytesPerLine > 0) {
                    if (cap.fourcc != kFourccYUY2 || bytesPerLine < cap.width * 2) {
                        *error = config + ": bytesPerLine applies to YUY2 and holds at least a row";
                        return false;
                    }
                }
                spec.rowBytes.push_back(bytesPerLine);
                if (cap.width < 2 || cap.height < 2 || (cap.width & 1) || (cap.height & 1)) {
                    *error = config + ": capability sizes must be even and at least 2x2";
                    return false;
                }
                spec.caps.push_back(cap);
            }
            const QString mjpeg = o.value("mjpegFile").toString();
            if (!mjpeg.isEmpty())
                spec.mjpegFile = QFileInfo(mjpeg).isAbsolute() ? mjpeg.toStdString()
                                                               : (baseDir + "/" + mjpeg).toStdString();
            const QString picture = o.value("picture").toString("pattern");
            if (picture != "pattern" && picture != "flash") {
                *error = config + ": unknown picture \"" + picture.toStdString() + "\"";
                return false;
            }
            spec.flash = picture == "flash";
            spec.deliverFps = o.value("deliverFps").toDouble(0);
            spec.firstFrameDelayMs = o.value("firstFrameDelayMs").toInt(0);
            const QJsonObject f = o.value("faults").toObject();
            spec.faults.stopAfterSeconds = f.value("stopAfterSeconds").toDouble(0);
            spec.faults.failOpen = f.value("failOpen").toBool(false);
            spec.faults.failStart = f.value("failStart").toBool(false);
            spec.faults.corruptEvery = f.value("corruptEvery").toInt(0);
            spec.faults.truncateEvery = f.value("truncateEvery").toInt(0);
            spec.faults.emptyEvery = f.value("emptyEvery").toInt(0);
            specs->push_back(spec);
        }
    }
    for (size_t i = 0; i < specs->size(); ++i)
        (*specs)[i].info.devicePath = std::string(kPathPrefix) + std::to_string(i);
    return true;
}

bool everyNth(int every, int64_t sampleIndex)
{
    return every > 0 && (sampleIndex + 1) % every == 0;
}

class VirtualDevice : public CaptureDevice {
public:
    VirtualDevice(DeviceSpec spec, std::vector<uint8_t> file, std::vector<std::pair<size_t, size_t>> pictures)
        : m_spec(std::move(spec)), m_file(std::move(file)), m_pictures(std::move(pictures))
    {
    }
    ~VirtualDevice() override { stop(); }

    const DeviceInfo &info() const override { return m_spec.info; }
    std::vector<Capability> capabilities() override { return m_spec.caps; }

    bool setFormat(const Capability &format) override
    {
        if (m_thread.joinable()) {
            qWarning() << "kxcam::VirtualDevice::setFormat" << "refused while streaming";
            return false;
        }
        for (size_t i = 0; i < m_spec.caps.size(); ++i) {
            const Capability &cap = m_spec.caps[i];
            const std::vector<int64_t> &rates = cap.frameDurations100ns;
            const bool rateOffered = cap.frameDuration100ns == format.frameDuration100ns ||
                                     std::find(rates.begin(), rates.end(), format.frameDuration100ns) != rates.end();
            if (cap.width == format.width && cap.height == format.height && cap.fourcc == format.fourcc &&
                rateOffered) {
                m_format = cap;
                m_format.frameDuration100ns = format.frameDuration100ns;
                m_bytesPerLine = cap.fourcc == kFourccYUY2
                                     ? (i < m_spec.rowBytes.size() && m_spec.rowBytes[i] > 0 ? m_spec.rowBytes[i]
                                                                                             : cap.width * 2)
                                     : 0;
                m_formatSet = true;
                return true;
            }
        }
        qWarning() << "kxcam::VirtualDevice::setFormat" << "not offered:" << format.width << format.height
                   << QString::fromStdString(fourccText(format.fourcc));
        return false;
    }

    bool start(SampleSink *sink) override
    {
        if (!sink || !m_formatSet || m_thread.joinable())
            return false;
        if (m_spec.faults.failStart) {
            qWarning() << "kxcam::VirtualDevice::start" << "configured to fail";
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopRequested = false;
        }
        m_streaming = true;
        m_thread = std::thread(&VirtualDevice::run, this, sink, m_format);
        return true;
    }

    void stop() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopRequested = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        m_streaming = false;
    }

    bool isStreaming() const override { return m_streaming; }
    int bytesPerLine() const override { return m_bytesPerLine; }
    kxsync::Event *eventSignal() override { return m_events.signal(); }
    bool takeEvent(DeviceEvent *event) override { return m_events.take(event); }

private:
    void run(SampleSink *sink, Capability format)
    {
        kxsync::setCurrentThreadName("kx-capture");
        using clock = std::chrono::steady_clock;
        // A camera may deliver fewer frames than the rate it advertises (dim
        // light, a busy bus); its samples then come at the slower interval.
        const int64_t intervalNs = m_spec.deliverFps > 0
            ? std::max<int64_t>(1, int64_t(double(kNsPerSecond) / m_spec.deliverFps + 0.5))
            : std::max<int64_t>(1, format.frameDuration100ns) * 100;
        const auto interval = std::chrono::nanoseconds(intervalNs);
        auto t0 = clock::now();
        // A USB camera takes its time for the first picture (exposure,
        // MJPEG at a large size): the stream starts, the samples come later.
        if (m_spec.firstFrameDelayMs > 0)
            t0 += std::chrono::milliseconds(m_spec.firstFrameDelayMs);
        if (m_spec.flash) {
            // The flash camera captures on whole seconds: the flash frame is
            // then taken at its second exactly, instead of anywhere within
            // half a period of it, and a checker sees the recorder's error
            // alone rather than the sampling phase of this camera.
            const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(t0.time_since_epoch()).count();
            const int64_t nextSecondNs = (nowNs / kNsPerSecond + 1) * kNsPerSecond;
            t0 += std::chrono::nanoseconds((nextSecondNs - nowNs) % intervalNs);
        }
        const auto lostAt = t0 + std::chrono::duration_cast<clock::duration>(
                                     std::chrono::duration<double>(m_spec.faults.stopAfterSeconds));
        const int w = format.width, h = format.height;
        std::vector<uint8_t> picture(size_t(w) * h * 3 / 2);
        std::vector<uint8_t> sample;
        // The two flash pictures are made once: delivering them costs no time,
        // so a sample leaves at its capture time.
        std::vector<uint8_t> flashSamples[2];
        if (m_spec.flash) {
            for (int white = 0; white < 2; ++white) {
                renderFlash(w, h, white != 0, picture.data());
                if (!packPicture(format, m_bytesPerLine, picture, &flashSamples[white])) {
                    m_events.push(DeviceEvent::StreamError, "JPEG encoding failed");
                    return;
                }
            }
        }
        int64_t slot = 0;
        for (int64_t n = 0;; ++n) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_wake.wait_until(lock, t0 + slot * interval, [this] { return m_stopRequested; }))
                    break;
            }
            if (m_spec.faults.stopAfterSeconds > 0 && clock::now() >= lostAt) {
                m_streaming = false;
                m_events.push(DeviceEvent::DeviceLost, "virtual camera unplugged");
                break;
            }
            // The picture of a slot is taken at the slot's moment, however
            // late this thread got to it.
            const int64_t capturedNs =
                std::chrono::duration_cast<std::chrono::nanoseconds>((t0 + slot * interval).time_since_epoch())
                    .count();
            const uint8_t *data = nullptr;
            size_t length = 0;
            if (m_spec.flash) {
                const std::vector<uint8_t> &flash = flashSamples[coversWholeSecond(capturedNs, intervalNs) ? 1 : 0];
                data = flash.data();
                length = flash.size();
            } else if (format.fourcc == kFourccMJPG && !m_pictures.empty()) {
                const auto &pic = m_pictures[size_t(n % int64_t(m_pictures.size()))];
                data = m_file.data() + pic.first;
                length = pic.second;
            } else {
                renderTestPattern(w, h, n, picture.data(), format.frameDuration100ns);
                if (!packPicture(format, m_bytesPerLine, picture, &sample)) {
                    m_events.push(DeviceEvent::StreamError, "JPEG encoding failed");
                    break;
                }
                data = sample.data();
                length = sample.size();
            }
            if (everyNth(m_spec.faults.emptyEvery, n)) {
                length = 0;
            } else if (everyNth(m_spec.faults.truncateEvery, n)) {
                length /= 2;
            } else if (everyNth(m_spec.faults.corruptEvery, n)) {
                if (data != sample.data())
                    sample.assign(data, data + length);
                // Scribble over the headers after SOI: no decoder can read it.
                uint32_t x = uint32_t(n) * 2654435761u + 1;
                for (size_t i = 2; i < std::min<size_t>(length, 600); ++i) {
                    x = x * 1103515245u + 12345u;
                    sample[i] = uint8_t(x >> 16);
                }
                data = sample.data();
            }
            sink->onSample(data, int(length), capturedNs / 1000);

            ++slot;
            const auto now = clock::now();
            if (t0 + slot * interval < now) // missed intervals are dropped
                slot = (now - t0) / interval + 1;
        }
    }

    // An I420 picture as the format's sample; false when JPEG encoding fails.
    // YUY2 rows take rowBytes each (padding filled with a byte no picture
    // has, so that a reader that ignores the stride shows it).
    static bool packPicture(const Capability &format, int rowBytes, const std::vector<uint8_t> &picture,
                            std::vector<uint8_t> *sample)
    {
        const int w = format.width, h = format.height;
        if (format.fourcc == kFourccMJPG)
            return encodeJpegI420(picture.data(), w, h, 85, sample);
        if (format.fourcc == kFourccYUY2) {
            const int stride = std::max(rowBytes, w * 2);
            sample->assign(size_t(stride) * h, 0xff);
            libyuv::I420ToYUY2(picture.data(), w, picture.data() + size_t(w) * h, w / 2,
                               picture.data() + size_t(w) * h * 5 / 4, w / 2, sample->data(), stride, w, h);
            // The last row ends the payload without its padding, so the
            // length alone does not give the stride.
            sample->resize(size_t(stride) * (h - 1) + size_t(w) * 2);
            return true;
        }
        *sample = picture; // other FourCCs carry the raw picture
        return true;
    }

    DeviceSpec m_spec;
    std::vector<uint8_t> m_file;
    std::vector<std::pair<size_t, size_t>> m_pictures;
    Capability m_format;
    bool m_formatSet = false;
    int m_bytesPerLine = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopRequested = false;
    std::atomic<bool> m_streaming{false};
    EventQueue m_events;
};

} // namespace

std::vector<DeviceInfo> enumerate(const std::string &config, int *status)
{
    std::vector<DeviceSpec> specs;
    std::string error;
    std::vector<DeviceInfo> list;
    if (!loadSpecs(config, &specs, &error)) {
        qWarning() << "kxcam::CaptureDevice::enumerate" << QString::fromStdString(error);
        if (status)
            *status = -1;
        return list;
    }
    for (const DeviceSpec &spec : specs)
        list.push_back(spec.info);
    if (status)
        *status = 0;
    return list;
}

std::unique_ptr<CaptureDevice> open(const std::string &config, const DeviceInfo &device, std::string *error)
{
    std::vector<DeviceSpec> specs;
    std::string reason;
    auto fail = [&](const std::string &text) -> std::unique_ptr<CaptureDevice> {
        if (error)
            *error = text;
        qWarning() << "kxcam::CaptureDevice::open" << QString::fromStdString(device.devicePath)
                   << QString::fromStdString(text);
        return nullptr;
    };
    if (!loadSpecs(config, &specs, &reason))
        return fail(reason);
    const std::string index = device.devicePath.substr(std::string(kPathPrefix).size());
    size_t i = 0;
    try {
        i = std::stoul(index);
    } catch (...) {
        return fail("no such virtual device");
    }
    if (i >= specs.size() || std::to_string(i) != index)
        return fail("no such virtual device");
    DeviceSpec &spec = specs[i];
    if (!spec.info.pathReadable)
        return fail("device path not readable");
    if (spec.faults.failOpen)
        return fail("virtual device configured to fail to open");
    std::vector<uint8_t> file;
    std::vector<std::pair<size_t, size_t>> pictures;
    if (!spec.mjpegFile.empty()) {
        QFile f(QString::fromStdString(spec.mjpegFile));
        if (!f.open(QIODevice::ReadOnly))
            return fail("cannot read " + spec.mjpegFile);
        const QByteArray bytes = f.readAll();
        file.assign(bytes.begin(), bytes.end());
        pictures = splitJpegStream(file.data(), file.size());
        if (pictures.empty())
            return fail("no JPEG picture in " + spec.mjpegFile);
    }
    return std::unique_ptr<CaptureDevice>(new VirtualDevice(std::move(spec), std::move(file), std::move(pictures)));
}

} // namespace virtualcam
} // namespace kxcam
