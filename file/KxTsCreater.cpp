#include "KxTsCreater.h"

#include "IKxMediaPacket.h"
#include "KxMp4Creater.h"

#include <QDebug>

#include <algorithm>
#include <cstdio>

namespace KxFileModule {

namespace {
constexpr int kMinSegmentLength = 2;
constexpr size_t kInitialHeldSlots = 256;
}

KxTsCreater::KxTsCreater() = default;

KxTsCreater::~KxTsCreater()
{
    dropSegment();
}

int KxTsCreater::allowanceSeconds(int roundedFrameRate, int unit)
{
    if (roundedFrameRate < 1 || unit < 1)
        return 0;
    return 15 * unit / roundedFrameRate;
}

std::string KxTsCreater::segmentName(const std::string &stem, int counter)
{
    std::vector<char> name(stem.size() + 20);
    std::snprintf(name.data(), name.size(), "%s%03d.ts", stem.c_str(), counter);
    return std::string(name.data());
}

std::string KxTsCreater::stemOf(const std::string &playlistPath)
{
    // A dot in a folder name must not cut the path: the segments would land
    // beside that folder instead of in it.
    const size_t slash = playlistPath.find_last_of('/');
    const size_t dot = playlistPath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return playlistPath + ".";
    return playlistPath.substr(0, dot + 1);
}

int KxTsCreater::init(const KxWriterConfig &config)
{
    qDebug() << "KxTsCreater::init" << QString::fromStdString(config.path) << config.segmentLength;
    m_stem = stemOf(config.path);
    m_iSegmentLength = std::max(config.segmentLength, kMinSegmentLength);
    m_params = config.params;
    m_streams = config.streams ? config.streams : KxStreamSetup::create(m_params);
    m_iCounter = 0;
    return 0;
}

int KxTsCreater::start()
{
    qDebug() << "KxTsCreater::start";
    dropSegment();
    m_bSegmentOpen = false;
    m_segmentStart = 0;
    m_currentTime = 0;
    m_previousEnd = -1;
    m_iCounter = 0;
    m_bVideoSeen = false;
    m_videoHorizon = 0;
    m_retry.reset();
    m_heldHead = 0;
    m_heldCount = 0;
    if (m_held.size() < kInitialHeldSlots)
        m_held.resize(kInitialHeldSlots);
    return 0;
}

int KxTsCreater::write(IKxMediaPacket *packet)
{
    KxMuxRecord record;
    double t = 0;
    if (!kxRecordFromPacket(packet, &record, &t))
        return 1;

    if (record.stream == KX_MUX_AUDIO) {
        if (!m_bVideoSeen)
            return writeAudioNow(record, t, true);
        if (m_heldCount == 0 && t <= m_videoHorizon)
            return writeAudioNow(record, t, false);
        holdAudio(record, t);
        // The video stalled: stop waiting for it.
        int status = 0;
        while (m_heldCount > 0) {
            const HeldAudio &oldest = m_held[m_heldHead];
            if ((t - oldest.t) / 1000000.0 <= kMaxAudioHoldSeconds)
                break;
            const int ret = releaseHeld(oldest.t, Release::UpToAndCut);
            if (status == 0)
                status = ret;
        }
        return status;
    }

    KxVideoInfo info;
    packet->getVideoInfo(&info);
    const int allowance = allowanceSeconds(info.frameRate, info.unit);
    int status = 0;
    if (record.key && m_bSegmentOpen
        && (t - m_segmentStart) / 1000000.0 > m_iSegmentLength - allowance) {
        // Audio before the cut belongs to the segment that ends here.
        status = releaseHeld(t, Release::Before);
        if (m_bSegmentOpen)
            closeSegment(t);
    }
    const int ret = writeToSegment(record, t);
    if (status == 0)
        status = ret;
    if (ret == 0) {
        m_bVideoSeen = true;
        m_videoHorizon = std::max(m_videoHorizon, t);
    }
    // With closed GOPs a later key frame lies after every frame seen so
    // far, so audio up to the latest video time can no longer be cut off.
    const int released = releaseHeld(m_videoHorizon, Release::UpTo);
    if (status == 0)
        status = released;
    return status;
}

int KxTsCreater::close()
{
    releaseHeld(0, Release::All);
    if (m_bSegmentOpen || m_pMuxer)
        closeSegment(m_currentTime);
    return 0;
}

int KxTsCreater::uninit()
{
    qDebug() << "KxTsCreater::uninit";
    return 0;
}

void KxTsCreater::holdAudio(const KxMuxRecord &record, double t)
{
    if (m_heldCount == m_held.size()) {
        // Grow, keeping the order; happens only while the video lags far.
        std::vector<HeldAudio> grown(std::max<size_t>(m_held.size() * 2, kInitialHeldSlots));
        for (size_t i = 0; i < m_heldCount; ++i)
            grown[i] = std::move(m_held[(m_heldHead + i) % m_held.size()]);
        m_held.swap(grown);
        m_heldHead = 0;
    }
    HeldAudio &slot = m_held[(m_heldHead + m_heldCount) % m_held.size()];
    slot.bytes.assign(record.data, record.data + record.size);
    slot.record = record;
    slot.record.data = slot.bytes.data();
    slot.t = t;
    ++m_heldCount;
}

int KxTsCreater::releaseHeld(double limit, Release how)
{
    int status = 0;
    while (m_heldCount > 0) {
        HeldAudio &oldest = m_held[m_heldHead];
        if ((how == Release::Before && oldest.t >= limit)
            || ((how == Release::UpTo || how == Release::UpToAndCut) && oldest.t > limit))
            break;
        const int ret = writeAudioNow(oldest.record, oldest.t, how == Release::UpToAndCut);
        if (status == 0)
            status = ret;
        m_heldHead = (m_heldHead + 1) % m_held.size();
        --m_heldCount;
    }
    return status;
}

int KxTsCreater::writeAudioNow(const KxMuxRecord &record, double t, bool mayCut)
{
    if (mayCut && m_bSegmentOpen && (t - m_segmentStart) / 1000000.0 >= m_iSegmentLength + 1.0)
        closeSegment(t);
    return writeToSegment(record, t);
}

int KxTsCreater::writeToSegment(const KxMuxRecord &record, double t)
{
    if (!m_bSegmentOpen) {
        m_segmentStart = t;
        m_currentTime = t;
        m_bSegmentOpen = true;
    }
    if (!m_pMuxer) {
        if (!m_retry.due())
            return m_retry.lastStatus();
        std::unique_ptr<KxMuxer> muxer(new KxMuxer(m_params, m_streams));
        const std::string name = segmentName(m_stem, m_iCounter);
        // Retried once a second; log the first failure and then one a minute.
        const bool log = m_retry.failures() % 60 == 0;
        muxer->setLogOpenFailures(log);
        const int ret = muxer->open(name.c_str(), "mpegts",
                                    {{"output_ts_offset", kTimelineOffset}, {"avoid_negative_ts", "disabled"}});
        if (ret != 0) {
            if (log)
                qWarning() << "KxTsCreater::write" << "cannot open segment" << QString::fromStdString(name)
                           << "status" << ret << "attempts" << m_retry.failures() + 1;
            m_retry.failed(ret);
            return ret;
        }
        if (m_retry.failures() > 0)
            qWarning() << "KxTsCreater::write" << "opened" << QString::fromStdString(name) << "after"
                       << m_retry.failures() << "failed attempts";
        m_retry.reset();
        m_pMuxer = std::move(muxer);
        m_segmentName = name;
        ++m_iCounter;
    }
    const int ret = m_pMuxer->write(&record);
    if (ret == 0) {
        // The segment spans its packets' times; the first packet pushed
        // need not be the earliest (audio comes before the first video).
        m_segmentStart = std::min(m_segmentStart, t);
        m_currentTime = std::max(m_currentTime, t);
    }
    return ret;
}

void KxTsCreater::closeSegment(double endTime)
{
    m_bSegmentOpen = false;
    if (!m_pMuxer)
        return;
    m_pMuxer->close();
    const bool failed = m_pMuxer->failed();
    m_pMuxer.reset();
    // Pictures that come late (the encoder fell behind by more than the
    // sound is held) land in a segment that the sound has already cut, with
    // times before its start. A segment's duration still begins where the
    // previous one ended, so that the playlist's durations add up to the
    // recording instead of counting the overlap twice.
    const double start = m_previousEnd >= 0 ? std::max(m_segmentStart, m_previousEnd) : m_segmentStart;
    const double end = std::max(endTime, start);
    m_previousEnd = end;
    const double duration = (end - start) / 1000000.0;
    qDebug() << "KxTsCreater::close" << QString::fromStdString(m_segmentName) << duration;
    // An incomplete segment must not be handed on as a finished one.
    if (failed) {
        qWarning() << "KxTsCreater::close" << QString::fromStdString(m_segmentName)
                   << "is incomplete (writing failed); not reported";
        return;
    }
    if (m_pCallback)
        m_pCallback->onFile(KX_WRITER_TS, m_segmentName.c_str(), duration);
}

void KxTsCreater::dropSegment()
{
    if (m_pMuxer) {
        m_pMuxer->close();
        m_pMuxer.reset();
    }
    m_bSegmentOpen = false;
}

} // namespace KxFileModule
