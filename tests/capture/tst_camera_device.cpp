// The camera layer: pure helpers, the virtual camera as a stand-in for the
// USB camera unit (listing, formats, streaming, faults, its picture) and the
// V4L2 backend's clean failures on a machine without a camera.

#include <camera/KxCameraDevice.h>

#include <libyuv/convert.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace kxcam;

namespace {

double psnr(const uint8_t *a, const uint8_t *b, size_t n)
{
    double se = 0;
    for (size_t i = 0; i < n; ++i) {
        const double d = double(a[i]) - double(b[i]);
        se += d * d;
    }
    if (se == 0)
        return 100.0;
    return 10.0 * std::log10(255.0 * 255.0 / (se / double(n)));
}

/// Collects samples on the streaming thread; waits are bounded.
class CollectingSink : public SampleSink {
public:
    explicit CollectingSink(int keep = 1000, int sleepMs = 0) : m_keep(keep), m_sleepMs(sleepMs) {}
    void onSample(const uint8_t *data, int length, int64_t) override
    {
        if (m_inside.exchange(true))
            m_overlapped = true;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (int(m_samples.size()) < m_keep)
                m_samples.emplace_back(data, data + length);
            ++m_count;
        }
        m_cv.notify_all();
        if (m_sleepMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_sleepMs));
        m_inside = false;
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
    std::vector<uint8_t> sample(int i)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples.at(size_t(i));
    }
    bool overlapped() const { return m_overlapped; }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::vector<uint8_t>> m_samples;
    int m_count = 0;
    int m_keep;
    int m_sleepMs;
    std::atomic<bool> m_inside{false};
    std::atomic<bool> m_overlapped{false};
};

class VirtualCameraTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("KX_VIRTUAL_CAMERA"); }

    /// Writes {"devices": devices} and selects it.
    void useConfig(const QJsonArray &devices)
    {
        ASSERT_TRUE(m_dir.isValid());
        const QString path = m_dir.filePath("cams.json");
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(QJsonObject{{"devices", devices}}).toJson());
        f.close();
        setenv("KX_VIRTUAL_CAMERA", path.toLocal8Bit().constData(), 1);
    }

    static QJsonObject cap(const char *format, int w, int h, double fps = 15)
    {
        return QJsonObject{{"format", format}, {"width", w}, {"height", h}, {"fps", fps}};
    }
    static QJsonObject device(const char *name, QJsonArray caps, QJsonObject faults = {}, bool readable = true)
    {
        return QJsonObject{{"name", name}, {"readable", readable}, {"capabilities", caps}, {"faults", faults}};
    }

    /// Opens the only listed device with its first capability.
    std::unique_ptr<CaptureDevice> openFirst()
    {
        int status = 1;
        const auto list = CaptureDevice::enumerate(&status);
        EXPECT_EQ(status, 0);
        if (list.empty())
            return nullptr;
        auto dev = CaptureDevice::open(list[0]);
        if (dev) {
            const auto caps = dev->capabilities();
            EXPECT_FALSE(caps.empty());
            if (!caps.empty()) {
                EXPECT_TRUE(dev->setFormat(caps[0]));
            }
        }
        return dev;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST(CameraHelpers, FourccAndIntervalMapping)
{
    EXPECT_EQ(fourccFromV4l2(fourcc('M', 'J', 'P', 'G')), kFourccMJPG);
    EXPECT_EQ(fourccFromV4l2(fourcc('Y', 'U', 'Y', 'V')), kFourccYUY2);
    EXPECT_EQ(fourccFromV4l2(fourcc('N', 'V', '1', '2')), 0u);
    EXPECT_EQ(v4l2FromFourcc(kFourccYUY2), fourcc('Y', 'U', 'Y', 'V'));
    EXPECT_EQ(v4l2FromFourcc(kFourccMJPG), fourcc('M', 'J', 'P', 'G'));
    EXPECT_EQ(v4l2FromFourcc(fourcc('H', '2', '6', '4')), 0u);
    EXPECT_EQ(fourccText(kFourccYUY2), "YUY2");
    EXPECT_EQ(fourccText(0x01020304u), "????");

    struct {
        uint32_t num, den;
        int64_t duration;
    } intervals[] = {{1, 15, 666667}, {1, 30, 333333}, {1001, 30000, 333667}, {2, 15, 1333333},
                     {1, 0, 0},       {0, 30, 0},      {1, 10000000, 1}};
    for (const auto &c : intervals)
        EXPECT_EQ(frameDurationFromInterval(c.num, c.den), c.duration) << c.num << "/" << c.den;
}

TEST(CameraHelpers, SplitJpegStream)
{
    const std::vector<uint8_t> bytes = {0x00, 0x11,                        // junk before
                                        0xff, 0xd8, 0x01, 0xff, 0x00, 0xff, 0xd9, // picture 1
                                        0xff, 0xd8, 0xff, 0xd9,                   // picture 2
                                        0x42,                                     // junk between
                                        0xff, 0xd8, 0x05, 0x06, 0xff, 0xd9,       // picture 3
                                        0xff, 0xd8, 0x07};                        // unterminated tail
    const auto pictures = splitJpegStream(bytes.data(), bytes.size());
    ASSERT_EQ(pictures.size(), 3u);
    EXPECT_EQ(pictures[0], std::make_pair(size_t(2), size_t(7)));
    EXPECT_EQ(pictures[1], std::make_pair(size_t(9), size_t(4)));
    EXPECT_EQ(pictures[2], std::make_pair(size_t(14), size_t(6)));
    EXPECT_TRUE(splitJpegStream(nullptr, 10).empty());
    EXPECT_TRUE(splitJpegStream(bytes.data(), 1).empty());
}

TEST(CameraHelpers, PatternIsDeterministicMovesAndSurvivesJpeg)
{
    struct Size {
        int w, h;
    } sizes[] = {{1280, 720}, {640, 480}, {34, 18}, {2, 2}};
    for (const Size &s : sizes) {
        const size_t n = size_t(s.w) * s.h * 3 / 2;
        std::vector<uint8_t> a(n, 1), b(n, 2), c(n, 3), decoded(n, 0);
        renderTestPattern(s.w, s.h, 7, a.data());
        renderTestPattern(s.w, s.h, 7, b.data());
        renderTestPattern(s.w, s.h, 8, c.data());
        EXPECT_EQ(a, b) << s.w << "x" << s.h;
        if (s.w > 2) { // a 2x2 picture is all box
            EXPECT_NE(a, c) << s.w << "x" << s.h;
        }

        std::vector<uint8_t> jpeg;
        ASSERT_TRUE(encodeJpegI420(a.data(), s.w, s.h, 85, &jpeg)) << s.w << "x" << s.h;
        ASSERT_GT(jpeg.size(), 4u);
        EXPECT_EQ(jpeg[0], 0xff);
        EXPECT_EQ(jpeg[1], 0xd8);
        EXPECT_EQ(jpeg[jpeg.size() - 2], 0xff);
        EXPECT_EQ(jpeg[jpeg.size() - 1], 0xd9);
        ASSERT_EQ(libyuv::MJPGToI420(jpeg.data(), jpeg.size(), decoded.data(), s.w,
                                     decoded.data() + size_t(s.w) * s.h, s.w / 2,
                                     decoded.data() + size_t(s.w) * s.h * 5 / 4, s.w / 2, s.w, s.h, s.w, s.h),
                  0);
        if (s.w >= 64) {
            EXPECT_GT(psnr(a.data(), decoded.data(), n), 35.0) << s.w << "x" << s.h;
        }
    }
    std::vector<uint8_t> out;
    uint8_t tiny[6] = {};
    EXPECT_FALSE(encodeJpegI420(tiny, 3, 2, 85, &out)); // odd sizes are refused
    EXPECT_TRUE(out.empty());
}

TEST(V4l2Camera, FailsCleanlyWithoutDevice)
{
    unsetenv("KX_VIRTUAL_CAMERA");
    int status = 1;
    const auto list = CaptureDevice::enumerate(&status);
    EXPECT_EQ(status, 0);
    for (const DeviceInfo &d : list)
        EXPECT_EQ(d.devicePath.rfind("/dev/video", 0), 0u) << d.devicePath;

    const DeviceInfo missing{"nothing", "/dev/video987", true};
    const DeviceInfo notVideo{"null", "/dev/null", true};
    const DeviceInfo virtualWithoutEnv{"virtual", "virtual:0", true};
    for (const DeviceInfo &d : {missing, notVideo, virtualWithoutEnv}) {
        std::string error;
        EXPECT_EQ(CaptureDevice::open(d, &error), nullptr) << d.devicePath;
        EXPECT_FALSE(error.empty()) << d.devicePath;
    }
}

TEST_F(VirtualCameraTest, DefaultDevice)
{
    setenv("KX_VIRTUAL_CAMERA", "default", 1);
    int status = 1;
    const auto list = CaptureDevice::enumerate(&status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].friendlyName, "VANTRI Multimedia Unit HD");
    EXPECT_EQ(list[0].devicePath, "virtual:0");
    EXPECT_TRUE(list[0].pathReadable);
    auto dev = CaptureDevice::open(list[0]);
    ASSERT_NE(dev, nullptr);
    const auto caps = dev->capabilities();
    ASSERT_EQ(caps.size(), 3u);
    const struct {
        uint32_t fourcc;
        int w, h;
    } expected[] = {{kFourccMJPG, 1280, 720}, {kFourccYUY2, 1280, 720}, {kFourccYUY2, 640, 480}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(caps[i].fourcc, expected[i].fourcc);
        EXPECT_EQ(caps[i].width, expected[i].w);
        EXPECT_EQ(caps[i].height, expected[i].h);
        EXPECT_EQ(caps[i].frameDuration100ns, 666666);
        EXPECT_EQ(caps[i].kind, Capability::KindVideoInfo);
    }
    Capability notOffered = caps[0];
    notOffered.width = 1920;
    EXPECT_FALSE(dev->setFormat(notOffered));
}

TEST_F(VirtualCameraTest, ConfigurationFile)
{
    useConfig(QJsonArray{device("Laptop Webcam", {cap("YUY2", 640, 480)}),
                         device("Locked Cam", {cap("MJPG", 1280, 720)}, {}, false),
                         device("Broken Cam", {cap("MJPG", 1280, 720, 30)}, {{"failOpen", true}}),
                         device("No Start Cam", {cap("MJPG", 320, 240)}, {{"failStart", true}})});
    int status = 1;
    const auto list = CaptureDevice::enumerate(&status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].friendlyName, "Laptop Webcam");
    EXPECT_EQ(list[1].devicePath, "virtual:1");
    EXPECT_FALSE(list[1].pathReadable);

    std::string error;
    EXPECT_EQ(CaptureDevice::open(list[1], &error), nullptr); // unreadable
    EXPECT_EQ(CaptureDevice::open(list[2], &error), nullptr); // fails to open
    EXPECT_NE(error.find("fail to open"), std::string::npos);
    EXPECT_EQ(CaptureDevice::open(DeviceInfo{"x", "virtual:9", true}, &error), nullptr);
    EXPECT_EQ(CaptureDevice::open(DeviceInfo{"x", "virtual:01", true}, &error), nullptr);

    auto noStart = CaptureDevice::open(list[3]);
    ASSERT_NE(noStart, nullptr);
    CollectingSink sink;
    EXPECT_FALSE(noStart->start(&sink)); // no format yet
    ASSERT_TRUE(noStart->setFormat(noStart->capabilities()[0]));
    EXPECT_FALSE(noStart->start(&sink)); // configured fault
    EXPECT_FALSE(noStart->isStreaming());
    noStart->stop();
    noStart->stop();

    // Unreadable or malformed descriptions: an empty list and status -1.
    const QString bad = m_dir.filePath("bad.json");
    QFile f(bad);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{ not json");
    f.close();
    for (const QString &path : {bad, m_dir.filePath("missing.json")}) {
        setenv("KX_VIRTUAL_CAMERA", path.toLocal8Bit().constData(), 1);
        status = 0;
        EXPECT_TRUE(CaptureDevice::enumerate(&status).empty());
        EXPECT_EQ(status, -1);
    }
    useConfig(QJsonArray{device("Odd", {cap("YUY2", 641, 480)})});
    EXPECT_TRUE(CaptureDevice::enumerate(&status).empty());
    EXPECT_EQ(status, -1);
}

TEST_F(VirtualCameraTest, StreamsThePictureInBothFormats)
{
    struct Case {
        const char *format;
        int w, h;
    } cases[] = {{"YUY2", 640, 480}, {"MJPG", 640, 480}, {"MJPG", 1280, 720}};
    for (const Case &c : cases) {
        useConfig(QJsonArray{device("Cam", {cap(c.format, c.w, c.h, 60)})});
        auto dev = openFirst();
        ASSERT_NE(dev, nullptr);
        CollectingSink sink(6);
        ASSERT_TRUE(dev->start(&sink));
        EXPECT_TRUE(dev->isStreaming());
        EXPECT_FALSE(dev->start(&sink)); // already streaming
        ASSERT_TRUE(sink.waitFor(6)) << c.format;
        dev->stop();
        EXPECT_FALSE(dev->isStreaming());
        const int after = sink.count();
        EXPECT_EQ(sink.count(), after); // nothing arrives once stop returned

        const size_t n = size_t(c.w) * c.h * 3 / 2;
        std::vector<uint8_t> expected(n), got(n);
        for (int i = 0; i < 6; ++i) {
            const std::vector<uint8_t> s = sink.sample(i);
            renderTestPattern(c.w, c.h, i, expected.data(), 166667);
            uint8_t *y = got.data(), *u = y + size_t(c.w) * c.h, *v = u + size_t(c.w) * c.h / 4;
            if (std::string(c.format) == "YUY2") {
                ASSERT_EQ(s.size(), size_t(c.w) * c.h * 2);
                ASSERT_EQ(libyuv::YUY2ToI420(s.data(), c.w * 2, y, c.w, u, c.w / 2, v, c.w / 2, c.w, c.h), 0);
                EXPECT_EQ(got, expected) << "frame " << i; // packing is lossless for this picture
            } else {
                ASSERT_EQ(libyuv::MJPGToI420(s.data(), s.size(), y, c.w, u, c.w / 2, v, c.w / 2, c.w, c.h, c.w, c.h),
                          0);
                EXPECT_GT(psnr(got.data(), expected.data(), n), 35.0) << "frame " << i;
            }
        }
    }
}

TEST_F(VirtualCameraTest, SlowSinkHoldsTheStreamingThread)
{
    // A sink slower than the frame interval: samples are never delivered
    // concurrently, they keep their sequence (frame numbers follow the
    // delivered samples) and stop still ends the stream.
    useConfig(QJsonArray{device("Cam", {cap("YUY2", 64, 48, 100)})});
    auto dev = openFirst();
    ASSERT_NE(dev, nullptr);
    CollectingSink sink(4, 35);
    ASSERT_TRUE(dev->start(&sink));
    ASSERT_TRUE(sink.waitFor(4));
    dev->stop();
    EXPECT_FALSE(sink.overlapped());
    std::vector<uint8_t> expected(64 * 48 * 3 / 2), got(expected.size());
    for (int i = 0; i < 4; ++i) {
        const auto s = sink.sample(i);
        ASSERT_EQ(s.size(), 64u * 48 * 2);
        libyuv::YUY2ToI420(s.data(), 128, got.data(), 64, got.data() + 64 * 48, 32, got.data() + 64 * 60, 32, 64, 48);
        renderTestPattern(64, 48, i, expected.data(), 100000);
        EXPECT_EQ(got, expected) << "frame " << i;
    }
}

TEST_F(VirtualCameraTest, SampleFaults)
{
    useConfig(QJsonArray{device("Cam", {cap("MJPG", 320, 240, 100)},
                                {{"corruptEvery", 3}, {"truncateEvery", 4}, {"emptyEvery", 5}})});
    auto dev = openFirst();
    ASSERT_NE(dev, nullptr);
    CollectingSink sink(12);
    ASSERT_TRUE(dev->start(&sink));
    ASSERT_TRUE(sink.waitFor(12));
    dev->stop();
    std::vector<uint8_t> out(320 * 240 * 3 / 2);
    size_t wholeLength = 0;
    for (int i = 0; i < 12; ++i) {
        const auto s = sink.sample(i);
        const int k = i + 1;
        if (k % 5 == 0) {
            EXPECT_TRUE(s.empty()) << i;
            continue;
        }
        if (k % 4 == 0) {
            EXPECT_TRUE(s.size() < 320 * 240 && s.size() > 100) << i; // half of a picture
            continue;
        }
        const int r = libyuv::MJPGToI420(s.data(), s.size(), out.data(), 320, out.data() + 320 * 240, 160,
                                         out.data() + 320 * 300, 160, 320, 240, 320, 240);
        if (k % 3 == 0)
            EXPECT_NE(r, 0) << "corrupt sample " << i << " decoded";
        else {
            EXPECT_EQ(r, 0) << i;
            wholeLength = s.size();
        }
    }
    EXPECT_GT(wholeLength, 0u);
}

TEST_F(VirtualCameraTest, UnplugIsReportedAndEndsTheStream)
{
    useConfig(QJsonArray{device("Cam", {cap("YUY2", 64, 48, 50)}, {{"stopAfterSeconds", 0.2}})});
    auto dev = openFirst();
    ASSERT_NE(dev, nullptr);
    DeviceEvent event;
    EXPECT_FALSE(dev->takeEvent(&event));
    for (int run = 0; run < 2; ++run) { // every streaming run ends the same way
        CollectingSink sink;
        ASSERT_TRUE(dev->start(&sink));
        ASSERT_TRUE(dev->eventSignal()->wait(10000)) << "run " << run;
        ASSERT_TRUE(dev->takeEvent(&event));
        EXPECT_EQ(event.code, DeviceEvent::DeviceLost);
        EXPECT_FALSE(dev->takeEvent(&event));
        EXPECT_FALSE(dev->isStreaming());
        const int delivered = sink.count();
        EXPECT_GT(delivered, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(sink.count(), delivered); // nothing after the loss
        dev->stop();
    }
}

TEST_F(VirtualCameraTest, LoopsAnMjpegFile)
{
    // Three different pictures with junk around them; the device repeats them.
    std::vector<std::vector<uint8_t>> pictures(3);
    QByteArray file("junk");
    std::vector<uint8_t> i420(160 * 120 * 3 / 2);
    for (int i = 0; i < 3; ++i) {
        renderTestPattern(160, 120, i * 10, i420.data());
        ASSERT_TRUE(encodeJpegI420(i420.data(), 160, 120, 80, &pictures[size_t(i)]));
        file.append(reinterpret_cast<const char *>(pictures[size_t(i)].data()), int(pictures[size_t(i)].size()));
        file.append("\n");
    }
    QFile f(m_dir.filePath("clip.mjpeg"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(file);
    f.close();
    QJsonObject d = device("Cam", {cap("MJPG", 160, 120, 100)});
    d["mjpegFile"] = "clip.mjpeg"; // relative to the description
    QJsonObject missing = device("Cam2", {cap("MJPG", 160, 120)});
    missing["mjpegFile"] = "nothing.mjpeg";
    useConfig(QJsonArray{d, missing});

    auto dev = openFirst();
    ASSERT_NE(dev, nullptr);
    CollectingSink sink(7);
    ASSERT_TRUE(dev->start(&sink));
    ASSERT_TRUE(sink.waitFor(7));
    dev->stop();
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(sink.sample(i), pictures[size_t(i % 3)]) << i;

    const auto list = CaptureDevice::enumerate();
    ASSERT_EQ(list.size(), 2u);
    std::string error;
    EXPECT_EQ(CaptureDevice::open(list[1], &error), nullptr);
}
