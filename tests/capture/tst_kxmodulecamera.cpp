// The camera module end to end over the virtual camera: real capture
// thread, real MJPEG/YUY2 conversion, real display worker (its display
// layer below stands in for an X server that stalls), real libx264, real
// packet pool. Every
// recording is read back: packets decoded, pictures compared, stamps checked
// against the catch-up rule, snapshots decoded as JPEG.

#include "IKxBooth.h"
#include "KxCamData.h"
#include "KxCamDisplay.h"
#include "KxCamEncoder.h"
#include "KxMediaTime.h"
#include "KxModuleCamera.h"
#include "KxModulePoolMgr.h"
#include "camera/KxCameraDevice.h"
#include "display/KxDisplay.h"
#include "tst_kxcam_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

using kxtest::CopiedPacket;

// The preview's display layer: only window 42 exists, and its third paint
// blocks for 2 s, as an X server that does not answer.
constexpr uint32_t kStallingWindow = 42;
static std::atomic<int> g_paints{0};
static std::atomic<bool> g_inPaint{false};
int InitDisplayDevEnv() { return 0; }
KxDisplayDevice CreateVideoDeivce(uint32_t window, uint32_t) { return window == kStallingWindow ? &g_paints : nullptr; }
void DestroyVideoDevice(KxDisplayDevice) {}
int DisplayYv12Video(KxDisplayDevice, const uint8_t *, int, int)
{
    g_inPaint = ++g_paints == 3;
    if (g_inPaint)
        std::this_thread::sleep_for(std::chrono::seconds(2));
    g_inPaint = false;
    return 0;
}

namespace {

constexpr const char *kYuy2Camera = R"({"devices": [{"name": "VANTRI Multimedia Unit HD",
  "capabilities": [{"format": "YUY2", "width": 1280, "height": 720, "fps": 15}]}]})";

std::string faultyCamera(const std::string &faults)
{
    return R"({"devices": [{"name": "VANTRI Multimedia Unit HD",
      "capabilities": [{"format": "MJPG", "width": 640, "height": 480, "fps": 15}],
      "faults": )" + faults + "}]}";
}

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        useCamera("default");
        module = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
        pool = new KxModulePoolMgr;
        ASSERT_EQ(pool->init(), 0);
        pool->setLocalFileModule(&collector);
        pool->setPhotoModule(&collector.photoSink);
        ASSERT_EQ(pool->start(), 0);
    }
    void TearDown() override
    {
        if (module) {
            if (module->destory() != 0)
                delete module; // never inited
        }
        pool->stop();
        pool->destory();
        unsetenv("KX_VIRTUAL_CAMERA");
    }

    void useCamera(const std::string &configOrDefault)
    {
        setenv("KX_VIRTUAL_CAMERA", configOrDefault.c_str(), 1);
    }
    void useCameraJson(const std::string &json)
    {
        const std::string path = kxtest::writeCameraConfig(dir, "camera.json", json);
        ASSERT_FALSE(path.empty());
        useCamera(path);
    }

    void initModule()
    {
        ASSERT_EQ(module->init(), 0);
        ASSERT_EQ(module->setPoolModule(pool), 0);
        ASSERT_EQ(module->registerCallback(&events), 0);
    }

    // Waits for `frames` converted frames of the running recording.
    void recordFrames(int frames)
    {
        ASSERT_TRUE(kxtest::waitFor([&] { return module->camData()->convertedCount() >= frames; }, 20000))
            << "converted " << module->camData()->convertedCount();
    }

    // Frames converted in the last run that were encoded: all but those a
    // stop found still queued.
    int encodedFrames() const
    {
        return module->camData()->convertedCount() - module->framesLeftAtStop();
    }

    // After stop, every encoded frame must come out of the pool.
    void waitAllPackets(int expected)
    {
        kxtest::waitFor([&] { return int(collector.video().size()) >= expected; }, 10000);
    }

    QTemporaryDir dir;
    KxModuleCamera *module = nullptr;
    KxModulePoolMgr *pool = nullptr;
    kxtest::PacketCollector collector;
    kxtest::CameraEvents events;
    KxMediaTime clock;
};

TEST_F(ModuleTest, LifecycleResults)
{
    EXPECT_EQ(module->start(&clock), -401);
    EXPECT_EQ(module->stop(), -401);
    EXPECT_EQ(module->config(1, 2000), -401);
    EXPECT_EQ(module->clipImage(), -401);
    EXPECT_EQ(module->destory(), -401); // never inited: the module stays
    EXPECT_EQ(module->preStart(), -401);

    initModule();
    EXPECT_EQ(module->init(), 1);
    EXPECT_EQ(module->clipImage(), -407); // snapshot before start is refused
    EXPECT_EQ(module->stop(), 0);         // stopping an idle module is harmless
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    EXPECT_EQ(module->start(&clock), 1);

    KxModulePoolMgr other;
    EXPECT_EQ(module->setPoolModule(&other), -407);
    EXPECT_EQ(module->getPoolModule(), pool);
    EXPECT_EQ(module->registerCallback(nullptr), -407);
    EXPECT_EQ(module->setCameraScreen(0, Qt::black), -407);
    EXPECT_EQ(module->preStart(), 1); // already open
    EXPECT_EQ(module->config(7, 1), 0);

    EXPECT_EQ(module->stop(), 0);
    EXPECT_EQ(module->stop(), 0);
    EXPECT_EQ(module->clipImage(), -407);
    EXPECT_EQ(module->setPoolModule(pool), 0);
    EXPECT_EQ(module->destory(), 0);
    module = nullptr;
}

TEST_F(ModuleTest, RecordsEveryFrameWithClockStampsAndThreeSnapshots)
{
    initModule();
    clock.start();
    // The camera starts well after the clock: the first frame's stamp is
    // several periods into the time line.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(module->start(&clock), 0);
    EXPECT_FALSE(module->display()->previewActive()) << "no window was given";
    recordFrames(5);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(module->clipImage(), 0);
    recordFrames(30);
    ASSERT_EQ(module->stop(), 0);

    const int converted = encodedFrames();
    EXPECT_LE(module->framesLeftAtStop(), KxModuleCamera::kFrameBuffers);
    const int64_t n0 = module->camData()->firstStampMs();
    EXPECT_GE(n0, 500) << "the camera started 500 ms after the clock";
    waitAllPackets(converted);
    const std::vector<CopiedPacket> packets = collector.video();
    ASSERT_EQ(int(packets.size()), converted) << "every frame that reached the encoder is encoded";
    EXPECT_EQ(events.stoppedCount.load(), 1);

    // The packets' stamps follow the clock: the first at the camera's
    // offset, all distinct, none ahead of the clock at the stop.
    std::set<int64_t> got;
    for (const CopiedPacket &p : packets) {
        got.insert(p.video.pts);
        EXPECT_EQ(p.video.timeBase, 1000);
        EXPECT_EQ(p.video.width, 1280);
        EXPECT_EQ(p.video.height, 720);
    }
    EXPECT_EQ(int(got.size()), converted);
    EXPECT_EQ(*got.begin(), n0);
    EXPECT_LE(*got.rbegin(), clock.elapsed() + 1);

    int errors = 0;
    const std::vector<kxtest::DecodedFrame> decoded = kxtest::decodeH264(packets, &errors);
    EXPECT_EQ(errors, 0);
    ASSERT_EQ(int(decoded.size()), converted);
    int sinceKey = 0;
    for (const CopiedPacket &p : packets) {
        sinceKey = p.video.bKeyFrame ? 0 : sinceKey + 1;
        EXPECT_LT(sinceKey, KxCamEncoder::kDefaultGop);
    }
    EXPECT_TRUE(packets.front().video.bKeyFrame);

    ASSERT_TRUE(kxtest::waitFor([&] { return collector.photoCount() >= 3; }, 5000));
    const std::vector<CopiedPacket> photos = collector.photos();
    ASSERT_EQ(photos.size(), 3u);
    for (const CopiedPacket &photo : photos) {
        EXPECT_EQ(photo.type, KX_PACKET_PHOTO);
        EXPECT_EQ(photo.video.width, 1280);
        EXPECT_EQ(photo.video.height, 720);
        EXPECT_EQ(photo.video.timeBase, 0);
        EXPECT_TRUE(got.count(photo.video.pts)) << "snapshot stamped like its frame";
        EXPECT_TRUE(kxtest::decodesAsJpeg(photo.bytes, 1280, 720));
    }
    EXPECT_EQ(module->pendingSnapshots(), 0);
    EXPECT_GT(events.maxIntake, 0);
}

TEST_F(ModuleTest, Yuy2CaptureKeepsThePicture)
{
    useCameraJson(kYuy2Camera);
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(2);
    EXPECT_EQ(module->clipImage(), 0); // a YUY2 sample becomes a JPEG photo
    recordFrames(8);
    ASSERT_EQ(module->stop(), 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return collector.photoCount() == 1; }, 5000));
    EXPECT_TRUE(kxtest::decodesAsJpeg(collector.photos()[0].bytes, 1280, 720));
    const int converted = encodedFrames();
    waitAllPackets(converted);
    const std::vector<kxtest::DecodedFrame> decoded = kxtest::decodeH264(collector.video());
    ASSERT_EQ(int(decoded.size()), converted);
    std::vector<uint8_t> ref(1280 * 720 * 3 / 2);
    // Decoded frames come in time-line order, which is the camera's sample
    // order: frame i shows the camera's picture i.
    for (int i = 0; i < 5; ++i) {
        kxcam::renderTestPattern(1280, 720, i, ref.data());
        EXPECT_GT(kxtest::psnrY(decoded[size_t(i)].i420.data(), ref.data(), 1280, 720), 30.0) << "frame " << i;
    }
}

struct FaultCase {
    const char *name;
    const char *faults;
};

class ModuleFaults : public ModuleTest, public ::testing::WithParamInterface<FaultCase> {};

// Bad samples are skipped: the recording goes on, every frame that did
// convert is encoded, and what comes out decodes cleanly.
TEST_P(ModuleFaults, BadSamplesAreSkipped)
{
    useCameraJson(faultyCamera(GetParam().faults));
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(12);
    for (int i = 0; i < 2; ++i)
        module->clipImage();
    recordFrames(20);
    ASSERT_EQ(module->stop(), 0);
    const int converted = encodedFrames();
    EXPECT_GT(module->camData()->rejectedCount(), 0);
    waitAllPackets(converted);
    int errors = 0;
    const std::vector<CopiedPacket> packets = collector.video();
    EXPECT_EQ(int(packets.size()), converted);
    const std::vector<kxtest::DecodedFrame> decoded = kxtest::decodeH264(packets, &errors);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(int(decoded.size()), converted);
    // Snapshots are taken only from samples that decode.
    kxtest::waitFor([&] { return collector.photoCount() >= 2; }, 3000);
    for (const CopiedPacket &photo : collector.photos())
        EXPECT_TRUE(kxtest::decodesAsJpeg(photo.bytes, 640, 480));
    EXPECT_EQ(events.errorCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Samples, ModuleFaults,
                         ::testing::Values(FaultCase{"corrupt", R"({"corruptEvery": 3})"},
                                           FaultCase{"truncated", R"({"truncateEvery": 4})"},
                                           FaultCase{"empty", R"({"emptyEvery": 2})"},
                                           FaultCase{"all_three",
                                                     R"({"corruptEvery": 5, "truncateEvery": 7, "emptyEvery": 3})"}),
                         [](const ::testing::TestParamInfo<FaultCase> &i) { return std::string(i.param.name); });

TEST_F(ModuleTest, UnpluggedCameraIsReportedOnceAtOnce)
{
    useCameraJson(faultyCamera(R"({"stopAfterSeconds": 1.0})"));
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return events.errorCount() >= 1; }, 10000));
    // Give a second report the chance to (wrongly) arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(events.errorCount(), 1);
    {
        std::lock_guard<std::mutex> g(events.m_mutex);
        EXPECT_EQ(events.errors[0].first, -405);
        EXPECT_EQ(events.errors[0].second, "Camera Device failure");
        // The device's lost event reports it at once, well before the
        // display's watch time would have run out.
        EXPECT_LT(events.errorTimes[0] - events.lastIntakeChange, std::chrono::milliseconds(600));
    }
    EXPECT_TRUE(module->isStarted()) << "a failure is only reported";
    EXPECT_EQ(module->stop(), 0);
    const int converted = encodedFrames();
    EXPECT_EQ(module->framesLeftAtStop(), 0) << "the camera had gone quiet";
    EXPECT_GT(converted, 5);
    waitAllPackets(converted);
    EXPECT_EQ(int(collector.video().size()), converted);
}

// An encoder that falls behind holds every frame buffer; the intake waits
// for one while the camera's samples wait in the driver. That is a busy
// machine, not a failed camera: no failure, and the recording goes on.
TEST_F(ModuleTest, EncoderBehindIsNotACameraFailure)
{
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(3);
    std::vector<KxFrameBuffer *> held;
    while (int(held.size()) < KxModuleCamera::kFrameBuffers) {
        KxFrameBuffer *frame = module->encoderQueue().takeFree(5000);
        ASSERT_NE(frame, nullptr) << "buffers held: " << held.size();
        held.push_back(frame);
    }
    const int convertedWhileHeld = module->camData()->convertedCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * KxModuleCamera::kFailureWatchMs));
    EXPECT_EQ(module->camData()->convertedCount(), convertedWhileHeld) << "the intake waited";
    for (KxFrameBuffer *frame : held)
        module->encoderQueue().putFree(frame);
    recordFrames(convertedWhileHeld + 10);
    EXPECT_EQ(module->stop(), 0);
    EXPECT_EQ(events.errorCount(), 0);
    EXPECT_FALSE(module->deviceFailureReported());
}

// A camera that never shows a picture (unplugged before its first sample,
// every sample undecodable) is reported once, from the start of the
// recording; the stop still ends every thread.
class ModuleNoPicture : public ModuleFaults {};

TEST_P(ModuleNoPicture, ReportedOnce)
{
    useCameraJson(faultyCamera(GetParam().faults));
    initModule();
    clock.start();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(module->start(&clock), 0);
    EXPECT_TRUE(kxtest::waitFor([&] { return events.errorCount() > 0; }, 4 * KxModuleCamera::kFirstPictureMs));
    // Undecodable pictures are no picture: reported, but not before the
    // camera had its time for the first one.
    if (std::string(GetParam().name) == "all_corrupt") {
        // The watch counts whole milliseconds of the steady clock.
        EXPECT_GE(events.errorTimes.at(0) - started, std::chrono::milliseconds(KxModuleCamera::kFirstPictureMs - 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // the watch and the event both had their turn
    EXPECT_EQ(module->stop(), 0);
    EXPECT_EQ(events.errorCount(), 1);
    EXPECT_EQ(events.errors.at(0), std::make_pair(-405, std::string("Camera Device failure")));
    EXPECT_EQ(module->camData()->convertedCount(), 0);
    EXPECT_EQ(events.stoppedCount.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(NoPicture, ModuleNoPicture,
                         ::testing::Values(FaultCase{"unplugged", R"({"stopAfterSeconds": 0.000001})"},
                                           FaultCase{"all_corrupt", R"({"corruptEvery": 1})"}),
                         [](const ::testing::TestParamInfo<FaultCase> &i) { return std::string(i.param.name); });

// A camera slow to give its first picture (1.5 s) and a stalled preview
// cost the recording no frame and are no failed camera.
TEST_F(ModuleTest, SlowFirstPictureAndStalledPreviewCostNoFrame)
{
    useCameraJson(R"({"devices": [{"name": "VANTRI Multimedia Unit HD", "firstFrameDelayMs": 1500,
      "capabilities": [{"format": "MJPG", "width": 640, "height": 480, "fps": 15}]}]})");
    initModule();
    ASSERT_EQ(module->setCameraScreen(int32_t(kStallingWindow), QColor(0, 0, 0)), 0);
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return g_inPaint.load(); }, 20000));
    const int atStall = module->camData()->convertedCount();
    ASSERT_TRUE(kxtest::waitFor([&] { return !g_inPaint.load(); }, 10000));
    // The stall spans 30 pictures at 15 fps; a pipeline that waits for the
    // preview converts at most its four frame buffers meanwhile.
    EXPECT_GE(module->camData()->convertedCount() - atStall, 15);
    recordFrames(module->camData()->convertedCount() + 5);
    ASSERT_EQ(module->stop(), 0);
    EXPECT_EQ(module->camData()->receivedCount(), module->camData()->convertedCount());
    EXPECT_GT(module->display()->skippedFrames(), 0);
    EXPECT_EQ(events.errorCount(), 0);
    // The recording starts with the late picture, at its moment: the clock's
    // whole milliseconds less the sample's age rounded to a millisecond, so
    // one millisecond early at most.
    EXPECT_GE(module->camData()->firstStampMs(), 1499);
    waitAllPackets(encodedFrames());
    EXPECT_EQ(int(collector.video().size()), encodedFrames());
}

TEST_F(ModuleTest, CameraThatFailsToOpen)
{
    useCameraJson(faultyCamera(R"({"failOpen": true})"));
    initModule();
    EXPECT_EQ(module->preStart(), -405);
    EXPECT_EQ(module->start(&clock), -405);
    EXPECT_FALSE(module->isStarted());
    EXPECT_FALSE(module->encoder()->isRunning());
    EXPECT_EQ(module->clipImage(), -407);
    EXPECT_EQ(module->stop(), 0);
}

TEST_F(ModuleTest, CameraSearchByName)
{
    useCameraJson(R"({"devices": [
        {"name": "Laptop Camera", "capabilities": [{"format": "YUY2", "width": 640, "height": 480}]},
        {"name": "VANTRI Multimedia Unit ULTRA HD", "capabilities": [{"format": "MJPG", "width": 1280, "height": 720}]}]})");
    EXPECT_TRUE(module->isCameraExist(nullptr)) << "default name matches anywhere in the friendly name";
    EXPECT_TRUE(module->isCameraExist(L""));
    EXPECT_TRUE(module->isCameraExist(L"Laptop"));
    EXPECT_FALSE(module->isCameraExist(L"^Unit"));
    EXPECT_TRUE(module->isCameraExist(L"\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$"));
    module->setCameraName(L"Nothing Like It");
    EXPECT_FALSE(module->isCameraExist(nullptr));
    EXPECT_TRUE(module->isCameraExist(L"Laptop")) << "a given name wins over the set one";

    // No match still records, from the first camera.
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(3);
    EXPECT_EQ(module->stop(), 0);
    waitAllPackets(1);
    ASSERT_FALSE(collector.video().empty());
    EXPECT_EQ(collector.video().front().video.width, 640);
}

TEST_F(ModuleTest, RestartStartsANewTimeLine)
{
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(6);
    ASSERT_EQ(module->stop(), 0);
    const int firstRun = encodedFrames();
    waitAllPackets(firstRun);
    collector.clear();

    // A new recording: the clock restarts and the camera comes in late.
    clock.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    module->config(1, 0); // back to 1500 kbit/s at the next frame
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(8);
    ASSERT_EQ(module->stop(), 0);
    const int secondRun = encodedFrames();
    const int64_t n0 = module->camData()->firstStampMs();
    EXPECT_GE(n0, 400);
    waitAllPackets(secondRun);
    const std::vector<CopiedPacket> packets = collector.video();
    ASSERT_EQ(int(packets.size()), secondRun);
    int64_t minPts = INT64_MAX;
    for (const CopiedPacket &p : packets)
        minPts = std::min(minPts, p.video.pts);
    EXPECT_EQ(minPts, n0) << "a new time line from the clock's time of the first frame";
    EXPECT_TRUE(packets.front().video.bKeyFrame) << "the codec reopens after a restart";
    EXPECT_EQ(module->encoder()->bitRateKbps(), 1500);
    EXPECT_EQ(events.stoppedCount.load(), 2);
    EXPECT_EQ(int(kxtest::decodeH264(packets).size()), secondRun);
}

TEST_F(ModuleTest, DestoryWhileRecording)
{
    initModule();
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(3);
    module->clipImage();
    EXPECT_EQ(module->destory(), 0);
    module = nullptr;
    EXPECT_EQ(events.stoppedCount.load(), 1);
}

TEST_F(ModuleTest, BypassesThePreviewWhenTheWindowIsGone)
{
    // A window id that names nothing: the display device cannot be created
    // (or there is no X server at all); video must still reach the encoder.
    initModule();
    ASSERT_EQ(module->setCameraScreen(0x7ffffff0, QColor(10, 20, 30)), 0);
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    recordFrames(10);
    EXPECT_FALSE(module->display()->previewActive());
    ASSERT_EQ(module->stop(), 0);
    const int converted = encodedFrames();
    waitAllPackets(converted);
    EXPECT_EQ(int(collector.video().size()), converted);
    EXPECT_EQ(module->display()->shownFrames(), 0);
}

} // namespace
