#include "KxMp4Creater.h"

#include "IKxMediaPacket.h"
#include "KxMp4Recovery.h"
#include "KxMuxer.h"

#include <QDebug>

#include <algorithm>

namespace KxFileModule {

namespace {
constexpr double kFlushEveryMicroseconds = 1000000.0;
}

bool kxRecordFromPacket(IKxMediaPacket *packet, KxMuxRecord *record, double *t)
{
    if (!packet || !packet->getData() || packet->getSize() < 1)
        return false;
    const int type = packet->getType();
    if (type == KX_PACKET_AUDIO) {
        KxAudioInfo info;
        packet->getAudioInfo(&info);
        record->stream = KX_MUX_AUDIO;
        record->key = 1;
        record->dts = info.dts;
        record->pts = info.pts;
        record->timeBaseDen = info.timeBase;
    } else if (type == KX_PACKET_VIDEO) {
        KxVideoInfo info;
        packet->getVideoInfo(&info);
        record->stream = KX_MUX_VIDEO;
        record->key = info.bKeyFrame ? 1 : 0;
        record->dts = info.dts;
        record->pts = info.pts;
        record->timeBaseDen = info.timeBase;
        record->frameRate = info.frameRate;
        record->width = info.width;
        record->height = info.height;
    } else {
        return false;
    }
    record->timeBaseNum = 1;
    record->data = packet->getData();
    record->size = packet->getSize();
    // A packet without a usable time base is refused by the muxer; its
    // time must not disturb the writers' bookkeeping either.
    *t = record->timeBaseDen > 0 ? record->pts * 1000000.0 / record->timeBaseDen : 0.0;
    return record->timeBaseDen > 0;
}

KxMp4Creater::KxMp4Creater() = default;

KxMp4Creater::~KxMp4Creater()
{
    // Finish a file still open, but report nothing: whoever receives the
    // reports may already be going away.
    m_pCallback = nullptr;
    close();
}

int KxMp4Creater::init(const KxWriterConfig &config)
{
    qDebug() << "KxMp4Creater::init" << QString::fromStdString(config.path);
    m_path = config.path;
    m_iSegmentLength = config.segmentLength;
    m_params = config.params;
    m_streams = config.streams ? config.streams : KxStreamSetup::create(m_params);
    return 0;
}

int KxMp4Creater::start()
{
    qDebug() << "KxMp4Creater::start";
    m_bHaveFirst = false;
    m_firstTime = 0;
    m_lastTime = 0;
    m_lastFlushTime = 0;
    m_retry.reset();
    return 0;
}

int KxMp4Creater::write(IKxMediaPacket *packet)
{
    KxMuxRecord record;
    double t = 0;
    if (!kxRecordFromPacket(packet, &record, &t)) {
        if (packet && packet->getSize() > 0 && (packet->getType() == KX_PACKET_AUDIO || packet->getType() == KX_PACKET_VIDEO))
            qWarning() << "KxMp4Creater::write" << "packet without a time base ignored";
        return 1;
    }
    if (!m_pMuxer) {
        if (!m_retry.due())
            return m_retry.lastStatus();
        std::unique_ptr<KxMuxer> muxer(new KxMuxer(m_params, m_streams));
        // Retried once a second; log the first failure and then one a minute.
        const bool log = m_retry.failures() % 60 == 0;
        muxer->setLogOpenFailures(log);
        const int ret = muxer->open(m_path.c_str(), "mp4",
                                    {{"movflags", kRecordingMovFlags},
                                     {"frag_duration", kRecordingMaxFragmentMicroseconds},
                                     {"brand", kUnfinishedBrand}});
        if (ret != 0) {
            if (log)
                qWarning() << "KxMp4Creater::write" << "cannot open" << QString::fromStdString(m_path) << "status"
                           << ret << "attempts" << m_retry.failures() + 1;
            m_retry.failed(ret);
            return ret;
        }
        if (m_retry.failures() > 0)
            qWarning() << "KxMp4Creater::write" << "opened after" << m_retry.failures() << "failed attempts";
        m_retry.reset();
        m_pMuxer = std::move(muxer);
        m_pDurable.reset(new KxDurableFile(m_path));
        if (m_pCallback)
            m_pCallback->onStart(KX_WRITER_MP4);
    }
    // A packet the container refuses is skipped and does not count; a file
    // that can no longer be written (disk full) fails every packet.
    if (m_pMuxer->write(&record) != 0)
        return m_pMuxer->failed() ? int(KX_MUX_WRITE_PACKET) : 0;
    // A key frame closes the previous fragment (without video the muxer
    // cuts one every two seconds): hand it to the file system now, so that
    // a crash loses at most the fragment being written.
    if ((record.stream == KX_MUX_VIDEO && record.key) || t - m_lastFlushTime >= kFlushEveryMicroseconds) {
        m_lastFlushTime = t;
        if (m_pMuxer->flush() != 0)
            return KX_MUX_WRITE_PACKET;
    }
    // The recording spans from its earliest to its latest presentation
    // time; in push order neither needs to be the first or last packet
    // (audio runs ahead of the encoder's latency, B-frames reorder).
    if (!m_bHaveFirst) {
        m_bHaveFirst = true;
        m_firstTime = m_lastTime = t;
    } else {
        m_firstTime = std::min(m_firstTime, t);
        m_lastTime = std::max(m_lastTime, t);
    }
    return 0;
}

int KxMp4Creater::close()
{
    if (!m_pMuxer)
        return 0;
    qDebug() << "KxMp4Creater::close" << QString::fromStdString(m_path);
    m_pMuxer->close();
    const bool failed = m_pMuxer->failed();
    const std::string reason = m_pMuxer->failureReason();
    m_pMuxer.reset();
    m_pDurable.reset();
    const double duration = m_bHaveFirst ? (m_lastTime - m_firstTime) / 1000000.0 : 0.0;
    m_bHaveFirst = false;
    if (failed) {
        // Reporting it as a finished recording would hand on a file that
        // does not play.
        qWarning() << "KxMp4Creater::close" << QString::fromStdString(m_path) << "is incomplete:"
                   << QString::fromStdString(reason);
        // What was written stays, still marked unfinished: the next start
        // finalises what it can of it.
        if (m_pCallback)
            m_pCallback->onBroken(KX_WRITER_MP4, m_path.c_str(), reason.c_str());
        return 0;
    }
    // The fragmented file plays as it is; a failure to rewrite it costs the
    // teacher nothing now, and the next start tries again.
    std::string why;
    if (!finaliseRecording(m_path, &why))
        qWarning() << "KxMp4Creater::close" << QString::fromStdString(m_path)
                   << "kept as written (fragmented, playable); finalising failed:" << QString::fromStdString(why);
    if (m_pCallback)
        m_pCallback->onFile(KX_WRITER_MP4, m_path.c_str(), duration);
    return 0;
}

int KxMp4Creater::uninit()
{
    qDebug() << "KxMp4Creater::uninit";
    return close();
}

} // namespace KxFileModule
