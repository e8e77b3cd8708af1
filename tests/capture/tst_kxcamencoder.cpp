// The H.264 encoder with real parts around it: libx264 through libavcodec,
// the camera module's frame queues and the real packet pool, whose output
// thread hands every packet to a collector. What comes out is decoded again
// and compared with what went in.

#include "KxCamData.h"
#include "KxCamEncoder.h"
#include "KxFrameBuffer.h"
#include "KxModuleCamera.h"
#include "KxModulePoolMgr.h"
#include "camera/KxCameraDevice.h"
#include "tst_kxcam_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <sys/prctl.h>

#include <set>

using kxtest::CopiedPacket;

// libx264 leaks a few bytes of its parameter strings when it refuses to
// open (CodecThatCannotOpenEndsTheThread); that is the library's, not ours.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libx264.so\n";
}

namespace {

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KxCamEncoder::encoderAvailable()) << "libavcodec has no H.264 encoder";
        camera = new KxModuleCamera;
        ASSERT_EQ(camera->init(), 0);
        pool = new KxModulePoolMgr;
        ASSERT_EQ(pool->init(), 0);
        pool->setLocalFileModule(&collector);
        pool->setPhotoModule(&collector.photoSink);
        ASSERT_EQ(pool->start(), 0);
        camera->setPoolModule(pool);
        camera->registerCallback(&events);
        encoder = camera->encoder();
    }
    void TearDown() override
    {
        if (camera)
            camera->destory();
        if (pool) {
            pool->stop();
            pool->destory();
        }
    }

    // Feeds one test picture through the encoder queue, as the display
    // thread does.
    void feed(int width, int height, int index, int64_t period, double fps = 15.0)
    {
        KxFrameBuffer *frame = camera->encoderQueue().takeFree(5000);
        ASSERT_NE(frame, nullptr) << "no free frame: the encoder does not return frames";
        ASSERT_GE(frame->m_pixels.ensureCapacity(2 * width * height), 0);
        kxcam::renderTestPattern(width, height, index, frame->pixels());
        frame->m_iKind = KxFrameBuffer::kKindI420;
        frame->m_iWidth = width;
        frame->m_iHeight = height;
        frame->m_dFrameRate = double(float(fps));
        frame->m_iFrameIndex = index;
        // Stamps in clock milliseconds, as the intake makes them.
        frame->m_iDts = frame->m_iPts = period * 1000 / KxCamData::timeBaseRate(fps);
        frame->m_pixels.setLength(frame->pictureSize());
        ASSERT_TRUE(camera->encoderQueue().putFilled(frame));
    }

    // Ends the encode thread (draining the codec) and waits for the pool to
    // hand over everything.
    void finish(int expectedPackets)
    {
        // A stop wins over queued frames, so let the thread take them first.
        waitIdle();
        camera->stopEvent()->set();
        EXPECT_EQ(encoder->stop(), 0);
        kxtest::waitFor([&] { return collector.videoCount() >= expectedPackets; }, 5000);
    }

    // Waits until the encode thread has taken and returned every frame fed
    // so far (x264's look-ahead may still hold their packets back).
    void waitIdle()
    {
        ASSERT_TRUE(kxtest::waitFor(
            [&] { return camera->encoderQueue().freeCount() == KxModuleCamera::kFrameBuffers; }, 20000));
    }

    KxModuleCamera *camera = nullptr;
    KxModulePoolMgr *pool = nullptr;
    KxCamEncoder *encoder = nullptr;
    kxtest::PacketCollector collector;
    kxtest::CameraEvents events;
};

TEST_F(EncoderTest, EncodesEveryFrameDecodablyWithKeyFramesEveryGop)
{
    ASSERT_EQ(encoder->start(), 0);
    const int frames = 30;
    std::vector<std::vector<uint8_t>> sources;
    for (int i = 0; i < frames; ++i)
        feed(1280, 720, i, i);
    finish(frames);
    EXPECT_EQ(events.stoppedCount.load(), 1);

    const std::vector<CopiedPacket> packets = collector.video();
    ASSERT_EQ(int(packets.size()), frames);
    std::set<int64_t> pts;
    int lastKey = -1;
    for (int i = 0; i < frames; ++i) {
        const KxVideoInfo &v = packets[size_t(i)].video;
        EXPECT_EQ(v.width, 1280);
        EXPECT_EQ(v.height, 720);
        EXPECT_EQ(v.frameRate, 15);
        EXPECT_EQ(v.timeBase, 1000);
        EXPECT_EQ(v.unit, 1);
        EXPECT_LE(v.dts, v.pts);
        if (i > 0) {
            EXPECT_GT(v.dts, packets[size_t(i - 1)].video.dts) << "decoding stamps must increase";
        }
        pts.insert(v.pts);
        if (v.bKeyFrame) {
            if (lastKey >= 0) {
                EXPECT_LE(i - lastKey, KxCamEncoder::kDefaultGop);
            }
            lastKey = i;
        }
    }
    EXPECT_TRUE(packets[0].video.bKeyFrame);
    EXPECT_EQ(pts.size(), size_t(frames));
    EXPECT_EQ(*pts.begin(), 0);
    EXPECT_EQ(*pts.rbegin(), 1933) << "frame 29 at 15 fps, in milliseconds";

    int errors = 0;
    const std::vector<kxtest::DecodedFrame> decoded = kxtest::decodeH264(packets, &errors);
    EXPECT_EQ(errors, 0);
    ASSERT_EQ(int(decoded.size()), frames);
    std::vector<uint8_t> ref(1280 * 720 * 3 / 2);
    for (const kxtest::DecodedFrame &d : decoded) {
        ASSERT_EQ(d.width, 1280);
        const int index = int((d.pts * 15 + 500) / 1000);
        kxcam::renderTestPattern(1280, 720, index, ref.data());
        EXPECT_GT(kxtest::psnrY(d.i420.data(), ref.data(), 1280, 720), 30.0) << "frame " << index;
    }
}

// libx264 asks for huge pages on its picture buffers (their mappings carry
// the "hg" flag); the process keeps normal pages, so none of those mappings
// holds a huge page while the encoder works.
TEST_F(EncoderTest, PictureBuffersStayOnNormalPages)
{
    ASSERT_EQ(encoder->start(), 0);
    for (int i = 0; i < 20; ++i)
        feed(1280, 720, i, i);
    waitIdle();
    EXPECT_EQ(prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), 1);
    QFile smaps("/proc/self/smaps");
    ASSERT_TRUE(smaps.open(QIODevice::ReadOnly));
    // AnonHugePages comes before VmFlags within each mapping's block.
    long mappingHugeKb = 0, hugeKb = 0;
    int asked = 0;
    for (const QByteArray &line : smaps.readAll().split('\n')) {
        if (line.startsWith("AnonHugePages:"))
            mappingHugeKb = line.mid(14).trimmed().split(' ').value(0).toLong();
        else if (line.startsWith("VmFlags:") && line.split(' ').contains("hg")) {
            ++asked;
            hugeKb += mappingHugeKb;
        }
    }
    EXPECT_EQ(hugeKb, 0) << "kB on huge pages in the " << asked << " mappings that ask for them";
    finish(20);
}

TEST_F(EncoderTest, ReopensOnSizeChangeAndKeepsOpenContextOtherwise)
{
    ASSERT_EQ(encoder->start(), 0);
    for (int i = 0; i < 6; ++i)
        feed(640, 480, i, i);
    waitIdle();
    EXPECT_EQ(encoder->openCount(), 1);
    for (int i = 6; i < 12; ++i)
        feed(1280, 720, i, i);
    finish(12);
    EXPECT_EQ(encoder->openCount(), 2);

    const std::vector<CopiedPacket> packets = collector.video();
    ASSERT_EQ(packets.size(), 12u);
    int firstLarge = -1;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].video.width == 1280 && firstLarge < 0)
            firstLarge = int(i);
    }
    ASSERT_GE(firstLarge, 0);
    EXPECT_TRUE(packets[size_t(firstLarge)].video.bKeyFrame) << "a reopened codec starts with a key frame";
    for (size_t i = size_t(firstLarge); i < packets.size(); ++i)
        EXPECT_EQ(packets[i].video.height, 720);
    const std::vector<kxtest::DecodedFrame> decoded = kxtest::decodeH264(packets);
    ASSERT_EQ(decoded.size(), 12u);
    EXPECT_EQ(decoded.front().width, 640);
    EXPECT_EQ(decoded.back().width, 1280);
}

struct ParamCase {
    const char *name;
    int firstBitRate, firstGop;   // applied before the first frame
    int bitRate, gop;             // applied after it
    int expectBitRate, expectGop; // effective at the next frame
    bool expectReopen;
};

class EncoderParams : public EncoderTest, public ::testing::WithParamInterface<ParamCase> {};

TEST_P(EncoderParams, UpdateTakesEffectAtNextFrame)
{
    const ParamCase c = GetParam();
    encoder->updateParams(c.firstBitRate, c.firstGop);
    ASSERT_EQ(encoder->start(), 0);
    feed(320, 240, 0, 0);
    waitIdle();
    const int opens = encoder->openCount();
    encoder->updateParams(c.bitRate, c.gop);
    feed(320, 240, 1, 1);
    finish(2);
    EXPECT_EQ(encoder->bitRateKbps(), c.expectBitRate);
    EXPECT_EQ(encoder->gop(), c.expectGop);
    EXPECT_EQ(encoder->openCount() - opens, c.expectReopen ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Updates, EncoderParams,
    ::testing::Values(ParamCase{"zero_restores_default_keeps_gop", 3000, 20, 0, -1, 1500, 20, true},
                      ParamCase{"bitrate_2000_reopens", -1, -1, 2000, -1, 2000, 12, true},
                      ParamCase{"same_values_keep_context", 2500, 8, 2500, 8, 2500, 8, false},
                      ParamCase{"negative_keeps_everything", 900, 30, -1, -1, 900, 30, false},
                      ParamCase{"zeros_restore_both", 900, 30, 0, 0, 1500, 12, true}),
    [](const ::testing::TestParamInfo<ParamCase> &i) { return std::string(i.param.name); });

TEST_F(EncoderTest, LifecycleResults)
{
    KxModuleCamera *bare = new KxModuleCamera;
    KxCamEncoder cold(bare);
    EXPECT_EQ(cold.start(), -401);
    EXPECT_EQ(cold.stop(), -401);
    EXPECT_EQ(cold.init(), 0);
    EXPECT_EQ(cold.init(), 1);
    EXPECT_EQ(cold.stop(), 1);
    EXPECT_EQ(bare->destory(), -401); // never inited: the module stays
    EXPECT_EQ(bare->init(), 0);
    EXPECT_EQ(bare->destory(), 0);

    ASSERT_EQ(encoder->start(), 0);
    EXPECT_EQ(encoder->start(), 1);
    finish(0);
    EXPECT_EQ(encoder->stop(), 1);
    EXPECT_EQ(encoder->openWidth(), 0);
}

TEST_F(EncoderTest, FramesWaitingAtStopAreNotEncodedAndComeBackFree)
{
    ASSERT_EQ(encoder->start(), 0);
    feed(320, 240, 0, 0);
    waitIdle();
    camera->stopEvent()->set();
    ASSERT_EQ(encoder->stop(), 0);
    // What the encoder pushed up to its stop reaches the collector first.
    ASSERT_EQ(pool->stopAfterDrain(5000), 0);
    ASSERT_EQ(pool->start(), 0);
    const int before = collector.videoCount();
    // Three frames arrive after the thread has gone.
    camera->stopEvent()->reset();
    for (int i = 1; i <= 3; ++i)
        feed(320, 240, i, i);
    EXPECT_EQ(camera->encoderQueue().filledCount(), 3);
    camera->stopEvent()->set();
    EXPECT_EQ(encoder->stop(), 1);
    EXPECT_EQ(collector.videoCount(), before);
    camera->stopEvent()->reset();
    ASSERT_EQ(encoder->start(), 0);
    EXPECT_EQ(camera->encoderQueue().filledCount(), 0);
    EXPECT_EQ(camera->encoderQueue().freeCount(), KxModuleCamera::kFrameBuffers);
    finish(before);
    EXPECT_EQ(collector.videoCount(), before);
}

TEST_F(EncoderTest, DrainedPacketsCarryConsecutiveIndices)
{
    ASSERT_EQ(encoder->start(), 0);
    // x264's look-ahead holds the first frames back: those come out at the
    // drain, indexed by the running packet count.
    for (int i = 0; i < 8; ++i)
        feed(320, 240, 100 + i, i);
    finish(8);
    const std::vector<CopiedPacket> packets = collector.video();
    ASSERT_EQ(packets.size(), 8u);
    std::set<int64_t> pts;
    for (const CopiedPacket &p : packets)
        pts.insert(p.video.pts);
    EXPECT_EQ(pts.size(), 8u);
    EXPECT_GE(events.lastEncoded, 0);
    // The last reported index belongs to the last packet pushed; during the
    // drain it is the running packet count, so it is 7.
    EXPECT_EQ(events.lastEncoded, 7);
}

TEST_F(EncoderTest, NearIntegerFrameRateKeepsTheClockStamps)
{
    // A 666667 x 100 ns camera interval is 14.99999 frames per second: the
    // codec runs at 15, and the packets keep the intake's millisecond stamps.
    ASSERT_EQ(encoder->start(), 0);
    for (int i = 0; i < 3; ++i)
        feed(320, 240, i, i, 10000000.0 / 666667.0);
    finish(3);
    std::set<int64_t> pts;
    for (const CopiedPacket &p : collector.video()) {
        EXPECT_EQ(p.video.timeBase, 1000);
        EXPECT_EQ(p.video.frameRate, 15);
        pts.insert(p.video.pts);
    }
    EXPECT_EQ(pts, (std::set<int64_t>{0, 66, 133}));
}

TEST_F(EncoderTest, NoPoolEndsTheThreadAndReportsStopped)
{
    camera->setPoolModule(nullptr);
    ASSERT_EQ(encoder->start(), 0);
    for (int i = 0; i < 3; ++i)
        feed(320, 240, i, i);
    waitIdle();
    // The packets come out at the drain and find no pool: they are lost,
    // and the thread still ends and says so.
    camera->stopEvent()->set();
    EXPECT_EQ(encoder->stop(), 0);
    EXPECT_EQ(events.stoppedCount.load(), 1);
    EXPECT_EQ(collector.videoCount(), 0);
}

// An encoder that cannot be opened (here: a picture size x264 refuses; a
// missing H.264 encoder takes the same path) ends the thread after the
// first frame without a drain, returns that frame and reports stopped.
TEST_F(EncoderTest, CodecThatCannotOpenEndsTheThread)
{
    ASSERT_EQ(encoder->start(), 0);
    feed(322, 241, 0, 0);
    ASSERT_TRUE(kxtest::waitFor([&] { return events.stoppedCount.load() == 1; }, 10000));
    EXPECT_EQ(camera->encoderQueue().freeCount(), KxModuleCamera::kFrameBuffers);
    // Later frames are no longer taken.
    feed(320, 240, 1, 1);
    EXPECT_EQ(camera->encoderQueue().filledCount(), 1);
    camera->stopEvent()->set();
    EXPECT_EQ(encoder->stop(), 0);
    EXPECT_EQ(collector.videoCount(), 0);
    EXPECT_EQ(encoder->openWidth(), 0);
}

} // namespace
