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
    std::lock_guard<std::mutex> lock(m_mutex);
    stopLocked();
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
    std::lock_guard<std::mutex> lock(m_mutex);
    // A recording still running would leak its writers and leave its files
    // unfinished: finish it as stop would.
    if (m_pMp4Writer || m_pTsWriter) {
        qWarning() << "KxLocalFileMgr::start" << "previous recording still open; stopping it";
        stopLocked();
    }
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
    mp4Config.params = paramsFromConfig(config);
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
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pMp4Writer || !m_pTsWriter)
        return kNoWriter;
    const int mp4 = m_pMp4Writer->write(packet);
    const int ts = m_pTsWriter->write(packet);
    return (mp4 == 0 && ts == 0) ? kStartOk : kWriterFailed;
}

int KxLocalFileMgr::stop()
{
    qDebug() << "KxLocalFileMgr::stop";
    std::lock_guard<std::mutex> lock(m_mutex);
    return stopLocked();
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

void KxLocalFileMgr::onStart(int kind)
{
    qDebug() << "KxLocalFileMgr::onStart" << kind;
    if (kind == KX_WRITER_MP4 && m_pCallback)
        m_pCallback->OnStart();
}

void KxLocalFileMgr::onFile(int kind, const char *path, double duration)
{
    qDebug() << "KxLocalFileMgr::onFile" << kind << path << duration;
    if (kind == KX_WRITER_MP4) {
        if (m_pCallback)
            m_pCallback->OnStoped(path, duration);
    } else if (kind == KX_WRITER_SEGMENT || kind == KX_WRITER_TS) {
        if (m_pCloud)
            m_pCloud->uploadVideo(path, duration);
    }
}

} // namespace KxFileModule

IKxModuleLocalFile *IKxModuleLocalFile::createInstance()
{
    return new KxFileModule::KxLocalFileMgr;
}
