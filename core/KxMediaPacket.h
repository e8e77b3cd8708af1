#pragma once

#include "CQueBuf.h"
#include "IKxMediaPacket.h"

class KxMediaPacket final : public IKxMediaPacket {
public:
    KxMediaPacket() = default;
    ~KxMediaPacket() override = default;

    int alloc(int size) override;
    int setType(int type) override;
    int getType() override { return m_iType; }
    uint8_t *getData() override;
    int getSize() override { return m_buffer.length(); }
    int setSize(int size) override;
    int reserved7(void *, void *) override { return 0; }
    int setData(const void *src, int len) override;
    int reset() override;
    int release() override;
    bool isPhoto() override { return m_iType == KX_PACKET_PHOTO; }
    bool getVideoInfo(KxVideoInfo *out) override;
    bool getAudioInfo(KxAudioInfo *out) override;
    int setVideoInfo(const KxVideoInfo *info) override;
    int setAudioInfo(const KxAudioInfo *info) override;
    bool getTimeStamp(int64_t *dts, int64_t *pts) override;
    int setTimeStamp(const int64_t *dts, const int64_t *pts) override;
    bool reserved18(void *, void *) override { return false; }
    void reserved19(void *, void *) override {}

    /// Gives the payload block back; the next alloc makes a new one.
    void releasePayload() { m_buffer.release(); }

private:
    int32_t m_iType = KX_PACKET_AUDIO;
    KxVideoInfo m_videoInfo;
    KxAudioInfo m_audioInfo;
    CQueBuf m_buffer{0};
};
