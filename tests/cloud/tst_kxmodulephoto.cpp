// Photo module: numbered files with the payload unchanged, the three reported
// errors, hand-over to the cloud module, and what happens without one.

#include "IKxMediaPacket.h"
#include "IKxModuleClound.h"
#include "KxModulePhoto.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Receives what the photo module hands on; the photo module only ever calls
// uploadPhoto.
class PhotoSink : public IKxModuleClound {
public:
    std::vector<std::string> paths;
    void registerCallback(ICallBack *) override {}
    void init() override {}
    void start(const QString &, const QString &) override {}
    void stop(bool) override {}
    void destory() override {}
    void config(const QString &) override {}
    void uploadVideo(const char *, double) override { ADD_FAILURE() << "uploadVideo called"; }
    void uploadPhoto(const char *path) override { paths.emplace_back(path); }
    bool isUploadDone() override { return true; }
    void startSendProgress() override {}
    void stopSendProgress() override {}
    void cancelUpload() override {}
    QList<QString> notUploadList() override { return {}; }
};

class ErrorLog : public IKxModulePhoto::ICallBack {
public:
    std::vector<std::pair<int, std::string>> errors;
    int stops = 0;
    void onStoped() override { ++stops; }
    void error(int type, const char *message) override { errors.emplace_back(type, message ? message : ""); }
};

struct PacketDeleter {
    void operator()(IKxMediaPacket *p) const { p->release(); }
};
using PacketPtr = std::unique_ptr<IKxMediaPacket, PacketDeleter>;

PacketPtr makePacket(int type, const QByteArray &payload, bool allocate = true)
{
    PacketPtr p(createMediaPacket());
    p->setType(type);
    if (allocate) {
        p->alloc(std::max(1, int(payload.size())));
        p->setData(payload.constData(), int(payload.size()));
    }
    return p;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

class PhotoModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        photo.reset(static_cast<KxModulePhoto *>(IKxModulePhoto::createInstance()));
        ASSERT_EQ(0, photo->registerCallback(&errors));
        ASSERT_EQ(0, photo->init());
        photo->setCloundModule(&sink);
    }
    QString folder(const QString &name) const { return tmp.path() + "/" + name; }

    QTemporaryDir tmp;
    PhotoSink sink;
    ErrorLog errors;
    std::unique_ptr<KxModulePhoto> photo;
};

TEST_F(PhotoModuleTest, NumbersFilesPerRecordingAndKeepsPayload)
{
    const QString f1 = folder("rec one/nested");  // missing parents are created
    ASSERT_EQ(0, photo->config(f1, "P"));
    ASSERT_EQ(0, photo->start());
    std::vector<QByteArray> payloads;
    for (int i = 0; i < 3; ++i) {
        QByteArray data(1000 + i * 77, '\0');
        for (int k = 0; k < data.size(); ++k)
            data[k] = char((k * 31 + i) & 0xff);  // includes \r and \n bytes: no line-end translation
        payloads.push_back(data);
        auto pkt = makePacket(KX_PACKET_PHOTO, data);
        EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    }
    ASSERT_EQ(0, photo->stop());
    EXPECT_EQ(0, errors.stops);
    for (int i = 0; i < 3; ++i) {
        const QString path = QStringLiteral("%1/P%2.jpg").arg(f1).arg(i + 1);
        EXPECT_EQ(payloads[size_t(i)], readAll(path)) << path.toStdString();
    }
    ASSERT_EQ(3u, sink.paths.size());
    EXPECT_EQ((f1 + "/P1.jpg").toStdString(), sink.paths[0]);
    EXPECT_EQ((f1 + "/P3.jpg").toStdString(), sink.paths[2]);

    // The next recording numbers from 1 again, in its own folder; a file of
    // the same name left from before is truncated.
    const QString f2 = folder("rec two");
    QDir().mkpath(f2);
    {
        QFile old(f2 + "/Q1.jpg");
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5000, 'x'));
    }
    ASSERT_EQ(0, photo->config(f2, "Q"));
    EXPECT_EQ(1, photo->nextNumber());
    auto pkt = makePacket(KX_PACKET_PHOTO, "abc");
    EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    EXPECT_EQ(QByteArray("abc"), readAll(f2 + "/Q1.jpg"));
    EXPECT_TRUE(errors.errors.empty());
}

TEST_F(PhotoModuleTest, UnicodeFolderIsHandedOnAsUtf8)
{
    const QString f = folder(QString::fromUtf8("Lektion \xc3\xbc\xe8\xaf\xbe"));
    photo->config(f, QString::fromUtf8("K\xc3\xa4"));
    auto pkt = makePacket(KX_PACKET_PHOTO, "x");
    EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    ASSERT_EQ(1u, sink.paths.size());
    const QString handed = QString::fromUtf8(sink.paths[0].c_str());
    EXPECT_EQ(f + QString::fromUtf8("/K\xc3\xa4" "1.jpg"), handed);
    EXPECT_TRUE(QFileInfo::exists(handed));
}

struct BadCase {
    const char *name;
    int packetType;          // -1: null packet
    bool allocate;
    int expectedResult;
    int expectedErrorType;   // -1: none
    const char *expectedMessage;
};

class PhotoModuleBadInput : public PhotoModuleTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(PhotoModuleBadInput, ReportsAndWritesNothing)
{
    const BadCase c = GetParam();
    const QString f = folder("bad");
    photo->config(f, "B");
    PacketPtr pkt;
    if (c.packetType >= 0)
        pkt = makePacket(c.packetType, "payload", c.allocate);
    EXPECT_EQ(c.expectedResult, photo->saveMediaPacket(pkt.get()));
    ASSERT_EQ(1u, errors.errors.size());
    EXPECT_EQ(c.expectedErrorType, errors.errors[0].first);
    EXPECT_EQ(std::string(c.expectedMessage), errors.errors[0].second);
    EXPECT_FALSE(QFileInfo::exists(f + "/B1.jpg"));
    EXPECT_TRUE(sink.paths.empty());
    EXPECT_EQ(1, photo->nextNumber());
}

INSTANTIATE_TEST_SUITE_P(Cases, PhotoModuleBadInput, ::testing::Values(
    BadCase{"audio", KX_PACKET_AUDIO, true, -1, 0, "PacketTypeError"},
    BadCase{"video", KX_PACKET_VIDEO, true, -1, 0, "PacketTypeError"},
    BadCase{"null", -1, true, -1, 0, "PacketTypeError"},
    BadCase{"nodata", KX_PACKET_PHOTO, false, 0, 1, "DataNullError"}),
    [](const ::testing::TestParamInfo<BadCase> &info) { return std::string(info.param.name); });

TEST_F(PhotoModuleTest, FolderThatCannotBeCreatedIsPathError)
{
    // A plain file where a parent folder should be.
    QFile blocker(folder("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    photo->config(folder("blocker/sub"), "P");
    auto pkt = makePacket(KX_PACKET_PHOTO, "data");
    EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    ASSERT_EQ(1u, errors.errors.size());
    EXPECT_EQ(2, errors.errors[0].first);
    EXPECT_EQ("PathError", errors.errors[0].second);
    EXPECT_TRUE(sink.paths.empty());

    // Never configured: no folder at all is a path error too, not a file at
    // the file-system root.
    errors.errors.clear();
    std::unique_ptr<IKxModulePhoto> fresh(IKxModulePhoto::createInstance());
    fresh->registerCallback(&errors);
    fresh->setCloundModule(&sink);
    EXPECT_EQ(0, fresh->saveMediaPacket(pkt.get()));
    ASSERT_EQ(1u, errors.errors.size());
    EXPECT_EQ(2, errors.errors[0].first);
    EXPECT_TRUE(sink.paths.empty());
}

TEST_F(PhotoModuleTest, EmptyPayloadAndUnopenableFileAndNoCloud)
{
    const QString f = folder("edge");
    photo->config(f, "E");
    // Size 0 with a valid pointer: an empty file, handed on all the same.
    auto empty = makePacket(KX_PACKET_PHOTO, QByteArray(), true);
    ASSERT_NE(nullptr, empty->getData());
    EXPECT_EQ(0, photo->saveMediaPacket(empty.get()));
    EXPECT_TRUE(QFileInfo::exists(f + "/E1.jpg"));
    EXPECT_EQ(0, QFileInfo(f + "/E1.jpg").size());
    ASSERT_EQ(1u, sink.paths.size());

    // A folder in the way of E2.jpg: only logged, the number is used up,
    // nothing is handed on.
    ASSERT_TRUE(QDir().mkpath(f + "/E2.jpg"));
    auto pkt = makePacket(KX_PACKET_PHOTO, "zz");
    EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    EXPECT_TRUE(errors.errors.empty());
    EXPECT_EQ(1u, sink.paths.size());
    EXPECT_EQ(3, photo->nextNumber());

    // After destory the files are still written but no longer handed on.
    EXPECT_EQ(0, photo->destory());
    EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    EXPECT_EQ(QByteArray("zz"), readAll(f + "/E3.jpg"));
    EXPECT_EQ(1u, sink.paths.size());
}

TEST_F(PhotoModuleTest, PlaceholderInFolderKeepsNameAndFailedWriteLeavesNothing)
{
    const QString f = folder("lesson %1 %2");
    photo->config(f, "P%1-");
    auto pkt = makePacket(KX_PACKET_PHOTO, "first");
    EXPECT_EQ(0, photo->saveMediaPacket(pkt.get()));
    ASSERT_EQ(1u, sink.paths.size());
    EXPECT_EQ((f + "/P%1-1.jpg").toStdString(), sink.paths[0]);
    EXPECT_EQ(QByteArray("first"), readAll(f + "/P%1-1.jpg"));

    // The next file lands on a full device: its bytes never reach the disk.
    if (!QFileInfo::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    ASSERT_TRUE(QFile::link("/dev/full", f + "/P%1-2.jpg"));
    auto full = makePacket(KX_PACKET_PHOTO, QByteArray(64 * 1024, 'z'));
    EXPECT_EQ(0, photo->saveMediaPacket(full.get()));
    ASSERT_EQ(1u, errors.errors.size());
    EXPECT_EQ(3, errors.errors[0].first);
    EXPECT_EQ("WriteError", errors.errors[0].second);
    EXPECT_FALSE(QFileInfo(f + "/P%1-2.jpg").exists() || QFileInfo(f + "/P%1-2.jpg").isSymLink());
    EXPECT_EQ(1u, sink.paths.size());
}

TEST(PhotoModule, PublishesItsInterfaceToQt)
{
    std::unique_ptr<IKxModulePhoto> m(IKxModulePhoto::createInstance());
    auto *obj = dynamic_cast<QObject *>(m.get());
    ASSERT_NE(nullptr, obj);
    EXPECT_EQ(m.get(), qobject_cast<IKxModulePhoto *>(obj));
    EXPECT_NE(nullptr, obj->qt_metacast(IKxModulePhoto_iid));
}

} // namespace
