#include "KxCloudTestSupport.h"

#include "IKxNetWorkManager.h"
#include "KxModuleClound.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <thread>

// ---------------------------------------------------------------------------
// Log capture

namespace {
std::mutex g_logLock;
QStringList g_lines;
QtMessageHandler g_previous = nullptr;
bool g_installed = false;

void captureHandler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    {
        std::lock_guard<std::mutex> lock(g_logLock);
        g_lines.append(msg);
    }
    if (g_previous)
        g_previous(type, ctx, msg);
}
} // namespace

KxLogCapture::KxLogCapture()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_lines.clear();
    if (!g_installed) {
        g_previous = qInstallMessageHandler(captureHandler);
        g_installed = true;
    }
}

KxLogCapture::~KxLogCapture()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_installed) {
        qInstallMessageHandler(g_previous);
        g_installed = false;
    }
    g_lines.clear();
}

QStringList KxLogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_lines;
}

int KxLogCapture::count(const QStringList &parts) const
{
    int n = 0;
    for (const QString &line : lines()) {
        bool all = true;
        for (const QString &p : parts)
            all = all && line.contains(p);
        n += all ? 1 : 0;
    }
    return n;
}

void KxLogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_lines.clear();
}

// ---------------------------------------------------------------------------
// Segments

namespace {
constexpr int kSegments = 6;

QString makeSegments(QString *why)
{
    static std::unique_ptr<QTemporaryDir> dir;
    static QString error;
    if (dir)
        return error.isEmpty() ? dir->path() : QString();
    dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kx-cloud-seg-XXXXXX"));
    QProcess ff;
    ff.start(QStringLiteral("ffmpeg"),
             {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=15", "-f", "lavfi",
              "-i", "sine=frequency=440:sample_rate=44100", "-t", QString::number(kSegments), "-c:v", "libx264",
              "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "15", "-c:a", "aac", "-f", "segment",
              "-segment_time", "1", "-segment_format", "mpegts", dir->path() + "/seg%03d.ts"});
    if (!ff.waitForStarted(10000)) {
        error = QStringLiteral("ffmpeg did not start");
    } else if (!ff.waitForFinished(60000)) {
        ff.kill();
        ff.waitForFinished(3000);
        error = QStringLiteral("ffmpeg did not finish");
    } else if (ff.exitCode() != 0) {
        error = QStringLiteral("ffmpeg failed: ") + QString::fromLocal8Bit(ff.readAllStandardError());
    } else {
        for (int i = 0; i < kSegments; ++i) {
            if (!QFileInfo::exists(dir->path() + QStringLiteral("/seg%1.ts").arg(i, 3, 10, QLatin1Char('0'))))
                error = QStringLiteral("segment %1 missing").arg(i);
        }
    }
    if (why)
        *why = error;
    return error.isEmpty() ? dir->path() : QString();
}
} // namespace

QString KxSegmentSource::folder(QString *why)
{
    return makeSegments(why);
}

int KxSegmentSource::count()
{
    return kSegments;
}

QString KxSegmentSource::copyTo(const QString &dir, const QString &key, int i)
{
    const QString src = folder() + QStringLiteral("/seg%1.ts").arg(i % kSegments, 3, 10, QLatin1Char('0'));
    const QString dst = QStringLiteral("%1/%2.%3.ts").arg(dir, key).arg(i, 3, 10, QLatin1Char('0'));
    QFile::remove(dst);
    QFile::copy(src, dst);
    return dst;
}

QJsonObject kxParams(const QJsonValue &entry)
{
    return entry.toObject().value(QStringLiteral("params")).toObject();
}

// ---------------------------------------------------------------------------
// Fixture

std::unique_ptr<KxDevCloud> KxCloudTest::s_cloud;
QString KxCloudTest::s_ini;
QString KxCloudTest::s_bucket = QStringLiteral("kxbucket");
QStringList KxCloudTest::s_extraIni;

void KxCloudTest::SetUpTestSuite()
{
    kxRegisterCoreMetaTypes();
    s_cloud = std::make_unique<KxDevCloud>();
    QString why;
    if (!s_cloud->start(&why, {QStringLiteral("--bucket"), s_bucket})) {
        ADD_FAILURE() << "devcloud did not start: " << why.toStdString();
        s_cloud.reset();
        return;
    }
    s_ini = s_cloud->writeVersionIni(s_extraIni);
}

void KxCloudTest::TearDownTestSuite()
{
    s_cloud.reset();
}

void KxCloudTest::SetUp()
{
    ASSERT_TRUE(s_cloud) << "no devcloud";
    QString why;
    ASSERT_FALSE(KxSegmentSource::folder(&why).isEmpty()) << why.toStdString();
    s_cloud->admin(QStringLiteral("reset"));

    m_log = std::make_unique<KxLogCapture>();
    m_work = s_cloud->scratchDir() + QStringLiteral("/work-%1").arg(::testing::UnitTest::GetInstance()->random_seed())
             + QLatin1Char('-') + QString::fromStdString(::testing::UnitTest::GetInstance()->current_test_info()->name());
    m_segDir = m_work + QStringLiteral("/segments");
    QDir(m_work).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(m_segDir));

    // A fresh manager per test, so no transfer of an earlier test survives.
    useVersionIni(s_ini);
}

void KxCloudTest::useVersionIni(const QString &ini)
{
    dropModule();
    m_cb = KxCloudCallbackLog();
    qputenv("KX_VERSION_INI", ini.toLocal8Bit());
    m_net = KxNetrelay::getInst(nullptr);
    ASSERT_NE(nullptr, m_net);
    qApp->setProperty("IKxNetWorkManager", QVariant::fromValue(m_net));

    m_module = static_cast<KxModuleClound *>(IKxModuleClound::createInstance());
    m_module->registerCallback(&m_cb);
    m_module->init();
    m_module->config(m_work + QStringLiteral("/tmp"));
}

void KxCloudTest::dropModule()
{
    if (m_module) {
        m_module->destory();
        delete m_module;
        m_module = nullptr;
    }
    if (m_net) {
        delete m_net->qobject();
        m_net = nullptr;
    }
    qApp->setProperty("IKxNetWorkManager", QVariant());
    // Let deferred deletions run before the next manager.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void KxCloudTest::TearDown()
{
    dropModule();
    m_log.reset();
}

bool KxCloudTest::startRecording(const QString &key, const QString &name, bool waitForShare)
{
    const int before = m_cb.qrCodes.size();
    m_module->start(key, name);
    if (!waitForShare)
        return true;
    return kxWaitUntil([&] { return m_cb.qrCodes.size() > before; }, 10000);
}

QString KxCloudTest::segment(const QString &key, int i)
{
    return KxSegmentSource::copyTo(m_segDir, key, i);
}

void KxCloudTest::offerVideoFromThread(const QStringList &paths, double duration)
{
    std::vector<QByteArray> utf8;
    for (const QString &p : paths)
        utf8.push_back(p.toUtf8());
    KxModuleClound *module = m_module;
    std::thread writer([module, &utf8, duration] {
        for (const QByteArray &p : utf8)
            module->uploadVideo(p.constData(), duration);
    });
    writer.join();
}

QJsonArray KxCloudTest::requests(const QString &method, const QString &pathPrefix) const
{
    QJsonArray out;
    const QJsonArray all = s_cloud->journal();
    for (const QJsonValue &v : all) {
        const QJsonObject o = v.toObject();
        if (o.value(QStringLiteral("method")).toString() == method
            && o.value(QStringLiteral("path")).toString().startsWith(pathPrefix))
            out.append(o);
    }
    return out;
}

QStringList KxCloudTest::putPaths() const
{
    QStringList out;
    for (const QJsonValue &v : requests(QStringLiteral("PUT"), QStringLiteral("storage/")))
        out << v.toObject().value(QStringLiteral("path")).toString();
    return out;
}

bool KxCloudTest::waitJournalSettled(int ms) const
{
    return kxWaitUntil([&] {
        for (const QJsonValue &v : s_cloud->journal())
            if (!v.toObject().contains(QStringLiteral("end")))
                return false;
        return true;
    }, ms);
}

bool KxCloudTest::waitNoticesAnswered(int count, int ms) const
{
    return kxWaitUntil([&] {
        const QJsonArray notices = requests(QStringLiteral("POST"), QStringLiteral("api/merioclass/sendsure"));
        if (notices.size() < count)
            return false;
        for (const QJsonValue &v : notices)
            if (!v.toObject().contains(QStringLiteral("end")))
                return false;
        return true;
    }, ms);
}

bool KxCloudTest::waitNoTask(int ms)
{
    return kxWaitUntil([&] { return m_module->taskCount() == 0; }, ms);
}

QByteArray KxCloudTest::playlistText(const QList<QPair<double, QString>> &segments)
{
    QByteArray out("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:11\n#EXT-X-MEDIA-SEQUENCE:0\n");
    for (const auto &s : segments)
        out += "#EXTINF:" + QByteArray::number(s.first, 'g', 6) + ",\n" + s.second.toUtf8() + "\n";
    out += "#EXT-X-ENDLIST\n";
    return out;
}

QString KxCloudTest::remoteOf(const QString &putPath)
{
    const QString prefix = QStringLiteral("storage/") + s_bucket;
    return putPath.startsWith(prefix) ? putPath.mid(prefix.size()) : QString();
}
