// KxMuxer: open failures, packet statuses, refused time stamps, and stream
// parameters that agree with what the real encoders produce.

#include "KxFileTestUtil.h"
#include "KxMuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

using namespace KxFileModule;
using namespace kxtest;

namespace {

KxMuxRecord recordOf(const MediaPacket &m)
{
    KxMuxRecord r;
    r.stream = m.type == 0 ? KX_MUX_AUDIO : KX_MUX_VIDEO;
    r.data = m.data.data();
    r.size = static_cast<int32_t>(m.data.size());
    r.pts = m.pts;
    r.dts = m.dts;
    r.key = m.key ? 1 : 0;
    r.timeBaseNum = 1;
    r.timeBaseDen = m.timeBase;
    return r;
}

struct OpenCase {
    const char *name;
    const char *format;
    const char *file;   ///< relative to the test folder
    int audioCodec;
    int expected;
};

class KxMuxerOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(KxMuxerOpen, ReturnsStatusAndStaysClosed)
{
    const OpenCase &c = GetParam();
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/" + c.file;
    KxWriterParams p = defaultParams();
    p.audioCodecId = c.audioCodec;
    KxMuxer muxer(p);
    EXPECT_EQ(muxer.open(path.c_str(), c.format, {}), c.expected);
    EXPECT_EQ(muxer.isOpen(), c.expected == KX_MUX_OK);
    const uint8_t byte = 0;
    KxMuxRecord r;
    r.stream = KX_MUX_AUDIO;
    r.data = &byte;
    r.size = 1;
    if (c.expected != KX_MUX_OK) {
        EXPECT_EQ(muxer.write(&r), KX_MUX_WRITE_PACKET) << "a closed muxer must not report a write as done";
    }
    EXPECT_EQ(muxer.close(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KxMuxerOpen,
    ::testing::Values(OpenCase{"Mp4", "mp4", "a.mp4", AV_CODEC_ID_AAC, KX_MUX_OK},
                      OpenCase{"Ts", "mpegts", "a.ts", AV_CODEC_ID_AAC, KX_MUX_OK},
                      OpenCase{"UnknownFormat", "no-such-format", "a.bin", AV_CODEC_ID_AAC, KX_MUX_ALLOC_CONTEXT},
                      OpenCase{"MissingFolder", "mp4", "missing/a.mp4", AV_CODEC_ID_AAC, KX_MUX_OPEN_FILE},
                      OpenCase{"CodecTheContainerRefuses", "mp4", "b.mp4", AV_CODEC_ID_WMAV2, KX_MUX_WRITE_HEADER}),
    [](const ::testing::TestParamInfo<OpenCase> &i) { return std::string(i.param.name); });

TEST(KxMuxer, PacketStatuses)
{
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/s.ts";
    KxMuxer muxer(defaultParams());
    ASSERT_EQ(muxer.open(path.c_str(), "mpegts", {}), KX_MUX_OK);
    const auto audio = encodeAudio(AudioSetup(), 0.2);
    ASSERT_GE(audio.size(), 4u);
    KxMuxRecord r = recordOf(audio[0]);
    r.size = 0;
    EXPECT_EQ(muxer.write(&r), KX_MUX_EMPTY_PACKET);
    r = recordOf(audio[0]);
    r.data = nullptr;
    EXPECT_EQ(muxer.write(&r), KX_MUX_EMPTY_PACKET);
    r = recordOf(audio[0]);
    r.stream = 7;
    EXPECT_EQ(muxer.write(&r), KX_MUX_OK) << "other selectors write nothing";
    r = recordOf(audio[0]);
    r.timeBaseDen = 0;
    EXPECT_EQ(muxer.write(&r), KX_MUX_WRITE_PACKET) << "no time base: refused, not a division by zero";
    for (const auto &m : audio) {
        r = recordOf(m);
        EXPECT_EQ(muxer.write(&r), KX_MUX_OK);
    }
    muxer.close();
    EXPECT_FALSE(muxer.failed());
    const ProbeResult pr = probeFile(path);
    ASSERT_TRUE(pr.opened);
    size_t audioPackets = 0;
    for (const auto &p : pr.packets)
        audioPackets += pr.streams[static_cast<size_t>(p.stream)].mediaType == AVMEDIA_TYPE_AUDIO;
    EXPECT_EQ(audioPackets, audio.size());
    EXPECT_EQ(pr.decodeErrors, 0);
}

// A time stamp that repeats or goes back within a stream is dropped with a
// log line; the packets around it and the file stay intact.
TEST(KxMuxer, RefusesTimestampsThatDoNotAdvance)
{
    for (const char *format : {"mp4", "mpegts"}) {
        SCOPED_TRACE(format);
        QTemporaryDir dir;
        const std::string path = makeTestDir(dir) + "/t." + (std::string(format) == "mp4" ? "mp4" : "ts");
        KxMuxer muxer(defaultParams());
        ASSERT_EQ(muxer.open(path.c_str(), format, {}), KX_MUX_OK);
        const auto audio = encodeAudio(AudioSetup(), 1.0);
        ASSERT_GE(audio.size(), 20u);
        size_t written = 0;
        for (size_t i = 0; i < audio.size(); ++i) {
            KxMuxRecord r = recordOf(audio[i]);
            EXPECT_EQ(muxer.write(&r), KX_MUX_OK);
            ++written;
            if (i == 5 || i == 10) {
                KxMuxRecord again = recordOf(audio[i - (i == 10 ? 3 : 0)]);  // repeat, then backwards
                EXPECT_EQ(muxer.write(&again), KX_MUX_WRITE_PACKET);
            }
        }
        EXPECT_EQ(muxer.refusedPackets(), 2);
        muxer.close();
        EXPECT_FALSE(muxer.failed());
        const ProbeResult pr = probeFile(path);
        ASSERT_TRUE(pr.opened);
        EXPECT_EQ(pr.packets.size(), written);
        EXPECT_EQ(pr.decodeErrors, 0);
        for (size_t i = 1; i < pr.packets.size(); ++i)
            EXPECT_GT(pr.packets[i].dts, pr.packets[i - 1].dts);
    }
}

struct RateCase {
    const char *name;
    int codec;
    int configured;
    int expected;
};

class KxMuxerSampleRate : public ::testing::TestWithParam<RateCase> {};

// The audio stream is described at the rate its encoder really runs at:
// the configured rate when supported, else the closest supported one.
TEST_P(KxMuxerSampleRate, StreamRate)
{
    const RateCase &c = GetParam();
    if (!avcodec_find_encoder(static_cast<AVCodecID>(c.codec)))
        GTEST_SKIP() << "encoder not built into this FFmpeg";
    QTemporaryDir dir;
    const std::string path = makeTestDir(dir) + "/r.mp4";
    KxWriterParams p = defaultParams();
    p.audioCodecId = c.codec;
    p.sampleRate = c.configured;
    KxMuxer muxer(p);
    ASSERT_EQ(muxer.open(path.c_str(), "mp4", {}), KX_MUX_OK);
    // An MP4 track exists only with samples; their content does not matter
    // here, the sample description does.
    AudioSetup as;
    as.encoder = avcodec_find_encoder(static_cast<AVCodecID>(c.codec))->name;
    as.sampleRate = c.expected;
    for (const auto &m : encodeAudio(as, 0.2)) {
        KxMuxRecord r = recordOf(m);
        ASSERT_EQ(muxer.write(&r), KX_MUX_OK);
    }
    muxer.close();
    const ProbeResult pr = probeFile(path, false);
    ASSERT_TRUE(pr.opened);
    ASSERT_EQ(pr.streams.size(), 1u);
    EXPECT_EQ(pr.streams[0].mediaType, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(pr.streams[0].sampleRate, c.expected);
    EXPECT_EQ(pr.streams[0].channels, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KxMuxerSampleRate,
    ::testing::Values(RateCase{"Aac44100", AV_CODEC_ID_AAC, 44100, 44100},
                      RateCase{"Aac48000", AV_CODEC_ID_AAC, 48000, 48000},
                      RateCase{"Aac32000", AV_CODEC_ID_AAC, 32000, 32000},
                      RateCase{"AacUnlisted", AV_CODEC_ID_AAC, 44000, 44100},
                      RateCase{"Ac3Closest", AV_CODEC_ID_AC3, 22050, 32000},
                      RateCase{"Ac3Listed", AV_CODEC_ID_AC3, 44100, 44100}),
    [](const ::testing::TestParamInfo<RateCase> &i) { return std::string(i.param.name); });

// The AudioSpecificConfig written for the audio stream is the one of the
// encoder that produces the packets (native aac as the capture library
// opens it), for the rates and channel counts a recording may use.
TEST(KxMuxer, AudioConfigMatchesTheCaptureEncoder)
{
    struct Case {
        int rate, channels;
    };
    for (const Case c : {Case{44100, 2}, Case{48000, 2}, Case{44100, 1}, Case{22050, 1}}) {
        SCOPED_TRACE(std::to_string(c.rate) + "/" + std::to_string(c.channels));
        AudioSetup as;
        as.sampleRate = c.rate;
        as.channels = c.channels;
        std::vector<uint8_t> asc;
        encodeAudio(as, 0.05, &asc);
        for (const char *format : {"mp4", "mpegts"}) {
            QTemporaryDir dir;
            const std::string path = makeTestDir(dir) + "/c." + (std::string(format) == "mp4" ? "mp4" : "ts");
            KxWriterParams p = defaultParams();
            p.sampleRate = c.rate;
            p.channels = c.channels;
            KxMuxer muxer(p);
            ASSERT_EQ(muxer.open(path.c_str(), format, {}), KX_MUX_OK);
            for (const auto &m : encodeAudio(as, 0.5)) {
                KxMuxRecord r = recordOf(m);
                ASSERT_EQ(muxer.write(&r), KX_MUX_OK);
            }
            muxer.close();
            const ProbeResult pr = probeFile(path);
            ASSERT_TRUE(pr.opened);
            ASSERT_FALSE(pr.streams.empty());
            // MPEG-TS carries the configuration in every ADTS header, which
            // the demuxer does not export as extradata.
            if (std::string(format) == "mp4") {
                EXPECT_EQ(pr.streams[0].extradata, asc);
            }
            EXPECT_EQ(pr.streams[0].sampleRate, c.rate);
            EXPECT_EQ(pr.streams[0].channels, c.channels);
            EXPECT_EQ(pr.decodeErrors, 0);
        }
    }
}

} // namespace
