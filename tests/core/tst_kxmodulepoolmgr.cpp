// The packet pool: lending, delivery to the consumers on the pool's
// threads, stop/start between recordings, and a stress of several producers.

#include "IKxMediaPacket.h"
#include "IKxModuleLocalFile.h"
#include "IKxModulePhoto.h"
#include "KxMerioErrors.h"
#include "KxModulePoolMgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Each test packet carries (producer, sequence) in its first bytes.
struct Mark {
    int32_t producer;
    int32_t sequence;
};

void fill(IKxMediaPacket *p, int type, Mark m)
{
    p->setType(type);
    ASSERT_GE(p->alloc(int(sizeof m)), 0);
    ASSERT_EQ(p->setData(&m, int(sizeof m)), 0);
}

Mark markOf(IKxMediaPacket *p)
{
    Mark m{-1, -1};
    if (p->getSize() == int(sizeof m))
        std::memcpy(&m, p->getData(), sizeof m);
    return m;
}

// Records what the pool's output thread delivers; can hold the thread
// inside inputMediaPacket until released.
class RecordingFileSink : public IKxModuleLocalFile {
public:
    int init() override { return 0; }
    int setCloundModule(IKxModuleClound *) override { return 0; }
    void registerCallback(KxToLocalFileCbk *) override {}
    int start(const KxLocalFileConfig &) override { return 0; }
    int stop() override { return 0; }
    int destory() override { return 0; }

    uint8_t inputMediaPacket(IKxMediaPacket *p) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_received.push_back({p->getType(), markOf(p)});
        m_cv.notify_all();
        m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return !m_hold; });
        return 0;
    }

    void hold(bool on)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = on;
        m_cv.notify_all();
    }
    bool waitFor(size_t count, int ms = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms),
                             [&] { return m_received.size() >= count; });
    }
    std::vector<std::pair<int, Mark>> received()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_hold = false;
    std::vector<std::pair<int, Mark>> m_received;
};

class RecordingPhotoSink : public IKxModulePhoto {
public:
    int init() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    int destory() override { return 0; }
    int config(const QString &, const QString &) override { return 0; }
    int registerCallback(ICallBack *) override { return 0; }
    void setCloundModule(IKxModuleClound *) override {}
    int saveMediaPacket(IKxMediaPacket *p) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_saved.push_back(markOf(p));
        return p->isPhoto() ? 0 : -1;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_saved.size();
    }

private:
    std::mutex m_mutex;
    std::vector<Mark> m_saved;
};

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pool = IKxModulePoolMgr::createInstance();
        ASSERT_EQ(pool->init(), KxMerioErrors::OK);
        pool->setLocalFileModule(&files);
        pool->setPhotoModule(&photos);
    }
    void TearDown() override
    {
        if (pool) {
            EXPECT_EQ(pool->destory(), KxMerioErrors::OK);
        }
    }
    IKxModulePoolMgr *pool = nullptr;
    RecordingFileSink files;
    RecordingPhotoSink photos;
};

} // namespace

TEST(KxModulePoolMgrLife, CallsOutsideTheLifecycle)
{
    IKxModulePoolMgr *pool = IKxModulePoolMgr::createInstance();
    EXPECT_EQ(pool->getAudioPacket(0), nullptr);
    EXPECT_EQ(pool->getVideoPacket(-1), nullptr) << "no wait before init";
    IKxMediaPacket *loose = createMediaPacket();
    loose->setType(KX_PACKET_AUDIO);
    EXPECT_EQ(pool->pushAudioPacket(loose), -1);
    loose->release();
    EXPECT_EQ(pool->start(), KxMerioErrors::NOT_INITED);
    EXPECT_EQ(pool->stop(), KxMerioErrors::NOT_INITED);
    EXPECT_EQ(pool->destory(), KxMerioErrors::NOT_INITED);
    EXPECT_EQ(pool->config(1, 2), -1);
    EXPECT_EQ(pool->registerCallback(nullptr), -1);

    EXPECT_EQ(pool->init(), KxMerioErrors::OK);
    EXPECT_EQ(pool->init(), KxMerioErrors::ALREADY);
    EXPECT_EQ(pool->stop(), KxMerioErrors::NOT_INITED) << "stop before start";
    EXPECT_EQ(pool->start(), KxMerioErrors::OK);
    EXPECT_EQ(pool->start(), KxMerioErrors::ALREADY) << "a second start starts nothing";
    // destory while started stops first (a hang or a crash here is the fault).
    EXPECT_EQ(pool->destory(), KxMerioErrors::OK);
}

TEST_F(PoolTest, BadPushesAreRefusedAndTheCallerKeepsThePacket)
{
    EXPECT_EQ(pool->pushAudioPacket(nullptr), KxMerioErrors::INVALID_POINTER);
    IKxMediaPacket *p = pool->getPhotoPacket(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool->pushAudioPacket(p), KxMerioErrors::INVALID_PARAMETER)
        << "a photo packet never goes to the file writers";
    EXPECT_EQ(pool->pushPhotoPacket(p), 0);
}

TEST_F(PoolTest, FifthVideoPacketWaitsForAReturn)
{
    std::vector<IKxMediaPacket *> lent;
    for (int i = 0; i < 4; ++i) {
        IKxMediaPacket *p = pool->getVideoPacket(0);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->getType(), KX_PACKET_VIDEO);
        lent.push_back(p);
    }
    EXPECT_EQ(pool->getVideoPacket(0), nullptr);
    EXPECT_EQ(pool->getVideoPacket(20), nullptr);

    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    fill(lent[0], KX_PACKET_VIDEO, {0, 0});
    ASSERT_EQ(pool->pushVideoPacket(lent[0]), 0);
    EXPECT_NE(pool->getVideoPacket(2000), nullptr) << "written and returned";
    ASSERT_TRUE(files.waitFor(1));
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
}

TEST_F(PoolTest, PushesBeforeTheFirstStartAreDeliveredInOrder)
{
    IKxMediaPacket *a = pool->getAudioPacket(0);
    IKxMediaPacket *v = pool->getVideoPacket(0);
    fill(a, KX_PACKET_AUDIO, {1, 0});
    fill(v, KX_PACKET_VIDEO, {1, 1});
    ASSERT_EQ(pool->pushAudioPacket(a), 0);
    ASSERT_EQ(pool->pushVideoPacket(v), 0);
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    ASSERT_TRUE(files.waitFor(2));
    auto got = files.received();
    EXPECT_EQ(got[0].first, KX_PACKET_AUDIO);
    EXPECT_EQ(got[1].first, KX_PACKET_VIDEO);
    EXPECT_EQ(got[1].second.sequence, 1);
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
}

TEST_F(PoolTest, AfterStopBorrowsReturnAtOnceUntilTheNextStart)
{
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    ASSERT_EQ(pool->stop(), KxMerioErrors::OK);
    const auto t0 = Clock::now();
    EXPECT_EQ(pool->getAudioPacket(-1), nullptr);
    EXPECT_EQ(pool->getVideoPacket(5000), nullptr);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4)) << "no wait after stop";
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    IKxMediaPacket *a = pool->getAudioPacket(-1);
    ASSERT_NE(a, nullptr);
    fill(a, KX_PACKET_AUDIO, {0, 0});
    pool->pushAudioPacket(a);
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
}

TEST_F(PoolTest, StopReleasesWaitingProducers)
{
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    for (int i = 0; i < 4; ++i)
        ASSERT_NE(pool->getVideoPacket(0), nullptr);
    std::atomic<int> gotNull{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (!pool->getVideoPacket(-1))
                ++gotNull;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(gotNull.load(), 3);
}

// Packets still queued when a recording stops must not open the next one.
TEST_F(PoolTest, QueuedPacketsNeverReachTheNextRecording)
{
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    files.hold(true);
    for (int i = 0; i < 4; ++i) {
        IKxMediaPacket *p = pool->getAudioPacket(0);
        ASSERT_NE(p, nullptr);
        fill(p, KX_PACKET_AUDIO, {1, i});
        ASSERT_EQ(pool->pushAudioPacket(p), 0);
    }
    ASSERT_TRUE(files.waitFor(1)) << "the output thread holds the first packet";
    std::thread stopper([&] { EXPECT_EQ(pool->stop(), KxMerioErrors::OK); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    files.hold(false);
    stopper.join();

    // A straggler pushed after stop belongs to the old recording too.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    files.clear();
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    for (int i = 0; i < 3; ++i) {
        IKxMediaPacket *p = pool->getAudioPacket(1000);
        ASSERT_NE(p, nullptr) << "every packet is back on its free list";
        fill(p, KX_PACKET_AUDIO, {2, i});
        ASSERT_EQ(pool->pushAudioPacket(p), 0);
    }
    ASSERT_TRUE(files.waitFor(3));
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
    for (const auto &r : files.received())
        EXPECT_EQ(r.second.producer, 2) << "packet " << r.second.sequence << " of the old recording";
}

// The end of a recording: what the producers pushed before the stop reaches
// the consumers; a straggler pushed after it never opens the next recording;
// a consumer that hangs cannot hold the stop beyond its bound.
TEST_F(PoolTest, StopAfterDrainDeliversWhatWasPushedAndNothingLater)
{
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    files.hold(true);
    for (int i = 0; i < 3; ++i) {
        IKxMediaPacket *p = pool->getVideoPacket(0);
        ASSERT_NE(p, nullptr);
        fill(p, KX_PACKET_VIDEO, {1, i});
        ASSERT_EQ(pool->pushVideoPacket(p), 0);
    }
    // A producer still holding a packet when the recording stops.
    IKxMediaPacket *straggler = pool->getVideoPacket(0);
    ASSERT_NE(straggler, nullptr);
    IKxMediaPacket *photo = pool->getPhotoPacket(0);
    ASSERT_NE(photo, nullptr);
    fill(photo, KX_PACKET_PHOTO, {1, 9});
    ASSERT_EQ(pool->pushPhotoPacket(photo), 0);
    ASSERT_TRUE(files.waitFor(1));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        files.hold(false);
    });
    EXPECT_EQ(pool->stopAfterDrain(5000), KxMerioErrors::OK);
    releaser.join();
    ASSERT_EQ(files.received().size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(files.received()[size_t(i)].second.sequence, i);
    EXPECT_EQ(photos.count(), 1u);

    fill(straggler, KX_PACKET_VIDEO, {2, 0});
    ASSERT_EQ(pool->pushVideoPacket(straggler), 0);
    files.clear();
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    IKxMediaPacket *p = pool->getVideoPacket(1000);
    ASSERT_NE(p, nullptr);
    fill(p, KX_PACKET_VIDEO, {3, 0});
    ASSERT_EQ(pool->pushVideoPacket(p), 0);
    ASSERT_TRUE(files.waitFor(1));

    // A consumer stuck on a packet: the drain gives up at its bound.
    files.hold(true);
    p = pool->getVideoPacket(1000);
    ASSERT_NE(p, nullptr);
    fill(p, KX_PACKET_VIDEO, {3, 1});
    ASSERT_EQ(pool->pushVideoPacket(p), 0);
    ASSERT_TRUE(files.waitFor(2));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        files.hold(false);
    });
    EXPECT_EQ(pool->stopAfterDrain(200), KxMerioErrors::OPERATION_FAILURE);
    late.join();
    for (const auto &r : files.received())
        EXPECT_EQ(r.second.producer, 3) << "packet " << r.second.sequence << " of the old recording";
}

TEST_F(PoolTest, PhotoWithoutPhotoModuleReturnsToTheFreeList)
{
    pool->setPhotoModule(nullptr);
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    for (int round = 0; round < 3; ++round) {
        std::vector<IKxMediaPacket *> all;
        for (int i = 0; i < 4; ++i) {
            IKxMediaPacket *p = pool->getPhotoPacket(2000);
            ASSERT_NE(p, nullptr) << "round " << round;
            all.push_back(p);
        }
        for (IKxMediaPacket *p : all) {
            fill(p, KX_PACKET_PHOTO, {0, round});
            pool->pushPhotoPacket(p);
        }
    }
    EXPECT_EQ(photos.count(), 0u);
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
}

// Three producers as in a recording (audio drops when no packet is free,
// video waits, photos drop) with random timing, and a consumer that is slow
// at times. Everything pushed is delivered exactly once, audio and video in
// push order per producer.
TEST_F(PoolTest, ProducersAndConsumersUnderRandomTiming)
{
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    constexpr int kVideo = 1500, kAudio = 3000, kPhoto = 60;
    std::atomic<int> audioPushed{0}, photoPushed{0};

    auto pause = [](std::mt19937 &rng, int oneIn) {
        if (rng() % unsigned(oneIn) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
    };
    std::thread video([&] {
        std::mt19937 rng(1);
        for (int i = 0; i < kVideo; ++i) {
            IKxMediaPacket *p = pool->getVideoPacket(-1);
            ASSERT_NE(p, nullptr);
            fill(p, KX_PACKET_VIDEO, {1, i});
            pause(rng, 10);
            ASSERT_EQ(pool->pushVideoPacket(p), 0);
        }
    });
    std::thread audio([&] {
        std::mt19937 rng(2);
        int seq = 0;
        for (int i = 0; i < kAudio; ++i) {
            IKxMediaPacket *p = pool->getAudioPacket(0);
            pause(rng, 5);
            if (!p)
                continue; // dropped, as the audio module does
            fill(p, KX_PACKET_AUDIO, {0, seq++});
            ASSERT_EQ(pool->pushAudioPacket(p), 0);
            ++audioPushed;
        }
    });
    std::thread photo([&] {
        std::mt19937 rng(3);
        for (int i = 0; i < kPhoto; ++i) {
            IKxMediaPacket *p = pool->getPhotoPacket(0);
            pause(rng, 2);
            if (!p)
                continue;
            fill(p, KX_PACKET_PHOTO, {2, i});
            ASSERT_EQ(pool->pushPhotoPacket(p), 0);
            ++photoPushed;
        }
    });
    video.join();
    audio.join();
    photo.join();

    const size_t expected = size_t(kVideo + audioPushed.load());
    ASSERT_TRUE(files.waitFor(expected, 10000));
    for (int i = 0; i < 200 && photos.count() < size_t(photoPushed.load()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);

    auto got = files.received();
    ASSERT_EQ(got.size(), expected);
    int nextSeq[2] = {0, 0};
    for (const auto &r : got) {
        const int producer = r.second.producer;
        ASSERT_TRUE(producer == 0 || producer == 1);
        EXPECT_EQ(r.first, producer == 0 ? KX_PACKET_AUDIO : KX_PACKET_VIDEO);
        ASSERT_EQ(r.second.sequence, nextSeq[producer]) << "producer " << producer;
        ++nextSeq[producer];
    }
    EXPECT_EQ(photos.count(), size_t(photoPushed.load()));
    EXPECT_GT(audioPushed.load(), 0);

    // Everything is back home: four of each can be borrowed at once.
    ASSERT_EQ(pool->start(), KxMerioErrors::OK);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(pool->getAudioPacket(0), nullptr);
        EXPECT_NE(pool->getVideoPacket(0), nullptr);
        EXPECT_NE(pool->getPhotoPacket(0), nullptr);
    }
    EXPECT_EQ(pool->getAudioPacket(0), nullptr);
    EXPECT_EQ(pool->stop(), KxMerioErrors::OK);
}
