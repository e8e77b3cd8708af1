// The capture graph: device search and format choice as rules over plain
// lists, then the whole booth over the virtual camera (states and result
// codes, samples to the data callback, device events, conversions), and the
// direct 4:2:0 JPEG decoder against libyuv's conversion.

#include "KxBooth.h"
#include "KxJpegDecoder.h"
#include "KxVideoFrame.h"

#include <libyuv/convert.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <jpeglib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

using kxcam::Capability;
using kxcam::DeviceInfo;
using kxcam::kFourccMJPG;
using kxcam::kFourccYUY2;

namespace {

const wchar_t *const kUnitPattern = L"\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

double psnr(const uint8_t *a, const uint8_t *b, size_t n)
{
    double se = 0;
    for (size_t i = 0; i < n; ++i) {
        const double d = double(a[i]) - double(b[i]);
        se += d * d;
    }
    return se == 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / (se / double(n)));
}

class CountingCallback : public IKxYUVDataCallBack {
public:
    int onYUVData(const uint8_t *data, int length) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_first.empty() && length > 0)
            m_first.assign(data, data + length);
        ++m_count;
        m_cv.notify_all();
        return 0;
    }
    bool waitFor(int count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_count >= count; });
    }
    int count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    std::vector<uint8_t> first()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_first;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_count = 0;
    std::vector<uint8_t> m_first;
};

/// Records signalVideoSourceState from whichever thread emits it.
class StateRecorder {
public:
    explicit StateRecorder(KxBooth *booth)
    {
        QObject::connect(
            booth, &KxBooth::signalVideoSourceState, booth,
            [this](VisualizerState state) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_states.push_back(state);
                m_cv.notify_all();
            },
            Qt::DirectConnection);
    }
    bool waitFor(size_t count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_states.size() >= count; });
    }
    std::vector<VisualizerState> states()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<VisualizerState> m_states;
};

DeviceInfo dev(const char *name, bool readable = true, const char *path = "/dev/video0")
{
    return DeviceInfo{name, path, readable};
}

Capability capOf(int w, uint32_t fourcc, int kind = Capability::KindVideoInfo, int h = 720)
{
    return Capability{kind, w, h, 666666, fourcc, {}};
}

QJsonObject jcap(const char *format, int w, int h, double fps = 15)
{
    return QJsonObject{{"format", format}, {"width", w}, {"height", h}, {"fps", fps}};
}

QJsonObject jdev(const char *name, QJsonArray caps, QJsonObject faults = {}, bool readable = true)
{
    return QJsonObject{{"name", name}, {"readable", readable}, {"capabilities", caps}, {"faults", faults}};
}

class BoothTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("KX_VIRTUAL_CAMERA"); }
    void useConfig(const QJsonArray &devices)
    {
        ASSERT_TRUE(m_dir.isValid());
        const QString path = m_dir.filePath(QString("cams%1.json").arg(++m_configs));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(QJsonObject{{"devices", devices}}).toJson());
        f.close();
        setenv("KX_VIRTUAL_CAMERA", path.toLocal8Bit().constData(), 1);
    }
    QTemporaryDir m_dir;
    int m_configs = 0;
};

} // namespace

TEST(BoothRules, DeviceSearch)
{
    struct Case {
        const char *what;
        std::vector<DeviceInfo> devices;
        std::wstring pattern;
        int result, matched, first;
    } cases[] = {
        {"second camera matches", {dev("Laptop Webcam"), dev("VANTRI Multimedia Unit HD")}, kUnitPattern, 1, 1, 0},
        {"ULTRA model", {dev("VANTRI Multimedia Unit ULTRA HD")}, kUnitPattern, 1, 0, -1},
        {"bracketed name", {dev("(VANTRI Multimedia Unit HD)")}, kUnitPattern, 1, 0, -1},
        {"anchored at the end", {dev("VANTRI Multimedia Unit HD Pro")}, kUnitPattern, 0, -1, 0},
        {"case-sensitive", {dev("vantri multimedia unit hd")}, kUnitPattern, 0, -1, 0},
        {"default name found anywhere", {dev("USB VANTRI Multimedia Unit HD cam")}, L"VANTRI Multimedia", 1, 0, -1},
        {"no match: first camera", {dev("Cam A"), dev("Cam B")}, L"VANTRI", 0, -1, 0},
        {"unreadable first never chosen", {dev("Cam A", false), dev("Cam B")}, L"VANTRI", -5, -1, -1},
        {"unreadable match skipped", {dev("VANTRI Multimedia", false), dev("Cam B")}, L"VANTRI", -5, -1, -1},
        {"readable match after unreadable", {dev("Cam A", false), dev("VANTRI X")}, L"VANTRI", 1, 1, -1},
        {"empty list", {}, L"VANTRI", -5, -1, -1},
        {"invalid pattern matches nothing", {dev("Cam (A")}, L"(", 0, -1, 0},
        {"empty pattern matches everything", {dev("Cam A")}, L"", 1, 0, -1},
        // Card names as the UVC driver writes them: "<product>: <function>" cut to 31 bytes.
        {"driver's cut name", {dev("Cam A"), dev("VANTRI Multimedia Unit HD: VANT")}, kUnitPattern, 1, 1, 0},
        {"ULTRA model filling the 31 bytes", {dev("VANTRI Multimedia Unit ULTRA HD")}, kUnitPattern, 1, 0, -1},
        {"cut right after the colon", {dev("VANTRI Multimedia Unit HD2 Pro:")}, L"Unit HD2 Pro$", 1, 0, -1},
        {"near miss: another model", {dev("VANTRI Multimedia Unit SD: VANT")}, kUnitPattern, 0, -1, 0},
        {"near miss: longer product", {dev("VANTRI Multimedia Unit HDX: VAN")}, kUnitPattern, 0, -1, 0},
        {"near miss: the function", {dev("Webcam: VANTRI Multimedia Unit HD Pro")}, kUnitPattern, 0, -1, 0},
        {"non-ASCII name", {dev("Kamera \xc3\xbc VANTRI")}, L"\u00fc VANTRI$", 1, 0, -1},
    };
    for (const Case &c : cases) {
        int matched = 7, first = 7;
        EXPECT_EQ(KxBooth::searchDevices(c.devices, c.pattern, &matched, &first), c.result) << c.what;
        EXPECT_EQ(matched, c.matched) << c.what;
        EXPECT_EQ(first, c.first) << c.what;
    }
}

TEST(BoothRules, FormatChoice)
{
    const int other = Capability::KindOther, info2 = Capability::KindVideoInfo2;
    struct Case {
        const char *what;
        std::vector<Capability> caps;
        int preferred, chosen;
    } cases[] = {
        {"MJPEG at the preferred width wins",
         {capOf(640, kFourccYUY2), capOf(1280, kFourccYUY2), capOf(1280, kFourccMJPG), capOf(1280, kFourccYUY2)},
         1280,
         2},
        {"equal distance keeps the MJPEG met first", {capOf(1920, kFourccMJPG), capOf(640, kFourccYUY2)}, 1280, 0},
        {"equal distance replaces a non-MJPEG", {capOf(640, kFourccYUY2), capOf(1920, kFourccYUY2)}, 1280, 1},
        {"later MJPEG replaces YUY2 of equal width", {capOf(1280, kFourccYUY2), capOf(1280, kFourccMJPG)}, 1280, 1},
        {"first of two equal MJPEG kept", {capOf(1280, kFourccMJPG), capOf(1280, kFourccMJPG)}, 1280, 0},
        {"closest width beats MJPEG", {capOf(1280, kFourccYUY2), capOf(1920, kFourccMJPG)}, 1280, 0},
        {"unreadable block counts as width 0",
         {capOf(1280, kFourccMJPG, other), capOf(640, kFourccYUY2)},
         1280,
         1},
        {"second-version blocks are read", {capOf(640, kFourccYUY2), capOf(1280, kFourccYUY2, info2)}, 1280, 1},
        {"height takes no part", {capOf(1280, kFourccMJPG, 1, 1080), capOf(1280, kFourccMJPG, 1, 720)}, 1280, 0},
        {"empty list", {}, 1280, 0},
        {"beyond the initial distance", {capOf(1 << 25, kFourccYUY2), capOf(1 << 26, kFourccYUY2)}, 0, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(KxBooth::selectCapability(c.caps, c.preferred), c.chosen) << c.what;
}

TEST(BoothRules, FramesPerSecond)
{
    EXPECT_DOUBLE_EQ(KxBooth::fpsOfDuration(333333), 10000000.0 / 333333);
    EXPECT_NEAR(KxBooth::fpsOfDuration(333333), 30.00003, 1e-5);
    EXPECT_NEAR(KxBooth::fpsOfDuration(666666), 15.000015, 1e-6);
    EXPECT_DOUBLE_EQ(KxBooth::fpsOfDuration(400000), 25.0);
    EXPECT_NEAR(KxBooth::fpsOfDuration(0), 15.0, 1e-4); // no division by zero
    EXPECT_NEAR(KxBooth::fpsOfDuration(-5), 15.0, 1e-4);
}

// The rate asked of the camera, the size pictures are encoded at and how
// many samples are skipped, for a configured 1280x720 at 15 fps.
TEST(BoothRules, RateAndEncodeSize)
{
    struct RateCase {
        std::vector<int64_t> offered;
        double preferred;
        int64_t chosen;
    } rateCases[] = {{{333333, 400000, 666666, 1000000}, 15, 666666}, {{333333, 400000}, 15, 400000},
                     {{333333}, 15, 333333}, {{333333, 666667}, 15, 666667}, {{333333, 666666}, 0, 333333}};
    for (const RateCase &c : rateCases) {
        Capability cap = capOf(1920, kFourccMJPG);
        cap.frameDuration100ns = c.offered.front();
        cap.frameDurations100ns = c.offered;
        EXPECT_EQ(KxBooth::selectFrameDuration(cap, c.preferred), c.chosen) << c.offered.size();
    }
    struct SizeCase {
        int w, h;
        double fps;
        QSize encoded;
        int step;
    } sizeCases[] = {
        {1280, 720, 15, {1280, 720}, 1},  {640, 480, 30, {640, 480}, 1},    {1280, 960, 15, {1280, 960}, 1},
        {1280, 720, 30, {1280, 720}, 2},  {1920, 1080, 30, {1280, 720}, 2}, {1920, 1080, 15, {1280, 720}, 1},
        {1920, 1440, 15, {960, 720}, 1},  {2592, 1944, 5, {960, 720}, 1},    {1600, 1200, 30, {960, 720}, 1},
        {1366, 768, 30, {1280, 720}, 2},  {1920, 1080, 60, {1280, 720}, 4}, {1280, 720, 25, {1280, 720}, 1},
        {640, 480, 60, {640, 480}, 1},
    };
    for (const SizeCase &c : sizeCases) {
        EXPECT_EQ(KxBooth::encodeSize(c.w, c.h, c.fps, 1280, 720, 15), c.encoded) << c.w << "x" << c.h << "@" << c.fps;
        EXPECT_EQ(KxBooth::sampleStep(c.encoded, c.fps, 1280, 720, 15), c.step) << c.w << "x" << c.h << "@" << c.fps;
    }
}

TEST(BoothInterface, QtInterfaceAndSignalType)
{
    KxBooth booth;
    IKxBooth *iface = qobject_cast<IKxBooth *>(&booth);
    ASSERT_EQ(iface, static_cast<IKxBooth *>(&booth));
    EXPECT_EQ(iface->getObject(), &booth);
    for (const char *name : {"KxBooth", "IKxBooth", "com.vantri.Plurova.IKxBooth/1.0"})
        EXPECT_NE(booth.qt_metacast(name), nullptr) << name;
    EXPECT_EQ(booth.qt_metacast("IKxModuleCamera"), nullptr);

    QSignalSpy spy(&booth, &KxBooth::signalVideoSourceState);
    booth.setVideoSourceState(VisualizerFailure);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).value<VisualizerState>(), VisualizerFailure);

    QJsonObject format;
    EXPECT_EQ(booth.getCapFormat(format), -1);
    EXPECT_EQ(booth.setCapFormat(QJsonObject{{"width", 640}}), -2);
    uint8_t out[16];
    EXPECT_EQ(booth.convertI420(out, 16, out, 16), -1); // no format yet
    KxVideoFrame frame;
    EXPECT_EQ(booth.convert(out, 16, &frame), -1);

    auto *heap = new KxBooth;
    heap->release(); // deletes; the sanitizer build checks it
}

TEST_F(BoothTest, LifecycleOverTheVirtualCamera)
{
    setenv("KX_VIRTUAL_CAMERA", "default", 1);
    CountingCallback callback;
    KxBooth booth;
    booth.setIKxYUVDataCallBack(&callback);
    QSignalSpy spy(&booth, &KxBooth::signalVideoSourceState);

    EXPECT_EQ(booth.startPreview(), -1); // before open
    EXPECT_EQ(booth.stopPreview(), 1);
    EXPECT_EQ(booth.close(), 1);
    EXPECT_EQ(booth.state(), KxBooth::StateNone);

    ASSERT_EQ(booth.open(kUnitPattern), 0);
    EXPECT_EQ(booth.state(), KxBooth::StateRendered);
    EXPECT_EQ(booth.captureFilterName(), std::wstring(kUnitPattern));
    EXPECT_EQ(booth.deviceName(), "VANTRI Multimedia Unit HD");
    EXPECT_EQ(booth.open(kUnitPattern), 1);
    QJsonObject format;
    ASSERT_EQ(booth.getCapFormat(format), 0);
    EXPECT_EQ(format.value("width").toInt(), 1280);
    EXPECT_EQ(format.value("height").toInt(), 720);
    EXPECT_NEAR(format.value("fps").toDouble(), 15.000015, 1e-6);
    EXPECT_EQ(format.value("format").toVariant().toLongLong(), qint64(kFourccMJPG));
    EXPECT_FALSE(booth.isRunning());

    for (int run = 0; run < 2; ++run) {
        const int before = callback.count();
        ASSERT_EQ(booth.startPreview(), 0) << run;
        EXPECT_TRUE(booth.isRunning());
        EXPECT_EQ(booth.state(), KxBooth::StateRunning);
        EXPECT_EQ(booth.startPreview(), -1);
        ASSERT_TRUE(callback.waitFor(before + 2)) << run;
        EXPECT_EQ(booth.stopPreview(), 0);
        EXPECT_EQ(booth.stopPreview(), 1);
        EXPECT_FALSE(booth.isRunning());
        EXPECT_EQ(booth.state(), KxBooth::StateRendered);
    }
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(1).at(0).value<VisualizerState>(), VisualizerStopped);

    // The callback received real JPEG samples of the chosen size.
    const std::vector<uint8_t> sample = callback.first();
    std::vector<uint8_t> out(1280 * 720 * 3 / 2);
    EXPECT_EQ(booth.convertI420(sample.data(), int(sample.size()), out.data(), int(out.size())), 1280 * 720 * 3 / 2);

    EXPECT_EQ(booth.close(), 0);
    EXPECT_EQ(booth.close(), 1);
    EXPECT_EQ(booth.state(), KxBooth::StateNone);

    // close from the running state stops first.
    ASSERT_EQ(booth.open(L"VANTRI Multimedia"), 0);
    ASSERT_EQ(booth.startPreview(), 0);
    EXPECT_EQ(booth.close(), 0);
    EXPECT_FALSE(booth.isRunning());
    EXPECT_EQ(spy.count(), 3);

    // Destruction while running is clean too.
    auto *running = new KxBooth;
    running->setIKxYUVDataCallBack(&callback);
    ASSERT_EQ(running->open(L"VANTRI"), 0);
    ASSERT_EQ(running->startPreview(), 0);
    running->release();
}

TEST_F(BoothTest, DeviceChoiceAndOpenFailures)
{
    const QJsonArray twoCams{jdev("Laptop Webcam", {jcap("YUY2", 640, 480), jcap("MJPG", 1920, 1080)}),
                             jdev("VANTRI Multimedia Unit HD", {jcap("MJPG", 1280, 720)})};
    struct Case {
        const char *what;
        QJsonArray devices;
        const wchar_t *pattern;
        int result;
        const char *device;
        const wchar_t *filterName;
        int width; // of the pictures handed on (a 1080p camera's are scaled down)
    } cases[] = {
        {"second camera matches", twoCams, kUnitPattern, 0, "VANTRI Multimedia Unit HD", kUnitPattern, 1280},
        {"driver's cut name", QJsonArray{jdev("VANTRI Multimedia Unit HDX: VAN", {jcap("YUY2", 640, 480)}),
                                         jdev("VANTRI Multimedia Unit HD: VANT", {jcap("MJPG", 1920, 1080)})},
         kUnitPattern, 0, "VANTRI Multimedia Unit HD: VANT", kUnitPattern, 1280},
        {"no match takes the first", twoCams, L"Nothing", 0, "Laptop Webcam", L"DefaultCamera", 1280},
        {"no devices", QJsonArray{}, L"VANTRI", -60, "", L"", 0},
        {"only unreadable devices", QJsonArray{jdev("VANTRI", {jcap("MJPG", 64, 48)}, {}, false)}, L"VANTRI", -60,
         "", L"", 0},
        {"fails to open", QJsonArray{jdev("VANTRI", {jcap("MJPG", 64, 48)}, {{"failOpen", true}})}, L"VANTRI", -10,
         "", L"", 0},
        {"no capabilities", QJsonArray{jdev("VANTRI", {})}, L"VANTRI", -12, "", L"", 0},
    };
    for (const Case &c : cases) {
        useConfig(c.devices);
        KxBooth booth;
        for (int attempt = 0; attempt < 2; ++attempt) { // a failed open can be retried
            EXPECT_EQ(booth.open(c.pattern), attempt == 0 || c.result < 0 ? c.result : 1) << c.what;
        }
        EXPECT_EQ(booth.deviceName(), c.device) << c.what;
        EXPECT_EQ(booth.captureFilterName(), std::wstring(c.filterName)) << c.what;
        QJsonObject format;
        if (c.result == 0) {
            ASSERT_EQ(booth.getCapFormat(format), 0) << c.what;
            EXPECT_EQ(format.value("width").toInt(), c.width) << c.what;
        } else {
            EXPECT_EQ(booth.state(), KxBooth::StateNone) << c.what;
            EXPECT_EQ(booth.startPreview(), -1) << c.what;
        }
    }

    // A listing that is empty, or cannot be read at all; only unreadable devices.
    useConfig(QJsonArray{});
    EXPECT_EQ(KxBooth::getCamMoniker(L"VANTRI", nullptr, nullptr), -2);
    useConfig(QJsonArray{jdev("VANTRI", {jcap("MJPG", 64, 48)}, {}, false)});
    EXPECT_EQ(KxBooth::getCamMoniker(L"VANTRI", nullptr, nullptr), -5);
    setenv("KX_VIRTUAL_CAMERA", m_dir.filePath("absent.json").toLocal8Bit().constData(), 1);
    EXPECT_EQ(KxBooth::getCamMoniker(L"VANTRI", nullptr, nullptr), -2);
    KxBooth booth;
    EXPECT_EQ(booth.open(L"VANTRI"), -60);

    // A pattern longer than the capture name limit still opens; the name is cut.
    useConfig(twoCams);
    const std::wstring longPattern = L"(" + std::wstring(300, L'x') + L")?VANTRI";
    ASSERT_EQ(booth.open(longPattern.c_str()), 0);
    EXPECT_EQ(booth.captureFilterName().size(), size_t(KxBooth::kMaxFilterName - 1));

    // getCamMoniker hands out the devices themselves.
    DeviceInfo matched, first;
    EXPECT_EQ(KxBooth::getCamMoniker(kUnitPattern, &matched, &first), 1);
    EXPECT_EQ(matched.friendlyName, "VANTRI Multimedia Unit HD");
    EXPECT_EQ(KxBooth::getCamMoniker(L"Nothing", &matched, &first), 0);
    EXPECT_EQ(first.friendlyName, "Laptop Webcam");
}

TEST_F(BoothTest, StartFailureAndDeviceEvents)
{
    useConfig(QJsonArray{jdev("VANTRI A", {jcap("YUY2", 64, 48)}, {{"failStart", true}}),
                         jdev("VANTRI B", {jcap("YUY2", 64, 48, 50)}, {{"stopAfterSeconds", 0.2}})});
    CountingCallback callback;
    KxBooth failing;
    ASSERT_EQ(failing.open(L"VANTRI A"), 0);
    EXPECT_EQ(failing.startPreview(), -5);
    EXPECT_FALSE(failing.isRunning());
    EXPECT_EQ(failing.state(), KxBooth::StateRendered);

    KxBooth unplugged;
    unplugged.setIKxYUVDataCallBack(&callback);
    ASSERT_EQ(unplugged.open(L"VANTRI B"), 0);
    StateRecorder recorder(&unplugged);
    ASSERT_EQ(unplugged.startPreview(), 0);
    // The loss is reported from the event thread as a failure state.
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_GT(callback.count(), 0);
    EXPECT_EQ(unplugged.stopPreview(), 0);
    EXPECT_EQ(recorder.states(), (std::vector<VisualizerState>{VisualizerFailure, VisualizerStopped}));
    EXPECT_EQ(unplugged.close(), 0);
}

TEST_F(BoothTest, ConvertI420)
{
    const int w = 320, h = 240;
    const int frameBytes = w * h * 3 / 2;
    QJsonObject paddedCap = jcap("YUY2", w, h);
    paddedCap.insert("bytesPerLine", w * 2 + 32);
    useConfig(QJsonArray{jdev("MJ", {jcap("MJPG", w, h)}), jdev("YU", {jcap("YUY2", w, h)}),
                         jdev("RAW", {jcap("I420", w, h)}), jdev("YP", {paddedCap})});
    std::vector<uint8_t> pattern(static_cast<size_t>(frameBytes)), out(static_cast<size_t>(frameBytes));
    kxcam::renderTestPattern(w, h, 5, pattern.data());
    std::vector<uint8_t> jpeg;
    ASSERT_TRUE(kxcam::encodeJpegI420(pattern.data(), w, h, 90, &jpeg));
    std::vector<uint8_t> yuy2(size_t(w) * h * 2);
    libyuv::I420ToYUY2(pattern.data(), w, pattern.data() + w * h, w / 2, pattern.data() + w * h * 5 / 4, w / 2,
                       yuy2.data(), w * 2, w, h);
    // The same picture with 32 bytes of padding after every row but the
    // last, as the driver's bytesperline says: the length alone would
    // give a wrong stride.
    std::vector<uint8_t> padded(size_t(w * 2 + 32) * h, 0);
    for (int y = 0; y < h; ++y)
        std::copy_n(yuy2.begin() + y * w * 2, w * 2, padded.begin() + y * (w * 2 + 32));
    padded.resize(padded.size() - 32);
    std::vector<uint8_t> corrupt = jpeg;
    for (size_t i = 2; i < 400 && i < corrupt.size(); ++i)
        corrupt[i] = uint8_t(i * 37);

    KxBooth mj, yu, raw, yp;
    ASSERT_EQ(yp.open(L"^YP$"), 0);
    ASSERT_EQ(mj.open(L"^MJ$"), 0);
    ASSERT_EQ(yu.open(L"^YU$"), 0);
    ASSERT_EQ(raw.open(L"^RAW$"), 0);

    struct Case {
        const char *what;
        KxBooth *booth;
        const std::vector<uint8_t> *sample;
        int length; // -1: the whole sample
        int capacity;
        int result;
        double minPsnr; // 0: not compared
    } cases[] = {
        {"MJPEG", &mj, &jpeg, -1, frameBytes, frameBytes, 35},
        {"YUY2", &yu, &yuy2, -1, frameBytes, frameBytes, 100},
        {"YUY2 with padded rows", &yp, &padded, -1, frameBytes, frameBytes, 100},
        {"padded YUY2 one byte short", &yp, &padded, int(padded.size()) - 1, frameBytes, 0, 0},
        {"larger output buffer", &yu, &yuy2, -1, 2 * w * h, frameBytes, 100},
        {"corrupt MJPEG skipped", &mj, &corrupt, -1, frameBytes, 0, 0},
        {"empty MJPEG skipped", &mj, &jpeg, 0, frameBytes, 0, 0},
        {"MJPEG header only", &mj, &jpeg, 2, frameBytes, 0, 0},
        {"short YUY2 skipped", &yu, &yuy2, w * h * 2 - 1, frameBytes, 0, 0},
        {"empty YUY2 skipped", &yu, &yuy2, 0, frameBytes, 0, 0},
        {"output too small", &yu, &yuy2, -1, frameBytes - 1, -1, 0},
        {"other FourCC writes nothing", &raw, &pattern, -1, frameBytes, frameBytes, 0},
    };
    for (const Case &c : cases) {
        std::fill(out.begin(), out.end(), uint8_t(0xAB));
        const int length = c.length < 0 ? int(c.sample->size()) : c.length;
        EXPECT_EQ(c.booth->convertI420(c.sample->data(), length, out.data(), c.capacity), c.result) << c.what;
        if (c.minPsnr > 0) {
            EXPECT_GE(psnr(out.data(), pattern.data(), size_t(frameBytes)), c.minPsnr) << c.what;
        }
        if (c.booth == &raw || c.result < 0) {
            EXPECT_EQ(std::count(out.begin(), out.end(), uint8_t(0xAB)), frameBytes) << c.what << ": written";
        }
    }
    EXPECT_EQ(mj.convertI420(jpeg.data(), int(jpeg.size()), nullptr, frameBytes), -1);
    EXPECT_EQ(mj.convertI420(nullptr, 100, out.data(), frameBytes), 0);

    // A truncated JPEG may decode partially, but never beyond the buffer.
    for (size_t cut : {jpeg.size() / 2, jpeg.size() - 3, size_t(700)}) {
        const int r = mj.convertI420(jpeg.data(), int(cut), out.data(), frameBytes);
        EXPECT_TRUE(r == 0 || r == frameBytes) << cut;
    }
}

TEST_F(BoothTest, ConvertRotatesAndScales)
{
    const int w = 320, h = 240;
    useConfig(QJsonArray{jdev("YU", {jcap("YUY2", w, h)})});
    std::vector<uint8_t> pattern(size_t(w) * h * 3 / 2);
    kxcam::renderTestPattern(w, h, 3, pattern.data());
    std::vector<uint8_t> yuy2(size_t(w) * h * 2);
    libyuv::I420ToYUY2(pattern.data(), w, pattern.data() + w * h, w / 2, pattern.data() + w * h * 5 / 4, w / 2,
                       yuy2.data(), w * 2, w, h);
    KxBooth booth;
    ASSERT_EQ(booth.open(L"YU"), 0);

    struct Case {
        int code, degrees, fw, fh;
    } cases[] = {{0, 0, w, h}, {1, 90, h, w}, {2, 180, w, h}, {3, 270, h, w}, {7, 0, w / 2, h / 2}};
    for (const Case &c : cases) {
        booth.rotate(c.code);
        // Expected: the pattern rotated by libyuv, then scaled the same way.
        const bool quarter = c.degrees == 90 || c.degrees == 270;
        const int rw = quarter ? h : w, rh = quarter ? w : h;
        std::vector<uint8_t> rotated(pattern.size()), expected(size_t(c.fw) * c.fh * 3 / 2),
            got(expected.size(), 0);
        libyuv::I420Rotate(pattern.data(), w, pattern.data() + w * h, w / 2, pattern.data() + w * h * 5 / 4, w / 2,
                           rotated.data(), rw, rotated.data() + w * h, rw / 2, rotated.data() + w * h * 5 / 4, rw / 2,
                           w, h, libyuv::RotationMode(c.degrees));
        libyuv::I420Scale(rotated.data(), rw, rotated.data() + w * h, rw / 2, rotated.data() + w * h * 5 / 4, rw / 2,
                          rw, rh, expected.data(), c.fw, expected.data() + c.fw * c.fh, c.fw / 2,
                          expected.data() + c.fw * c.fh * 5 / 4, c.fw / 2, c.fw, c.fh, libyuv::kFilterBox);
        KxVideoFrame frame;
        frame.y = got.data();
        frame.u = got.data() + c.fw * c.fh;
        frame.v = got.data() + c.fw * c.fh * 5 / 4;
        frame.strideY = c.fw;
        frame.strideU = frame.strideV = c.fw / 2;
        frame.width = c.fw;
        frame.height = c.fh;
        ASSERT_EQ(booth.convert(yuy2.data(), int(yuy2.size()), &frame), 0) << c.code;
        EXPECT_EQ(got, expected) << "rotation code " << c.code;
    }
    KxVideoFrame frame; // no planes
    EXPECT_EQ(booth.convert(yuy2.data(), int(yuy2.size()), &frame), -1);
    std::vector<uint8_t> plane(64 * 64 * 3 / 2);
    frame.y = plane.data();
    frame.u = frame.v = plane.data() + 64 * 64;
    frame.strideY = 64;
    frame.strideU = frame.strideV = 32;
    frame.width = frame.height = 64;
    EXPECT_EQ(booth.convert(yuy2.data(), 10, &frame), -2); // undecodable sample
}

namespace {

// A 4:2:2 JPEG (Y sampled 2x1), as many USB cameras send: libjpeg with raw
// planes, independent of the decoder under test.
std::vector<uint8_t> jpeg422(int w, int h)
{
    std::vector<uint8_t> yp(size_t(w) * h), cp(size_t(w / 2) * h);
    for (size_t i = 0; i < yp.size(); ++i)
        yp[i] = uint8_t(i * 7 / 5);
    std::fill(cp.begin(), cp.end(), uint8_t(100));
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&c);
    c.raw_data_in = TRUE;
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 1;
    jpeg_start_compress(&c, TRUE);
    JSAMPROW yr[8], cr[8];
    JSAMPARRAY planes[3] = {yr, cr, cr};
    while (c.next_scanline < c.image_height) {
        for (int i = 0; i < 8; ++i) {
            const int row = std::min(int(c.next_scanline) + i, h - 1);
            yr[i] = yp.data() + size_t(row) * w;
            cr[i] = cp.data() + size_t(row) * (w / 2);
        }
        jpeg_write_raw_data(&c, planes, 8);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> out(buf, buf + size);
    free(buf);
    return out;
}

} // namespace

// The direct decoder gives every picture it takes at least as faithfully as
// libyuv's conversion (closer to the picture that was compressed), leaves
// alone what it does not take, and survives broken data.
TEST(BoothJpeg, DirectDecodeAgainstLibyuv)
{
    std::map<int, std::vector<uint8_t>> originals;
    auto jpegOf = [&](int w, int h) {
        std::vector<uint8_t> &picture = originals[w];
        picture.resize(size_t(w) * h * 3 / 2);
        kxcam::renderTestPattern(w, h, 3, picture.data());
        std::vector<uint8_t> jpeg;
        kxcam::encodeJpegI420(picture.data(), w, h, 85, &jpeg);
        return jpeg;
    };
    const std::vector<uint8_t> hd = jpegOf(1280, 720), fullHd = jpegOf(1920, 1080), narrow = jpegOf(328, 240),
                               sub422 = jpeg422(320, 240);
    std::vector<uint8_t> broken = hd;
    for (size_t i = 2; i < 600; ++i)
        broken[i] = uint8_t(i * 37);
    struct Case {
        const char *what;
        const std::vector<uint8_t> *jpeg;
        size_t length; // 0: all of it
        int w, h;
        KxJpegDecoder::Result result;
    } cases[] = {
        {"1280x720 4:2:0", &hd, 0, 1280, 720, KxJpegDecoder::Decoded},
        {"1920x1080 4:2:0, rows past the last macroblock row", &fullHd, 0, 1920, 1080, KxJpegDecoder::Decoded},
        {"width not whole macroblocks", &narrow, 0, 328, 240, KxJpegDecoder::NotHandled},
        {"4:2:2", &sub422, 0, 320, 240, KxJpegDecoder::NotHandled},
        {"another size than asked", &hd, 0, 1920, 1080, KxJpegDecoder::NotHandled},
        {"broken header", &broken, 0, 1280, 720, KxJpegDecoder::Failed},
        {"header only", &hd, 2, 1280, 720, KxJpegDecoder::NotHandled},
        {"cut short", &hd, 9000, 1280, 720, KxJpegDecoder::Failed},
        {"the first picture again after failures", &hd, 0, 1280, 720, KxJpegDecoder::Decoded},
    };
    KxJpegDecoder decoder;
    for (const Case &c : cases) {
        const size_t bytes = size_t(c.w) * c.h * 3 / 2;
        const size_t length = c.length ? c.length : c.jpeg->size();
        std::vector<uint8_t> out(bytes, 0xAB), expected(bytes);
        uint8_t *y = out.data(), *u = y + size_t(c.w) * c.h, *v = u + bytes / 6;
        EXPECT_EQ(decoder.decodeI420(c.jpeg->data(), length, y, u, v, c.w, c.h), c.result) << c.what;
        if (c.result == KxJpegDecoder::Decoded) {
            uint8_t *ey = expected.data(), *eu = ey + size_t(c.w) * c.h, *ev = eu + bytes / 6;
            ASSERT_EQ(libyuv::MJPGToI420(c.jpeg->data(), length, ey, c.w, eu, c.w / 2, ev, c.w / 2, c.w, c.h,
                                         c.w, c.h), 0) << c.what;
            const std::vector<uint8_t> &original = originals[c.w];
            const double direct = psnr(out.data(), original.data(), bytes);
            const double viaLibyuv = psnr(expected.data(), original.data(), bytes);
            EXPECT_GE(direct, viaLibyuv) << c.what;
            EXPECT_GT(direct, 35.0) << c.what;
        } else if (c.result == KxJpegDecoder::NotHandled) {
            EXPECT_EQ(std::count(out.begin(), out.end(), uint8_t(0xAB)), std::ptrdiff_t(bytes)) << c.what;
        }
    }
}
