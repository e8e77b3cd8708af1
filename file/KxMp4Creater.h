#pragma once
// The MP4 writer: writes the whole recording into one MP4 file, opened at
// the first packet and finished by close(), and reports the opening
// (onStart) and the closing with the recording's duration (onFile).
//
// While recording the file is fragmented MP4 (a fragment at each video key
// frame, marked unfinished, made durable every few seconds on a helper
// thread; see KxMp4Recovery.h), so that a crash loses at most the last
// fragment; close() rewrites it into a regular MP4 file.
//
// Threads: write() on the packet pool's output thread, the other operations
// on the commander's thread, serialised by the local file module's mutex.

#include "IKxToLocalFile.h"
#include "KxMuxer.h"

#include <memory>

namespace KxFileModule {

class KxDurableFile;

/// Builds the muxer record of an audio or video packet; false for a packet
/// that carries nothing to write (null, empty, another type). t receives
/// the packet's presentation time in microseconds.
bool kxRecordFromPacket(IKxMediaPacket *packet, KxMuxRecord *record, double *t);

class KxMp4Creater final : public IKxToLocalFile {
public:
    KxMp4Creater();
    ~KxMp4Creater() override;

    int kind() override { return KX_WRITER_MP4; }
    int init(const KxWriterConfig &config) override;
    int start() override;
    /// 0 once the file is open (a packet the container refuses is logged
    /// and skipped); 1 for a packet with nothing to write; the muxer's open
    /// status when the file cannot be opened (tried again at most once a
    /// second; the packets in between get the same status);
    /// KX_MUX_WRITE_PACKET for every packet once writing the file failed.
    int write(IKxMediaPacket *packet) override;
    /// Finishes the file, rewrites it into a regular MP4 file (when that
    /// fails the fragmented file stays, logged; it plays) and reports
    /// onFile(1, path, seconds from the earliest to the latest packet time
    /// written), or onBroken(1, path,
    /// reason) when the file could not be written whole; nothing when no
    /// file is open. 0.
    int close() override;
    int uninit() override;

private:
    std::unique_ptr<KxMuxer> m_pMuxer;
    std::unique_ptr<KxDurableFile> m_pDurable;  ///< while the file is open
    std::string m_path;
    int m_iSegmentLength = 0;
    KxWriterParams m_params;
    std::shared_ptr<const KxStreamSetup> m_streams;
    bool m_bHaveFirst = false;
    double m_firstTime = 0;  ///< microseconds
    double m_lastTime = 0;   ///< microseconds
    double m_lastFlushTime = 0;  ///< microseconds, packet time of the last flush
    KxRetryPacer m_retry;
};

} // namespace KxFileModule
