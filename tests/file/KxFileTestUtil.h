#pragma once
// Helpers shared by the file writer tests: feeding test media through real
// media packets, recording writer reports, and per-test folders.

#include "IKxMediaPacket.h"
#include "IKxToLocalFile.h"
#include "KxTestMedia.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kxtest {

/// One packet of the real packet type, reused for every write.
class PacketFeeder {
public:
    PacketFeeder() : m_packet(createMediaPacket()) {}
    ~PacketFeeder() { m_packet->release(); }
    IKxMediaPacket *make(const MediaPacket &m)
    {
        fillPacket(m_packet, m);
        return m_packet;
    }

private:
    IKxMediaPacket *m_packet;
};

struct FileReport {
    int kind;
    std::string path;
    double duration;
};

/// Records what a writer reports.
class RecordingCallback : public KxFileModule::KxToFileCbk {
public:
    void onStart(int kind) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        starts.push_back(kind);
    }
    void onFile(int kind, const char *path, double duration) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        files.push_back({kind, path ? path : "", duration});
    }
    void onBroken(int kind, const char *path, const char *reason) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        broken.push_back({kind, path ? path : "", reason ? reason : ""});
    }
    struct BrokenReport {
        int kind;
        std::string path;
        std::string reason;
    };
    std::vector<int> starts;
    std::vector<FileReport> files;
    std::vector<BrokenReport> broken;

private:
    std::mutex m_mutex;
};

/// A fresh folder per test, removed afterwards.
inline std::string makeTestDir(QTemporaryDir &dir)
{
    EXPECT_TRUE(dir.isValid());
    if (qEnvironmentVariableIsSet("KX_TEST_KEEP_FILES")) {
        dir.setAutoRemove(false);
        fprintf(stderr, "test files kept in %s\n", qPrintable(dir.path()));
    }
    return dir.path().toStdString();
}

/// Cached media, encoded once per test program (encoding is the slow part).
struct Recording {
    std::vector<MediaPacket> video;
    std::vector<MediaPacket> audio;
    std::vector<MediaPacket> merged;  ///< push order
};

inline const Recording &cachedRecording(int seconds, const VideoSetup &vs, bool withAudio = true, bool withVideo = true)
{
    struct Entry {
        int seconds, w, h, fps, gop;
        bool a, v;
        std::unique_ptr<Recording> rec;
    };
    static std::vector<Entry> cache;
    for (const Entry &e : cache)
        if (e.seconds == seconds && e.w == vs.width && e.h == vs.height && e.fps == vs.fps && e.gop == vs.gop
            && e.a == withAudio && e.v == withVideo)
            return *e.rec;
    std::unique_ptr<Recording> rec(new Recording);
    if (withVideo)
        rec->video = encodeVideo(vs, seconds * vs.fps);
    if (withAudio)
        rec->audio = encodeAudio(AudioSetup(), seconds);
    rec->merged = mergeByArrival(rec->audio, rec->video);
    cache.push_back({seconds, vs.width, vs.height, vs.fps, vs.gop, withAudio, withVideo, std::move(rec)});
    return *cache.back().rec;
}

inline KxFileModule::KxWriterParams defaultParams(const VideoSetup &vs = VideoSetup())
{
    KxFileModule::KxWriterParams p;
    p.videoCodecId = 27;
    p.videoBitRate = static_cast<int64_t>(vs.bitrateKbps) * 1000;
    p.frameRate = vs.fps;
    p.timeBaseNum = 1;
    p.width = vs.width;
    p.height = vs.height;
    p.gopSize = vs.gop;
    p.pixelFormat = 0;
    p.audioCodecId = 86018;
    p.audioBitRate = 64000;
    p.sampleRate = 44100;
    p.channels = 2;
    return p;
}

/// Types of the top-level boxes of an MP4 file in file order, the first as
/// "ftyp:<major brand>" (32-bit box sizes: the test files are small).
inline std::vector<std::string> topLevelBoxes(const std::string &path)
{
    std::vector<std::string> boxes;
    FILE *f = std::fopen(path.c_str(), "rb");
    unsigned char h[12];
    for (long pos = 0; f && std::fseek(f, pos, SEEK_SET) == 0 && std::fread(h, 1, 12, f) >= 8;) {
        const long size = long(h[0]) << 24 | h[1] << 16 | h[2] << 8 | h[3];
        const std::string type(reinterpret_cast<char *>(h + 4), 4);
        boxes.push_back(type == "ftyp" ? type + ":" + std::string(reinterpret_cast<char *>(h + 8), 4) : type);
        if (size < 8)
            break;
        pos += size;
    }
    if (f)
        std::fclose(f);
    return boxes;
}

} // namespace kxtest
