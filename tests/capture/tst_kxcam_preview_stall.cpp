// A preview that stalls (an X server that does not answer for two seconds)
// must cost the recording nothing: every picture the camera took is
// encoded, on time, and the camera is not reported as failed. The display
// layer is replaced here by one whose third paint blocks for 2 s.

#include "KxCamData.h"
#include "KxCamDisplay.h"
#include "KxMediaTime.h"
#include "KxModuleCamera.h"
#include "KxModulePoolMgr.h"
#include "display/KxDisplay.h"
#include "tst_kxcam_support.h"

#include <gtest/gtest.h>


namespace {
std::atomic<int> g_paints{0};
std::atomic<bool> g_inPaint{false};
int g_device = 0;
} // namespace

int InitDisplayDevEnv()
{
    return 0;
}

KxDisplayDevice CreateVideoDeivce(uint32_t, uint32_t)
{
    return &g_device;
}

int DisplayYv12Video(KxDisplayDevice, const uint8_t *, int, int)
{
    if (++g_paints == 3) {
        g_inPaint = true;
        std::this_thread::sleep_for(std::chrono::seconds(2));
        g_inPaint = false;
    }
    return 0;
}

void DestroyVideoDevice(KxDisplayDevice) {}

namespace {

TEST(PreviewStall, CostsTheRecordingNoFrame)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    setenv("KX_VIRTUAL_CAMERA",
           kxtest::writeCameraConfig(dir, "cam.json", R"({"devices": [{"name": "VANTRI Multimedia Unit HD",
             "capabilities": [{"format": "MJPG", "width": 640, "height": 480, "fps": 15}]}]})")
               .c_str(),
           1);
    auto *pool = new KxModulePoolMgr;
    ASSERT_EQ(pool->init(), 0);
    kxtest::PacketCollector collector;
    pool->setLocalFileModule(&collector);
    ASSERT_EQ(pool->start(), 0);
    auto *module = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    ASSERT_EQ(module->init(), 0);
    module->setPoolModule(pool);
    kxtest::CameraEvents events;
    module->registerCallback(&events);
    ASSERT_EQ(module->setCameraScreen(42, QColor(0, 0, 0)), 0);

    KxMediaTime clock;
    clock.start();
    ASSERT_EQ(module->start(&clock), 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return g_inPaint.load(); }, 20000)) << "the stalling paint was reached";
    const int convertedAtStall = module->camData()->convertedCount();
    ASSERT_TRUE(kxtest::waitFor([&] { return !g_inPaint.load(); }, 10000));
    const int convertedAfterStall = module->camData()->convertedCount();
    ASSERT_TRUE(kxtest::waitFor([&] { return module->camData()->convertedCount() >= convertedAfterStall + 5; }, 20000));
    ASSERT_EQ(module->stop(), 0);
    const int encoded = module->camData()->convertedCount() - module->framesLeftAtStop();
    kxtest::waitFor([&] { return int(collector.video().size()) >= encoded; }, 10000);

    // The two seconds of stall are 30 pictures at 15 fps. A pipeline that
    // waits for the preview converts no more than its four frame buffers
    // meanwhile; on a busy machine the camera's own thread may miss a slot
    // or two, which is no fault of the pipeline.
    EXPECT_GE(convertedAfterStall - convertedAtStall, 15);
    // Every sample the intake was given went on, and every frame was encoded.
    EXPECT_EQ(module->camData()->rejectedCount(), 0);
    EXPECT_EQ(module->camData()->receivedCount(), module->camData()->convertedCount());
    EXPECT_EQ(events.errorCount(), 0) << "a stalled preview is no failed camera";
    EXPECT_GT(module->display()->skippedFrames(), 0);
    EXPECT_EQ(int(collector.video().size()), encoded);
    EXPECT_EQ(module->destory(), 0);
    pool->stop();
    pool->destory();
    unsetenv("KX_VIRTUAL_CAMERA");
}

} // namespace
