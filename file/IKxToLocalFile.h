#pragma once
// The contract between the local file module and its two file writers (the
// MP4 writer and the TS segment writer): the stream parameters and the
// configuration handed to every writer, the writer interface, the callback
// through which writers report opened and finished files, and the factory.
//
// Threads: a writer has no lock of its own. write() is called on the packet
// pool's output thread, every other operation on the commander's thread,
// always under the local file module's mutex. Callbacks are made on the
// thread of the operation that causes them.

#include <cstdint>
#include <memory>
#include <string>

class IKxMediaPacket;

namespace KxFileModule {

class KxStreamSetup;

/// Stream parameters shared by both writers (zero fields are replaced by
/// defaults before a writer sees them).
struct KxWriterParams {
    int32_t videoCodecId = 0;   ///< FFmpeg codec id (27, H.264)
    int64_t videoBitRate = 0;   ///< bit/s
    int32_t frameRate = 0;      ///< frames per second; denominator of the video time base
    int32_t timeBaseNum = 0;    ///< numerator of the video time base (1)
    int32_t width = 0;          ///< pixels
    int32_t height = 0;         ///< pixels
    int32_t gopSize = 0;        ///< frames
    int32_t pixelFormat = 0;    ///< FFmpeg pixel format (0, planar YUV 4:2:0)
    int32_t audioCodecId = 0;   ///< FFmpeg codec id (86018, AAC)
    int64_t audioBitRate = 0;   ///< bit/s
    int32_t sampleRate = 0;     ///< Hz
    int32_t channels = 0;
};

/// What one writer is initialised with.
struct KxWriterConfig {
    std::string path;           ///< UTF-8: the MP4 path, or the playlist path whose stem names the segments
    int32_t segmentLength = 0;  ///< seconds
    KxWriterParams params;
    /// The streams' codec parameters for params, shared by all writers of a
    /// recording; null makes the writer work them out at init.
    std::shared_ptr<const KxStreamSetup> streams;
};

/// Kinds used by writers in their reports.
enum KxWriterKind : int {
    KX_WRITER_SEGMENT = 0,  ///< also accepted as a finished segment by the module
    KX_WRITER_MP4 = 1,
    KX_WRITER_TS = 2,
};

/// Reports of a writer, made on the thread of the operation that causes them.
class KxToFileCbk {
public:
    virtual ~KxToFileCbk() = default;
    /// The writer opened its output (kind of the writer).
    virtual void onStart(int kind) = 0;
    /// The writer finished a file: path in UTF-8, duration in seconds.
    virtual void onFile(int kind, const char *path, double duration) = 0;
    /// The writer could not write its file whole (disk full, file size
    /// limit, write error, trailer failed); made instead of onFile. Reason
    /// in English.
    virtual void onBroken(int kind, const char *path, const char *reason)
    {
        (void)kind;
        (void)path;
        (void)reason;
    }
};

/// One file writer; lives for one recording:
/// factory → init → setCallback → start → write* → close → uninit → delete.
class IKxToLocalFile {
public:
    /// Finishes what is open without reporting it.
    virtual ~IKxToLocalFile() = default;
    /// KX_WRITER_MP4 or KX_WRITER_TS.
    virtual int kind() = 0;
    /// Stores path, segment length and parameters; 0.
    virtual int init(const KxWriterConfig &config) = 0;
    /// Resets the writer's state for a new recording; 0.
    virtual int start() = 0;
    /// Writes one audio or video packet; the output is opened on the first
    /// packet. The packet stays the caller's. 0 when written (or accepted
    /// for writing); 1 for a packet that carries nothing to write (null,
    /// empty, or neither audio nor video), which changes nothing; otherwise
    /// a muxer status (see KxMuxer.h).
    virtual int write(IKxMediaPacket *packet) = 0;
    /// Finishes the current output file and reports it through the
    /// callback; does nothing when no file is open. 0.
    virtual int close() = 0;
    /// Last clean-up before deletion; 0.
    virtual int uninit() = 0;

    /// The callback is not owned; null until the module sets it.
    void setCallback(KxToFileCbk *callback) { m_pCallback = callback; }
    KxToFileCbk *callback() const { return m_pCallback; }

protected:
    KxToFileCbk *m_pCallback = nullptr;
};

/// Factory numbers.
enum KxWriterNumber : int {
    KX_CREATE_TS_WRITER = 0,
    KX_CREATE_MP4_WRITER = 1,
};

/// Creates a writer: 0 the TS segment writer, 1 the MP4 writer, any other
/// number null. The caller owns the writer and deletes it.
IKxToLocalFile *createFileWriter(int number);

} // namespace KxFileModule
