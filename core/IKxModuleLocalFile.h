#pragma once
// Contract of the local file module: writes every audio and video packet of
// a recording into the MP4 file and into numbered TS segments. Operations
// other than inputMediaPacket run on the commander's thread;
// inputMediaPacket runs on the pool's output thread.

#include <cstdint>
#include <string>

class IKxMediaPacket;
class IKxModuleClound;

/// Configuration of one recording's files. Zero means "the default" where a
/// default is given.
struct KxLocalFileConfig {
    std::string mp4Path;        ///< UTF-8
    std::string playlistPath;   ///< UTF-8; up to and including its last '.' is the segment stem
    int32_t segmentLength = 0;  ///< seconds (the TS writer raises values below 2 to 2)
    int32_t videoCodecId = 0;   ///< FFmpeg codec id; default 27 (H.264)
    int64_t videoBitRate = 0;   ///< bit/s; default 2000000
    int32_t frameRate = 0;      ///< fps, the video time base denominator; default 15
    int32_t timeBaseNum = 0;    ///< default 1
    int32_t width = 0;          ///< default 1280
    int32_t height = 0;         ///< default 720
    int32_t gopSize = 0;        ///< frames; default 6
    int32_t pixelFormat = 0;    ///< FFmpeg pixel format (0 is planar YUV 4:2:0)
    int32_t audioCodecId = 0;   ///< default 86018 (AAC)
    int64_t audioBitRate = 0;   ///< default 64000
    int32_t sampleRate = 0;     ///< default 44100
    int32_t channels = 0;       ///< default 2
};

/// Start and stop notifications of the local file module, called on the
/// thread that opened or closed the file.
class KxToLocalFileCbk {
public:
    virtual ~KxToLocalFileCbk() = default;
    /// The MP4 file has been opened.
    virtual void OnStart() = 0;
    /// The MP4 file has been closed; path in UTF-8, duration in seconds.
    virtual void OnStoped(const char *path, double duration) = 0;
    /// The MP4 file could not be written whole (path UTF-8, reason in English); called
    /// instead of OnStoped, on the thread that closed the file.
    virtual void OnBroken(const char *path, const char *reason) { (void)path; (void)reason; }
};

class IKxModuleLocalFile {
public:
    virtual ~IKxModuleLocalFile() = default;
    virtual int init() = 0;
    /// Receiver of finished HLS segments (not owned).
    virtual int setCloundModule(IKxModuleClound *cloud) = 0;
    virtual void registerCallback(KxToLocalFileCbk *callback) = 0;
    /// Creates the MP4 and TS writers (their files open at the first
    /// packet): 0, 2 a writer was not created, 3 a writer failed to initialise.
    virtual int start(const KxLocalFileConfig &config) = 0;
    /// Writes one audio or video packet to both writers: 0 written,
    /// 2 no writers open, 3 a writer failed. The packet stays the caller's.
    virtual uint8_t inputMediaPacket(IKxMediaPacket *packet) = 0;
    /// Closes and deletes both writers: 0, or 2 when not started.
    virtual int stop() = 0;
    /// Runs stop; OK.
    virtual int destory() = 0;

    static IKxModuleLocalFile *createInstance();
};
