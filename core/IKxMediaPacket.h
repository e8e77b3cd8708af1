#pragma once
// One unit of media (an encoded H.264 access unit, an AAC access unit, or a
// raw camera frame taken as a snapshot) with the description the writers
// need. Packets are created once by the packet pool and circulate; they are
// never created per frame. A packet has no lock: it belongs to one thread at
// a time (see KxModulePoolMgr).

#include <cstdint>

/// Packet types.
enum KxPacketType : int32_t {
    KX_PACKET_AUDIO = 0,
    KX_PACKET_VIDEO = 1,
    KX_PACKET_PHOTO = 2,
};

/// Description of a video or photo packet; copied as a whole.
struct KxVideoInfo {
    bool bKeyFrame = false;   ///< encoder's key-frame flag; false for photos
    int32_t width = 0;        ///< pixels
    int32_t height = 0;       ///< pixels
    int32_t frameRate = 0;    ///< encoder frame rate + 0.01, truncated; 0 for photos
    int32_t unit = 0;         ///< constant 1 set by the encoder; 0 for photos
    int64_t dts = 0;
    int64_t pts = 0;
    int32_t timeBase = 0;     ///< ticks per second of dts/pts (1000 from the camera); 0 for photos
};

/// Description of an audio packet; copied as a whole.
struct KxAudioInfo {
    int32_t channels = 2;
    int32_t bitRate = 64000;    ///< bit/s
    int32_t sampleRate = 44100; ///< Hz
    /// Samples on the recording clock: the audio module stamps with time base
    /// = sampleRate, so that every access unit lasts exactly its frame.
    int64_t dts = 0;
    int64_t pts = 0;
    int32_t timeBase = 1000;    ///< ticks per second of dts/pts
};

class IKxMediaPacket {
public:
    /// Frees the payload allocation.
    virtual ~IKxMediaPacket() = default;
    /// Ensures a payload capacity of size bytes: -1 for size <= 0 or a
    /// failed allocation (nothing changes), 1 when the capacity already
    /// suffices (length kept), 0 after reallocating (length 0).
    virtual int alloc(int size) = 0;
    virtual int setType(int type) = 0;
    virtual int getType() = 0;
    /// Data start + start offset; null before the first alloc.
    virtual uint8_t *getData() = 0;
    virtual int getSize() = 0;
    /// Sets the payload length; -1 (nothing changes) when it does not fit
    /// the capacity.
    virtual int setSize(int size) = 0;
    virtual int reserved7(void *, void *) = 0;
    /// Copies len bytes to getData() and sets the length. -1 (nothing
    /// copied) for a null source, a negative length, or a length beyond the
    /// capacity allocated with alloc().
    virtual int setData(const void *src, int len) = 0;
    /// Start offset 0, length 0; capacity and storage kept.
    virtual int reset() = 0;
    /// Destroys the packet. Only the pool manager calls it.
    virtual int release() = 0;
    virtual bool isPhoto() = 0;
    virtual bool getVideoInfo(KxVideoInfo *out) = 0;
    virtual bool getAudioInfo(KxAudioInfo *out) = 0;
    virtual int setVideoInfo(const KxVideoInfo *info) = 0;
    virtual int setAudioInfo(const KxAudioInfo *info) = 0;
    /// The video description's dts and pts; either pointer may be null.
    virtual bool getTimeStamp(int64_t *dts, int64_t *pts) = 0;
    virtual int setTimeStamp(const int64_t *dts, const int64_t *pts) = 0;
    virtual bool reserved18(void *, void *) = 0;
    virtual void reserved19(void *, void *) = 0;
};

/// Creates an empty packet (type 0, no payload storage). Called only by the
/// packet pool manager; the caller owns the packet and frees it with
/// release().
IKxMediaPacket *createMediaPacket();
