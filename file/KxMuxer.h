#pragma once
// A small wrapper around libavformat: one output file of a given container
// format with one audio stream (index 0) and one video stream (index 1),
// into which already-encoded packets are written with their time stamps
// rescaled to the container. No encoding happens here.
//
// Threads: no lock; the owner serialises every call.

#include "IKxToLocalFile.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace KxFileModule {

/// Status codes of KxMuxer.
enum KxMuxStatus : int32_t {
    KX_MUX_OK = 0,
    KX_MUX_EMPTY_PACKET = 1,          ///< no data or size below 1; ignored
    KX_MUX_NO_IMPL = 2,               ///< the wrapper has no implementation record
    KX_MUX_ALLOC_CONTEXT = 0x10001,   ///< allocating the output context failed
    KX_MUX_OPEN_FILE = 0x10003,       ///< opening the file for writing failed
    KX_MUX_WRITE_HEADER = 0x10004,    ///< writing the header failed
    KX_MUX_WRITE_PACKET = 0x10006,    ///< writing a packet failed, or the packet was refused
    KX_MUX_NO_ENCODER = 0x10007,      ///< adding a stream: no encoder for the codec
    KX_MUX_NO_CODEC_CONTEXT = 0x10008,///< adding a stream: no codec context
    KX_MUX_OPEN_ENCODER = 0x10009,    ///< adding a stream: the encoder did not open
};

/// Stream selectors of KxMuxRecord.
enum KxMuxStreamSelector : int32_t {
    KX_MUX_VIDEO = 0,
    KX_MUX_AUDIO = 1,
};

/// One packet handed to KxMuxer::write; the data stays the caller's.
struct KxMuxRecord {
    int32_t stream = KX_MUX_VIDEO;   ///< 0 video, 1 audio; other values write nothing
    const uint8_t *data = nullptr;
    int32_t size = 0;
    int64_t pts = 0;
    int64_t dts = 0;
    int32_t key = 0;                 ///< key-frame flag
    int32_t timeBaseNum = 1;         ///< time base of pts/dts: num/den seconds per tick
    int32_t timeBaseDen = 1000;
};

class KxMuxer {
public:
    explicit KxMuxer(const KxWriterParams &params);
    /// Closes the file as close() does.
    ~KxMuxer();
    KxMuxer(const KxMuxer &) = delete;
    KxMuxer &operator=(const KxMuxer &) = delete;

    /// Opens path (UTF-8) as a file of the given container format ("mp4",
    /// "mpegts") with its two streams and writes the header; options go to
    /// the header write unchanged. An open file is closed first.
    /// KX_MUX_OK, KX_MUX_ALLOC_CONTEXT, KX_MUX_OPEN_FILE or
    /// KX_MUX_WRITE_HEADER; on failure the muxer stays closed.
    int open(const char *path, const char *format,
             const std::map<std::string, std::string> &options);

    /// Writes one packet (the bytes are copied). KX_MUX_OK when written or
    /// when the selector names no stream; KX_MUX_EMPTY_PACKET;
    /// KX_MUX_WRITE_PACKET when the container failed, when nothing is
    /// open, or when the packet was refused because its time stamps would
    /// go backwards or repeat within its stream, or its pts lies before its
    /// dts (such a packet is logged and dropped; the file goes on), and for
    /// every packet once the file failed (see failed()).
    int write(const KxMuxRecord *record);

    /// Writes the trailer and closes the file if one is open; 0.
    int close();

    /// Whether open() logs its failures (on by default). Writers that retry
    /// the open for every packet log only some of the attempts.
    void setLogOpenFailures(bool on);

    bool isOpen() const;
    /// True when a packet write, the header or the trailer of the current
    /// (or last closed) file failed at the container or file level: the
    /// file is incomplete. Refused packets do not count.
    bool failed() const;
    /// Packets refused for their time stamps since open.
    int refusedPackets() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace KxFileModule
