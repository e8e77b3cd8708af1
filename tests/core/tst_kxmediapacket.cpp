// Media packet, byte buffer, error codes and the recording clock.

#include "CQueBuf.h"
#include "IKxModuleClound.h"
#include "KxMediaPacket.h"
#include "KxMediaTime.h"
#include "KxMerioErrors.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaEnum>
#include <QObject>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace {
struct PacketDeleter {
    void operator()(IKxMediaPacket *p) const { p->release(); }
};
using PacketPtr = std::unique_ptr<IKxMediaPacket, PacketDeleter>;
} // namespace

TEST(CQueBuf, EnsureCapacityRules)
{
    CQueBuf buf(0);
    EXPECT_EQ(buf.ensureCapacity(0), -1);
    EXPECT_EQ(buf.ensureCapacity(-5), -1);
    EXPECT_EQ(buf.dataStart(), nullptr);
    EXPECT_EQ(buf.ensureCapacity(100), 0);
    ASSERT_TRUE(buf.setLength(40));
    EXPECT_EQ(buf.ensureCapacity(100), 1);
    EXPECT_EQ(buf.ensureCapacity(60), 1);
    EXPECT_EQ(buf.length(), 40) << "a sufficient capacity keeps the length";
    EXPECT_EQ(buf.ensureCapacity(200), 0);
    EXPECT_EQ(buf.length(), 0);
    EXPECT_EQ(buf.capacity(), 200);
    EXPECT_FALSE(buf.setLength(201));
    EXPECT_FALSE(buf.setLength(-1));
}

TEST(CQueBuf, AlignedDataStart)
{
    for (int alignment : {16, 32, 64}) {
        CQueBuf buf(alignment);
        ASSERT_EQ(buf.ensureCapacity(1000), 0);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buf.dataStart()) % uintptr_t(alignment), 0u);
        std::memset(buf.dataStart(), 0xab, 1000); // the whole capacity is usable
    }
}

TEST(KxMediaPacket, AllocAndPayload)
{
    PacketPtr p(createMediaPacket());
    EXPECT_EQ(p->getType(), KX_PACKET_AUDIO);
    EXPECT_EQ(p->getData(), nullptr);
    EXPECT_EQ(p->alloc(0), -1);
    EXPECT_EQ(p->alloc(-5), -1);
    EXPECT_EQ(p->setData("abc", 3), -1) << "no storage yet";

    ASSERT_EQ(p->alloc(16), 0);
    ASSERT_EQ(p->setData("0123456789", 10), 0);
    EXPECT_EQ(p->getSize(), 10);
    EXPECT_EQ(p->alloc(8), 1);
    EXPECT_EQ(p->getSize(), 10) << "a smaller alloc keeps the payload";
    EXPECT_EQ(std::memcmp(p->getData(), "0123456789", 10), 0);

    EXPECT_EQ(p->setData("x", 17), -1) << "beyond the capacity nothing is copied";
    EXPECT_EQ(p->setSize(17), -1);
    EXPECT_EQ(p->setData(nullptr, 1), -1);
    EXPECT_EQ(p->getSize(), 10);

    EXPECT_EQ(p->alloc(32), 0);
    EXPECT_EQ(p->getSize(), 0) << "a larger alloc empties the payload";

    p->setData("zz", 2);
    p->reset();
    EXPECT_EQ(p->getSize(), 0);
    EXPECT_EQ(p->alloc(32), 1) << "reset keeps the storage";
}

TEST(KxMediaPacket, DescriptionsAndTimeStamps)
{
    PacketPtr p(createMediaPacket());
    EXPECT_FALSE(p->getVideoInfo(nullptr));
    EXPECT_FALSE(p->getAudioInfo(nullptr));

    KxVideoInfo v;
    v.bKeyFrame = true;
    v.width = 1280;
    v.height = 720;
    v.frameRate = 15;
    v.unit = 1;
    v.dts = 7;
    v.pts = 9;
    v.timeBase = 15;
    p->setVideoInfo(&v);
    int64_t dts = 0, pts = 0;
    EXPECT_TRUE(p->getTimeStamp(&dts, &pts));
    EXPECT_EQ(dts, 7);
    EXPECT_EQ(pts, 9);
    const int64_t newDts = 11, newPts = 12;
    p->setTimeStamp(&newDts, &newPts);
    KxVideoInfo out;
    ASSERT_TRUE(p->getVideoInfo(&out));
    EXPECT_EQ(out.dts, 11) << "time stamps share the video description's storage";
    EXPECT_EQ(out.pts, 12);
    EXPECT_EQ(out.width, 1280);
    EXPECT_TRUE(out.bKeyFrame);

    KxAudioInfo a;
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.bitRate, 64000);
    EXPECT_EQ(a.sampleRate, 44100);
    EXPECT_EQ(a.timeBase, 1000);
    a.dts = a.pts = 1234;
    p->setAudioInfo(&a);
    KxAudioInfo aout;
    ASSERT_TRUE(p->getAudioInfo(&aout));
    EXPECT_EQ(aout.pts, 1234);

    struct Case {
        int type;
        bool photo;
    } cases[] = {{KX_PACKET_AUDIO, false}, {KX_PACKET_VIDEO, false}, {KX_PACKET_PHOTO, true}};
    for (const auto &c : cases) {
        p->setType(c.type);
        EXPECT_EQ(p->isPhoto(), c.photo) << "type " << c.type;
    }
}

TEST(KxMerioErrors, KeysAndValuesThroughTheMetaObject)
{
    const QMetaEnum e = QMetaEnum::fromType<KxMerioErrors::ErrorCode>();
    const char *keys[] = {"ALREADY", "OK", "NOT_INITED", "NOT_RUNNING", "INVALID_PARAMETER",
                          "DEVICE_MISSING", "DEVICE_FAILURE", "INVALID_POINTER",
                          "OPERATION_NOT_ALLOW", "OPERATION_FAILURE"};
    const int values[] = {1, 0, -401, -402, -403, -404, -405, -406, -407, -408};
    ASSERT_EQ(e.keyCount(), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_STREQ(e.key(i), keys[i]);
        EXPECT_EQ(e.value(i), values[i]);
    }
    EXPECT_STREQ(KxMerioErrors::keyOf(-405), "DEVICE_FAILURE");
    EXPECT_EQ(KxMerioErrors::keyOf(12345), nullptr);
}

TEST(KxMediaTime, StartsAtZeroAndNeverGoesBack)
{
    KxMediaTime clock;
    EXPECT_EQ(clock.elapsed(), 0) << "before the first start";
    clock.start();
    EXPECT_LT(clock.elapsed(), 1000);

    std::atomic<bool> ok{true};
    auto reader = [&] {
        int64_t last = 0;
        for (int i = 0; i < 20000; ++i) {
            const int64_t now = clock.elapsed();
            if (now < last)
                ok = false;
            last = now;
        }
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_TRUE(ok.load());
}

// UploadProgress lists travel through queued signals to another thread's
// receiver once the core meta types are registered.
namespace {
class ProgressEmitter : public QObject {
    Q_OBJECT
signals:
    void progress(const QList<UploadProgress> &list);
};
} // namespace

TEST(CoreMetaTypes, UploadProgressListCrossesThreads)
{
    kxRegisterCoreMetaTypes();
    kxRegisterCoreMetaTypes();
    EXPECT_TRUE(QMetaType::isRegistered(qMetaTypeId<QList<UploadProgress>>()));

    ProgressEmitter emitter;
    QObject receiver;
    QList<UploadProgress> got;
    QObject::connect(&emitter, &ProgressEmitter::progress, &receiver,
                     [&](const QList<UploadProgress> &l) { got = l; }, Qt::QueuedConnection);
    QList<UploadProgress> sent;
    UploadProgress p;
    p.taskId = "abc";
    p.taskName = "Lesson";
    p.total = 5;
    p.finished = 2;
    sent << p;
    std::thread t([&] { emit emitter.progress(sent); });
    t.join();
    for (int i = 0; i < 100 && got.isEmpty(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].taskName, "Lesson");
    EXPECT_EQ(got[0].total - got[0].finished, 3);
}

#include "tst_kxmediapacket.moc"
