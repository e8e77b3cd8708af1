#include "KxLocalFileMgr.h"

#include "IKxModuleClound.h"
#include "KxMerioErrors.h"
#include "KxMp4Creater.h"
#include "KxTsCreater.h"

#include <QDebug>

namespace KxFileModule {

namespace {
constexpr int kStartOk = 0;
constexpr int kNoWriter = 2;
constexpr int kWriterFailed = 3;

template <typename T>
T orDefault(T value, T fallback)
{
    return value != 0 ? value : fallback;
}
} // namespace

IKxToLocalFile *createFileWriter(int number)
{
    switch (number) {
    case KX_CREATE_TS_WRITER:
        return new KxTsCreater;
    case KX_CREATE_MP4_WRITER:
        return new KxMp4Creater;
    default:
        return nullptr;
    }
}

KxLocalFileMgr::KxLocalFileMgr() = default;

KxLocalFileMgr::~KxLocalFileMgr()
{
    stop();
}

int KxLocalFileMgr::init()
{
    qDebug() << "KxLocalFileMgr::init";
    return KxMerioErrors::OK;
}

int KxLocalFileMgr::setCloundModule(IKxModuleClound *cloud)
{
    qDebug() << "KxLocalFileMgr::setCloundModule" << cloud;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pCloud = cloud;
    return KxMerioErrors::OK;
}

void KxLocalFileMgr::registerCallback(KxToLocalFileCbk *callback)
{
    qDebug() << "KxLocalFileMgr::registerCallback" << callback;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pCallback = callback;
}

KxWriterParams KxLocalFileMgr::paramsFromConfig(const KxLocalFileConfig &c)
{
    KxWriterParams p;
    p.videoCodecId = orDefault<int32_t>(c.videoCodecId, 27);
    p.videoBitRate = orDefault<int64_t>(c.videoBitRate, 2000000);
    p.frameRate = orDefault<int32_t>(c.frameRate, 15);
    p.timeBaseNum = orDefault<int32_t>(c.timeBaseNum, 1);
    p.width = orDefault<int32_t>(c.width, 1280);
    p.height = orDefault<int32_t>(c.height, 720);
    p.gopSize = orDefault<int32_t>(c.gopSize, 6);
    p.pixelFormat = c.pixelFormat;
    p.audioCodecId = orDefault<int32_t>(c.audioCodecId, 86018);
    p.audioBitRate = orDefault<int64_t>(c.audioBitRate, 64000);
    p.sampleRate = orDefault<int32_t>(c.sampleRate, 44100);
    p.channels = orDefault<int32_t>(c.channels, 2);
    return p;
}

int KxLocalFileMgr::start(const KxLocalFileConfig &config)
{
    qDebug() << "KxLocalFileMgr::start" << QString::fromStdString(config.mp4Path)
             << QString::fromStdString(config.playlistPath) << config.segmentLength;
    // Opening the parameter encoders takes tens of milliseconds: done once
    // here, outside the lock, so that neither the pool's output thread nor
    // any segment waits for it.
    const KxWriterParams params = paramsFromConfig(config);
    std::shared_ptr<const KxStreamSetup> streams = KxStreamSetup::create(params);
    int result = kWriterFailed;
    Reports reports;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A recording still running would leak its writers and leave its
        // files unfinished: finish it as stop would.
        if (m_pMp4Writer || m_pTsWriter) {
            qWarning() << "KxLocalFileMgr::start" << "previous recording still open; stopping it";
            stopLocked();
        }
        result = startLocked(config, params, streams);
        reports = takeReportsLocked();
    }
    deliver(std::move(reports));
    return result;
}

int KxLocalFileMgr::startLocked(const KxLocalFileConfig &config, const KxWriterParams &params,
                                const std::shared_ptr<const KxStreamSetup> &streams)
{
    IKxToLocalFile *mp4 = createFileWriter(KX_CREATE_MP4_WRITER);
    IKxToLocalFile *ts = createFileWriter(KX_CREATE_TS_WRITER);
    if (!mp4 || !ts) {
        qWarning() << "KxLocalFileMgr::start" << "a writer was not created";
        delete mp4;
        delete ts;
        return kNoWriter;
    }
    KxWriterConfig mp4Config;
    mp4Config.path = config.mp4Path;
    mp4Config.segmentLength = config.segmentLength;
    mp4Config.params = params;
    mp4Config.streams = streams;
    KxWriterConfig tsConfig = mp4Config;
    tsConfig.path = config.playlistPath;

    if (mp4->init(mp4Config) == 0 && ts->init(tsConfig) == 0) {
        mp4->setCallback(this);
        ts->setCallback(this);
        if (mp4->start() == 0 && ts->start() == 0) {
            m_pMp4Writer = mp4;
            m_pTsWriter = ts;
            return kStartOk;
        }
    }
    qWarning() << "KxLocalFileMgr::start" << "a writer failed to initialise or start";
    delete mp4;
    delete ts;
    return kWriterFailed;
}

uint8_t KxLocalFileMgr::inputMediaPacket(IKxMediaPacket *packet)
{
    uint8_t result = kNoWriter;
    Reports reports;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pMp4Writer || !m_pTsWriter)
            return kNoWriter;
        const int mp4 = m_pMp4Writer->write(packet);
        const int ts = m_pTsWriter->write(packet);
        result = (mp4 == 0 && ts == 0) ? kStartOk : kWriterFailed;
        if (m_pending.empty())
            return result;
        reports = takeReportsLocked();
    }
    deliver(std::move(reports));
    return result;
}

int KxLocalFileMgr::stop()
{
    qDebug() << "KxLocalFileMgr::stop";
    int result = kNoWriter;
    Reports reports;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        result = stopLocked();
        reports = takeReportsLocked();
    }
    deliver(std::move(reports));
    return result;
}

int KxLocalFileMgr::stopLocked()
{
    if (!m_pMp4Writer || !m_pTsWriter) {
        // Never only one of them; keep that true even so.
        delete m_pMp4Writer;
        delete m_pTsWriter;
        m_pMp4Writer = m_pTsWriter = nullptr;
        return kNoWriter;
    }
    m_pMp4Writer->close();
    m_pTsWriter->close();
    m_pMp4Writer->uninit();
    m_pTsWriter->uninit();
    for (IKxToLocalFile *writer : {m_pMp4Writer, m_pTsWriter}) {
        writer->close();
        writer->uninit();
        delete writer;
    }
    m_pMp4Writer = m_pTsWriter = nullptr;
    return kStartOk;
}

int KxLocalFileMgr::destory()
{
    qDebug() << "KxLocalFileMgr::destory";
    stop();
    return KxMerioErrors::OK;
}

// The writers report while the mutex is held (they run under it): keep
// the report for delivery after the mutex is released.
void KxLocalFileMgr::onStart(int kind)
{
    qDebug() << "KxLocalFileMgr::onStart" << kind;
    if (kind == KX_WRITER_MP4)
        m_pending.push_back({Report::Started, {}, {}, 0, nullptr, nullptr});
}

void KxLocalFileMgr::onFile(int kind, const char *path, double duration)
{
    qDebug() << "KxLocalFileMgr::onFile" << kind << path << duration;
    if (kind == KX_WRITER_MP4)
        m_pending.push_back({Report::Stopped, path ? path : "", {}, duration, nullptr, nullptr});
    else if (kind == KX_WRITER_SEGMENT || kind == KX_WRITER_TS)
        m_pending.push_back({Report::Segment, path ? path : "", {}, duration, nullptr, nullptr});
}

void KxLocalFileMgr::onBroken(int kind, const char *path, const char *reason)
{
    qWarning() << "KxLocalFileMgr::onBroken" << kind << path << "could not be written whole:" << reason;
    if (kind == KX_WRITER_MP4)
        m_pending.push_back({Report::Broken, path ? path : "", reason ? reason : "", 0, nullptr, nullptr});
}

KxLocalFileMgr::Reports KxLocalFileMgr::takeReportsLocked()
{
    Reports reports;
    if (m_pending.empty())
        return reports;
    reports.list.swap(m_pending);
    for (Report &r : reports.list) {
        r.callback = m_pCallback;
        r.cloud = m_pCloud;
    }
    std::lock_guard<std::mutex> lock(m_turnMutex);
    // A receiver that calls back into the module from a delivery must not
    // wait for the turn it is delivering itself.
    if (m_deliverer != std::this_thread::get_id())
        reports.turn = ++m_lastTurn;
    return reports;
}

void KxLocalFileMgr::deliver(Reports reports)
{
    if (reports.list.empty())
        return;
    if (reports.turn == 0) {
        for (const Report &r : reports.list)
            deliverOne(r);
        return;
    }
    std::unique_lock<std::mutex> lock(m_turnMutex);
    m_turnCv.wait(lock, [&] { return m_nextTurn == reports.turn; });
    m_deliverer = std::this_thread::get_id();
    lock.unlock();
    for (const Report &r : reports.list)
        deliverOne(r);
    lock.lock();
    m_deliverer = std::thread::id();
    ++m_nextTurn;
    lock.unlock();
    m_turnCv.notify_all();
}

void KxLocalFileMgr::deliverOne(const Report &r)
{
    KxToLocalFileCbk *callback = r.callback;
    IKxModuleClound *cloud = r.cloud;
    switch (r.what) {
    case Report::Started:
        if (callback)
            callback->OnStart();
        break;
    case Report::Stopped:
        if (callback)
            callback->OnStoped(r.path.c_str(), r.duration);
        break;
    case Report::Broken:
        if (callback)
            callback->OnBroken(r.path.c_str(), r.reason.c_str());
        break;
    case Report::Segment:
        if (cloud)
            cloud->uploadVideo(r.path.c_str(), r.duration);
        break;
    }
}

} // namespace KxFileModule

IKxModuleLocalFile *IKxModuleLocalFile::createInstance()
{
    return new KxFileModule::KxLocalFileMgr;
}
