#include "KxMediaPacket.h"

#include <cstring>

IKxMediaPacket *createMediaPacket()
{
    return new KxMediaPacket();
}

int KxMediaPacket::alloc(int size)
{
    return m_buffer.ensureCapacity(size);
}

int KxMediaPacket::setType(int type)
{
    m_iType = type;
    return 0;
}

uint8_t *KxMediaPacket::getData()
{
    uint8_t *start = m_buffer.dataStart();
    return start ? start + m_buffer.startOffset() : nullptr;
}

int KxMediaPacket::setSize(int size)
{
    return m_buffer.setLength(size) ? 0 : -1;
}

int KxMediaPacket::setData(const void *src, int len)
{
    if (!src || len < 0 || len > m_buffer.capacity() - m_buffer.startOffset())
        return -1;
    if (len > 0)
        std::memcpy(getData(), src, size_t(len));
    return setSize(len);
}

int KxMediaPacket::reset()
{
    m_buffer.setStartOffset(0);
    m_buffer.setLength(0);
    return 0;
}

int KxMediaPacket::release()
{
    delete this;
    return 0;
}

bool KxMediaPacket::getVideoInfo(KxVideoInfo *out)
{
    if (!out)
        return false;
    *out = m_videoInfo;
    return true;
}

bool KxMediaPacket::getAudioInfo(KxAudioInfo *out)
{
    if (!out)
        return false;
    *out = m_audioInfo;
    return true;
}

int KxMediaPacket::setVideoInfo(const KxVideoInfo *info)
{
    if (!info)
        return -1;
    m_videoInfo = *info;
    return 0;
}

int KxMediaPacket::setAudioInfo(const KxAudioInfo *info)
{
    if (!info)
        return -1;
    m_audioInfo = *info;
    return 0;
}

bool KxMediaPacket::getTimeStamp(int64_t *dts, int64_t *pts)
{
    if (dts)
        *dts = m_videoInfo.dts;
    if (pts)
        *pts = m_videoInfo.pts;
    return true;
}

int KxMediaPacket::setTimeStamp(const int64_t *dts, const int64_t *pts)
{
    if (dts)
        m_videoInfo.dts = *dts;
    if (pts)
        m_videoInfo.pts = *pts;
    return 0;
}
