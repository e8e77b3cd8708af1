#pragma once
// Real encoded media for tests, and read-back of written files.
//
// Encoding: I420 pattern frames through libx264 set up as the camera's
// encoder sets it up (time base 1/fps, bit rate, GOP, YUV 4:2:0, thread
// count 4, slice threading, library defaults otherwise, B-frames included),
// and a sine tone through FFmpeg's native "aac" encoder set up as the audio
// capture library sets it up (planar float, global header, 1024-sample
// frames). Packets carry the time stamps the recorder uses: video in frame
// periods (time base = frame rate), audio in samples (time base = sample
// rate, one frame apart from 0), plus the clock time at which each would
// reach the packet pool.
//
// Read-back: opens a file with libavformat, lists its streams and packets,
// decodes every packet and counts frames, samples and decoder errors.

#include <cstdint>
#include <string>
#include <vector>

class IKxMediaPacket;

namespace kxtest {

struct MediaPacket {
    int type = 0;              ///< 0 audio, 1 video (KxPacketType)
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t dts = 0;
    bool key = false;
    int timeBase = 1000;       ///< ticks per second of pts/dts
    int frameRate = 0;         ///< video: rounded frame rate
    int unit = 1;              ///< video: the encoder's constant 1
    int width = 0, height = 0;
    int64_t arrivalMs = 0;     ///< clock time at which the packet reaches the pool
};

struct VideoSetup {
    int width = 320;
    int height = 240;
    int fps = 15;
    int bitrateKbps = 2000;
    int gop = 12;
    bool noisy = false;  ///< add grain so that the encoder reaches its bit rate
};

/// Encodes frames pattern frames (frame i fed at clock time i / fps s) and
/// drains the encoder; packets in the encoder's output order (drained
/// packets arrive 1 ms apart after the last frame).
std::vector<MediaPacket> encodeVideo(const VideoSetup &setup, int frames);

struct AudioSetup {
    int sampleRate = 44100;
    int channels = 2;
    int bitRate = 64000;
    double toneHz = 440.0;
    int blockMs = 10;          ///< capture block length: packets are stamped on this grid
    const char *encoder = "aac"; ///< an FFmpeg encoder taking planar float
};

/// Encodes seconds of a sine tone; each access unit is one packet, stamped
/// with its sample position and arriving at the clock time of the capture
/// block that completed it.
/// asc, when given, receives the encoder's AudioSpecificConfig.
std::vector<MediaPacket> encodeAudio(const AudioSetup &setup, double seconds,
                                     std::vector<uint8_t> *asc = nullptr);

/// Merges two packet lists in arrival order (stable; a before b on ties).
std::vector<MediaPacket> mergeByArrival(const std::vector<MediaPacket> &a,
                                        const std::vector<MediaPacket> &b);

/// Fills a pool packet the way the recorder's producers do.
void fillPacket(IKxMediaPacket *packet, const MediaPacket &media);

/// SPS and PPS NAL units (without start codes) of an Annex B buffer.
std::vector<std::vector<uint8_t>> annexBParameterSets(const uint8_t *data, int size);
/// SPS and PPS NAL units of an avcC record (or of Annex B extradata).
std::vector<std::vector<uint8_t>> extradataParameterSets(const std::vector<uint8_t> &extradata);

struct ProbedStream {
    int mediaType = -1;        ///< AVMediaType
    int codecId = 0;           ///< AVCodecID
    std::vector<uint8_t> extradata;
    int sampleRate = 0;
    int channels = 0;
    int width = 0, height = 0;
    int64_t decodedFrames = 0; ///< video frames, or audio frames
    int64_t decodedSamples = 0;
};

struct ProbedPacket {
    int stream = 0;
    double pts = 0;            ///< seconds
    double dts = 0;            ///< seconds
    double duration = 0;       ///< seconds
    bool key = false;
    int size = 0;
    std::vector<uint8_t> data; ///< kept for video only when asked
};

struct ProbeResult {
    bool opened = false;
    std::string error;
    std::vector<ProbedStream> streams;
    std::vector<ProbedPacket> packets;   ///< in file order
    int decodeErrors = 0;                ///< failed decoder calls plus errors the libraries logged
    double startTime = 0;                ///< seconds
};

/// Reads a file back. decode: decode every packet; keepVideoData: keep the
/// bytes of video packets.
ProbeResult probeFile(const std::string &path, bool decode = true, bool keepVideoData = false);

/// Runs a shell command (bounded by `timeout`), returns its exit status and
/// its combined output.
int runCommand(const std::string &command, std::string *output, int timeoutSeconds = 60);

/// Length in seconds of a finished MP4 file as ffprobe reads it; -1 when the
/// file is missing, unreadable, or still the fragmented file of a recording
/// (marked by its major brand; finalising writes a regular "isom" file).
double regularMp4Seconds(const std::string &path);

} // namespace kxtest
