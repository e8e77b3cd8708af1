#include "KxMuxer.h"

#include <QDebug>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace KxFileModule {

namespace {

constexpr int kDefaultSampleRate = 44100;
constexpr int kDefaultChannels = 2;
constexpr int kDefaultFrameRate = 15;
// The camera encoder runs libx264 with four slice threads; the parameter
// encoder must be set up the same way so that the stream configuration it
// yields describes the packets that actually arrive.
constexpr int kVideoEncoderThreads = 4;

QString avError(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_make_error_string(text, sizeof(text), err);
    return QString::fromUtf8(text);
}

// The rate an encoder will really run at for a requested rate: the
// requested one when the encoder supports it, otherwise the closest rate
// it lists (the first of equally close ones). The audio capture library
// chooses its encoder rate by the same rule, so the stream description
// written here matches its packets.
int chooseSampleRate(const AVCodec *encoder, int wanted)
{
    if (wanted <= 0)
        wanted = kDefaultSampleRate;
    if (!encoder->supported_samplerates)
        return wanted;
    int best = 0;
    long bestDiff = LONG_MAX;
    for (const int *rate = encoder->supported_samplerates; *rate; ++rate) {
        if (*rate == wanted)
            return wanted;
        const long diff = std::labs(static_cast<long>(*rate) - wanted);
        if (diff < bestDiff) {
            bestDiff = diff;
            best = *rate;
        }
    }
    return best > 0 ? best : wanted;
}

// Whether an Annex B buffer carries both a sequence and a picture
// parameter set.
bool hasH264ParameterSets(const uint8_t *data, int size)
{
    bool sps = false, pps = false;
    for (int i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            const int type = data[i + 3] & 0x1f;
            sps = sps || type == 7;
            pps = pps || type == 8;
            i += 2;
        }
    }
    return sps && pps;
}

// Opens the encoder of one stream as the recording's producers set theirs
// up, only to obtain complete stream parameters (codec extradata, profile,
// level); it never encodes.
int openParameterEncoder(const KxWriterParams &params, bool isVideo, AVCodecParameters **out)
{
    const AVCodecID codecId = static_cast<AVCodecID>(isVideo ? params.videoCodecId : params.audioCodecId);
    const AVCodec *encoder = avcodec_find_encoder(codecId);
    if (!encoder) {
        qWarning() << "KxStreamSetup::create" << "no encoder for codec" << codecId;
        return KX_MUX_NO_ENCODER;
    }
    AVCodecContext *cx = avcodec_alloc_context3(encoder);
    if (!cx) {
        qWarning() << "KxStreamSetup::create" << "avcodec_alloc_context3 failed";
        return KX_MUX_NO_CODEC_CONTEXT;
    }
    cx->codec_type = encoder->type;
    cx->codec_id = encoder->id;
    if (isVideo) {
        cx->bit_rate = params.videoBitRate;
        cx->width = params.width;
        cx->height = params.height;
        cx->time_base = AVRational{params.timeBaseNum > 0 ? params.timeBaseNum : 1,
                                   params.frameRate > 0 ? params.frameRate : kDefaultFrameRate};
        cx->gop_size = params.gopSize;
        cx->pix_fmt = static_cast<AVPixelFormat>(params.pixelFormat);
        cx->thread_count = kVideoEncoderThreads;
        cx->thread_type = FF_THREAD_SLICE;
    } else {
        cx->sample_fmt = encoder->sample_fmts ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        cx->bit_rate = params.audioBitRate;
        cx->sample_rate = chooseSampleRate(encoder, params.sampleRate);
        cx->time_base = AVRational{1, cx->sample_rate};
        av_channel_layout_default(&cx->ch_layout, params.channels > 0 ? params.channels : kDefaultChannels);
    }
    // The configuration as a container with global headers (MP4) needs it;
    // containers without (MPEG-TS) drop what they do not use.
    cx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int ret = avcodec_open2(cx, encoder, nullptr);
    if (ret < 0) {
        qWarning() << "KxStreamSetup::create" << "avcodec_open2" << encoder->name << "failed:" << avError(ret);
        avcodec_free_context(&cx);
        return KX_MUX_OPEN_ENCODER;
    }
    AVCodecParameters *par = avcodec_parameters_alloc();
    ret = par ? avcodec_parameters_from_context(par, cx) : AVERROR(ENOMEM);
    avcodec_free_context(&cx);
    if (ret < 0) {
        qWarning() << "KxStreamSetup::create" << "avcodec_parameters_from_context failed:" << avError(ret);
        avcodec_parameters_free(&par);
        return KX_MUX_NO_CODEC_CONTEXT;
    }
    *out = par;
    return KX_MUX_OK;
}

// Exp-Golomb reader over an RBSP (emulation prevention bytes removed).
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    uint32_t bit()
    {
        if (m_pos >= m_bytes.size() * 8) {
            m_overrun = true;
            return 0;
        }
        const uint32_t b = (m_bytes[m_pos / 8] >> (7 - m_pos % 8)) & 1;
        ++m_pos;
        return b;
    }
    uint32_t bits(int n)
    {
        uint32_t v = 0;
        while (n-- > 0)
            v = (v << 1) | bit();
        return v;
    }
    uint32_t ue()
    {
        int zeros = 0;
        while (!bit() && !m_overrun && zeros < 32)
            ++zeros;
        return zeros >= 32 ? 0 : ((1u << zeros) - 1) + bits(zeros);
    }
    int32_t se()
    {
        const uint32_t v = ue();
        return (v & 1) ? int32_t((v + 1) / 2) : -int32_t(v / 2);
    }
    bool overrun() const { return m_overrun; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_overrun = false;
};

bool spsPictureSize(const uint8_t *nal, size_t size, int *width, int *height)
{
    std::vector<uint8_t> rbsp;
    for (size_t i = 1; i < size; ++i) { // after the NAL header
        if (i + 2 < size && nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] == 3) {
            rbsp.push_back(0);
            rbsp.push_back(0);
            i += 2;
            continue;
        }
        rbsp.push_back(nal[i]);
    }
    BitReader r(std::move(rbsp));
    const uint32_t profile = r.bits(8);
    r.bits(16); // constraint flags, level
    r.ue();     // seq_parameter_set_id
    uint32_t chroma = 1;
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83 ||
        profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139 || profile == 134 ||
        profile == 135) {
        chroma = r.ue();
        if (chroma == 3)
            r.bit(); // separate_colour_plane_flag
        r.ue();      // bit depths
        r.ue();
        r.bit(); // qpprime_y_zero_transform_bypass_flag
        if (r.bit()) { // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i) {
                if (!r.bit())
                    continue;
                int last = 8, next = 8;
                for (int j = 0; j < (i < 6 ? 16 : 64) && next != 0; ++j) {
                    next = (last + r.se() + 256) % 256;
                    last = next == 0 ? last : next;
                }
            }
        }
    }
    r.ue(); // log2_max_frame_num_minus4
    const uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.bit();
        r.se();
        r.se();
        const uint32_t cycle = r.ue();
        for (uint32_t i = 0; i < cycle && !r.overrun(); ++i)
            r.se();
    }
    r.ue(); // max_num_ref_frames
    r.bit();
    const uint32_t mbWidth = r.ue() + 1;
    const uint32_t mapHeight = r.ue() + 1;
    const uint32_t frameMbsOnly = r.bit();
    if (!frameMbsOnly)
        r.bit();
    r.bit(); // direct_8x8_inference_flag
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.bit()) {
        cropLeft = r.ue();
        cropRight = r.ue();
        cropTop = r.ue();
        cropBottom = r.ue();
    }
    if (r.overrun())
        return false;
    const uint32_t unitX = chroma == 1 || chroma == 2 ? 2 : 1;
    const uint32_t unitY = (chroma == 1 ? 2 : 1) * (2 - frameMbsOnly);
    const int64_t w = int64_t(mbWidth) * 16 - int64_t(unitX) * (cropLeft + cropRight);
    const int64_t h = int64_t(mapHeight) * 16 * (2 - frameMbsOnly) - int64_t(unitY) * (cropTop + cropBottom);
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535)
        return false;
    *width = int(w);
    *height = int(h);
    return true;
}

} // namespace

bool h264PictureSize(const uint8_t *data, int size, int *width, int *height)
{
    if (!data || size < 8)
        return false;
    if (data[0] == 1) { // avcC: version, profile, compat, level, length size, SPS count
        const int count = data[5] & 0x1f;
        const int length = (data[6] << 8) | data[7];
        return count > 0 && 8 + length <= size && length > 1 && spsPictureSize(data + 8, size_t(length), width, height);
    }
    for (int i = 0; i + 3 < size; ++i) { // Annex B: the first NAL unit of type 7
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if ((data[i + 3] & 0x1f) == 7) {
                int end = i + 3;
                while (end + 2 < size && !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] <= 1))
                    ++end;
                if (end + 2 >= size)
                    end = size;
                return spsPictureSize(data + i + 3, size_t(end - i - 3), width, height);
            }
            i += 2;
        }
    }
    return false;
}

std::shared_ptr<const KxStreamSetup> KxStreamSetup::create(const KxWriterParams &params)
{
    std::shared_ptr<KxStreamSetup> setup(new KxStreamSetup);
    setup->m_audioStatus = openParameterEncoder(params, false, &setup->m_audio);
    setup->m_videoStatus = openParameterEncoder(params, true, &setup->m_video);
    return setup;
}

KxStreamSetup::~KxStreamSetup()
{
    avcodec_parameters_free(&m_audio);
    avcodec_parameters_free(&m_video);
}

bool KxRetryPacer::due() const
{
    return m_failures == 0 || std::chrono::steady_clock::now() - m_lastTry >= kInterval;
}

void KxRetryPacer::failed(int status)
{
    m_lastTry = std::chrono::steady_clock::now();
    m_lastStatus = status;
    ++m_failures;
}

void KxRetryPacer::reset()
{
    m_failures = 0;
    m_lastStatus = 0;
}

struct KxMuxer::Impl {
    KxWriterParams params;
    std::shared_ptr<const KxStreamSetup> setup;
    AVFormatContext *ctx = nullptr;
    AVStream *audio = nullptr;
    AVStream *video = nullptr;
    AVPacket *packet = nullptr;
    // H.264 parameter sets of the parameter encoder, held back from a
    // container that takes its codec configuration from the first video
    // packet instead (see addStream).
    std::vector<uint8_t> heldVideoConfig;
    bool videoConfigFromStream = false;
    bool firstVideoPacket = true;
    std::vector<uint8_t> scratch;
    int64_t lastDts[2] = {0, 0};
    bool haveDts[2] = {false, false};
    bool failed = false;
    std::string failReason;
    bool logOpenFailures = true;
    int refused = 0;
    std::string path;

    int addStream(AVMediaType type, const KxStreamSetup &streams);
    void takeVideoSize(const KxMuxRecord &record);
    void fail(const char *what, int err);
    void closeContext();
};

void KxMuxer::Impl::fail(const char *what, int err)
{
    if (!failed)
        failReason = std::string(what) + ": " + avError(err).toStdString();
    failed = true;
}

int KxMuxer::Impl::addStream(AVMediaType type, const KxStreamSetup &streams)
{
    const bool isVideo = type == AVMEDIA_TYPE_VIDEO;
    AVStream *st = avformat_new_stream(ctx, nullptr);
    if (!st) {
        qWarning() << "KxMuxer::addStream" << "avformat_new_stream failed";
        return KX_MUX_NO_CODEC_CONTEXT;
    }
    st->id = static_cast<int>(ctx->nb_streams) - 1;
    st->time_base = AVRational{1, 1000000};
    (isVideo ? video : audio) = st;

    const AVCodecParameters *par = isVideo ? streams.video() : streams.audio();
    if (!par)
        return isVideo ? streams.videoStatus() : streams.audioStatus();
    const int ret = avcodec_parameters_copy(st->codecpar, par);
    if (ret < 0) {
        qWarning() << "KxMuxer::addStream" << "avcodec_parameters_copy failed:" << avError(ret);
        return KX_MUX_NO_CODEC_CONTEXT;
    }
    const AVCodecID codecId = par->codec_id;
    if (isVideo && !(ctx->oformat->flags & AVFMT_GLOBALHEADER)) {
        // Such a container takes the parameter sets from the stream itself.
        av_freep(&st->codecpar->extradata);
        st->codecpar->extradata_size = 0;
    }

    // The MP4 muxer writes the H.264 configuration record at the trailer and
    // can take it from the first video packet, which libx264 (without a
    // global header) starts with its sequence and picture parameter sets.
    // Taking it from the stream itself keeps the record true even when the
    // camera delivers another size or rate than configured.
    const char *fmt = ctx->oformat->name;
    if (isVideo && codecId == AV_CODEC_ID_H264 && st->codecpar->extradata_size > 0
        && (std::strcmp(fmt, "mp4") == 0 || std::strcmp(fmt, "mov") == 0)) {
        heldVideoConfig.assign(st->codecpar->extradata, st->codecpar->extradata + st->codecpar->extradata_size);
        av_freep(&st->codecpar->extradata);
        st->codecpar->extradata_size = 0;
        videoConfigFromStream = true;
    }
    return KX_MUX_OK;
}

void KxMuxer::Impl::takeVideoSize(const KxMuxRecord &record)
{
    // The stream was described with the configured size; the camera may
    // give another. The MP4 muxer writes its track header and sample entry
    // once every track has a sample (delay_moov), so the size of the first
    // picture still reaches them; the TS stream carries the pictures' own
    // parameter sets.
    AVCodecParameters *par = video ? video->codecpar : nullptr;
    if (!par || record.width <= 0 || record.height <= 0
        || (par->width == record.width && par->height == record.height))
        return;
    qInfo() << "KxMuxer::write" << "video is" << record.width << "x" << record.height << "instead of"
            << par->width << "x" << par->height;
    par->width = record.width;
    par->height = record.height;
}

void KxMuxer::Impl::closeContext()
{
    if (!ctx)
        return;
    if (ctx->pb && !(ctx->oformat->flags & AVFMT_NOFILE)) {
        const int ret = avio_closep(&ctx->pb);
        if (ret < 0) {
            qWarning() << "KxMuxer::close" << "avio_closep" << QString::fromStdString(path) << "failed:" << avError(ret);
            fail("closing the file failed", ret);
        }
    }
    avformat_free_context(ctx);
    ctx = nullptr;
    audio = nullptr;
    video = nullptr;
    heldVideoConfig.clear();
    videoConfigFromStream = false;
}

KxMuxer::KxMuxer(const KxWriterParams &params, std::shared_ptr<const KxStreamSetup> setup)
    : m_pImpl(new Impl)
{
    m_pImpl->params = params;
    m_pImpl->setup = std::move(setup);
}

KxMuxer::~KxMuxer()
{
    close();
    if (m_pImpl)
        av_packet_free(&m_pImpl->packet);
}

int KxMuxer::open(const char *path, const char *format, const std::map<std::string, std::string> &options)
{
    qDebug() << "KxMuxer::open" << path << format;
    if (!m_pImpl)
        return KX_MUX_NO_IMPL;
    Impl &d = *m_pImpl;
    if (d.ctx)
        close();
    d.failed = false;
    d.failReason.clear();
    d.refused = 0;
    d.haveDts[0] = d.haveDts[1] = false;
    d.firstVideoPacket = true;
    d.path = path ? path : "";
    if (!d.packet && !(d.packet = av_packet_alloc()))
        return KX_MUX_ALLOC_CONTEXT;

    int ret = avformat_alloc_output_context2(&d.ctx, nullptr, format, path);
    if (ret < 0 || !d.ctx) {
        if (d.logOpenFailures)
            qWarning() << "KxMuxer::open" << "avformat_alloc_output_context2" << format << "failed:" << avError(ret);
        d.ctx = nullptr;
        return KX_MUX_ALLOC_CONTEXT;
    }
    const std::shared_ptr<const KxStreamSetup> streams = d.setup ? d.setup : KxStreamSetup::create(d.params);
    d.addStream(AVMEDIA_TYPE_AUDIO, *streams);
    d.addStream(AVMEDIA_TYPE_VIDEO, *streams);

    if (!(d.ctx->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&d.ctx->pb, path, AVIO_FLAG_WRITE);
        if (ret < 0) {
            if (d.logOpenFailures)
                qWarning() << "KxMuxer::open" << "avio_open" << path << "failed:" << avError(ret);
            d.closeContext();
            return KX_MUX_OPEN_FILE;
        }
    }

    AVDictionary *dict = nullptr;
    for (const auto &kv : options)
        av_dict_set(&dict, kv.first.c_str(), kv.second.c_str(), 0);
    ret = avformat_write_header(d.ctx, &dict);
    for (const AVDictionaryEntry *e = nullptr; (e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX));)
        qWarning() << "KxMuxer::open" << "option not used:" << e->key;
    av_dict_free(&dict);
    if (ret < 0) {
        if (d.logOpenFailures)
            qWarning() << "KxMuxer::open" << "avformat_write_header" << path << "failed:" << avError(ret);
        d.closeContext();
        return KX_MUX_WRITE_HEADER;
    }
    return KX_MUX_OK;
}

int KxMuxer::write(const KxMuxRecord *record)
{
    if (!m_pImpl)
        return KX_MUX_NO_IMPL;
    Impl &d = *m_pImpl;
    if (!record || !record->data || record->size < 1)
        return KX_MUX_EMPTY_PACKET;
    if (record->stream != KX_MUX_VIDEO && record->stream != KX_MUX_AUDIO)
        return KX_MUX_OK;
    if (!d.ctx) {
        qWarning() << "KxMuxer::write" << "no file is open";
        return KX_MUX_WRITE_PACKET;
    }
    // The file is already incomplete (the disk is full, the device gone):
    // do not pile more packets into the interleaving queue.
    if (d.failed)
        return KX_MUX_WRITE_PACKET;
    AVStream *st = record->stream == KX_MUX_VIDEO ? d.video : d.audio;
    if (!st)
        return KX_MUX_OK;
    const int slot = record->stream == KX_MUX_VIDEO ? 0 : 1;
    const char *name = record->stream == KX_MUX_VIDEO ? "video" : "audio";

    if (record->timeBaseNum <= 0 || record->timeBaseDen <= 0) {
        qWarning() << "KxMuxer::write" << "refused" << name << "packet with time base"
                   << record->timeBaseNum << "/" << record->timeBaseDen << "pts" << record->pts;
        ++d.refused;
        return KX_MUX_WRITE_PACKET;
    }
    const AVRational src{record->timeBaseNum, record->timeBaseDen};
    const auto rnd = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
    const int64_t dts = av_rescale_q_rnd(record->dts, src, st->time_base, rnd);
    const int64_t pts = av_rescale_q_rnd(record->pts, src, st->time_base, rnd);
    // The container refuses such packets anyway; refusing them here keeps
    // the refusal visible with its stream and time instead of a bare error.
    if (d.haveDts[slot] && dts <= d.lastDts[slot]) {
        qWarning() << "KxMuxer::write" << "dropped" << name << "packet: dts" << record->dts << "/"
                   << record->timeBaseDen << "s does not advance past the previous packet of the stream";
        ++d.refused;
        return KX_MUX_WRITE_PACKET;
    }
    if (pts < dts) {
        qWarning() << "KxMuxer::write" << "dropped" << name << "packet: pts" << record->pts
                   << "before dts" << record->dts << "/" << record->timeBaseDen << "s";
        ++d.refused;
        return KX_MUX_WRITE_PACKET;
    }

    const uint8_t *data = record->data;
    int size = record->size;
    if (record->stream == KX_MUX_VIDEO && d.firstVideoPacket && d.videoConfigFromStream
        && !hasH264ParameterSets(data, size)) {
        // The container builds its configuration record from this packet:
        // give it the parameter sets it lacks.
        qWarning() << "KxMuxer::write" << "first video packet carries no parameter sets; using the configured ones";
        d.scratch.assign(d.heldVideoConfig.begin(), d.heldVideoConfig.end());
        d.scratch.insert(d.scratch.end(), data, data + size);
        data = d.scratch.data();
        size = static_cast<int>(d.scratch.size());
    }

    AVPacket *pkt = d.packet;
    int ret = av_new_packet(pkt, size);
    if (ret < 0) {
        qWarning() << "KxMuxer::write" << "av_new_packet failed:" << avError(ret);
        return KX_MUX_WRITE_PACKET;
    }
    std::memcpy(pkt->data, data, static_cast<size_t>(size));
    pkt->pts = pts;
    pkt->dts = dts;
    pkt->flags = record->key ? AV_PKT_FLAG_KEY : 0;
    // Without a duration the last sample of a track would count as empty,
    // and an MP4 edit list would cut the last video frame off.
    if (record->stream == KX_MUX_VIDEO) {
        const AVRational period = record->frameRate > 0 ? AVRational{1, record->frameRate} : src;
        pkt->duration = av_rescale_q(1, period, st->time_base);
    } else if (st->codecpar->frame_size > 0 && st->codecpar->sample_rate > 0) {
        pkt->duration = av_rescale_q(st->codecpar->frame_size, AVRational{1, st->codecpar->sample_rate}, st->time_base);
    }
    pkt->pos = -1;
    pkt->stream_index = st->index;
    d.haveDts[slot] = true;
    d.lastDts[slot] = dts;
    if (record->stream == KX_MUX_VIDEO) {
        // The moment a lesson's picture reaches its files: the benchmark
        // times the countdown's end to this line.
        if (d.firstVideoPacket)
            qDebug() << "KxMuxer::write" << "first video frame pts" << record->pts << "/" << record->timeBaseDen
                     << "s into" << QString::fromStdString(d.path);
        d.firstVideoPacket = false;
        d.takeVideoSize(*record);
    }

    ret = av_interleaved_write_frame(d.ctx, pkt);
    av_packet_unref(pkt);
    if (ret < 0) {
        qWarning() << "KxMuxer::write" << name << "packet pts" << record->pts << "/" << record->timeBaseDen
                   << "to" << QString::fromStdString(d.path) << "failed:" << avError(ret);
        if (d.ctx->pb && d.ctx->pb->error < 0)
            d.fail("writing failed", d.ctx->pb->error);
        else
            ++d.refused;
        return KX_MUX_WRITE_PACKET;
    }
    return KX_MUX_OK;
}

int KxMuxer::close()
{
    if (!m_pImpl || !m_pImpl->ctx)
        return KX_MUX_OK;
    Impl &d = *m_pImpl;
    qDebug() << "KxMuxer::close" << QString::fromStdString(d.path);
    const int ret = av_write_trailer(d.ctx);
    if (ret < 0) {
        qWarning() << "KxMuxer::close" << "av_write_trailer" << QString::fromStdString(d.path) << "failed:" << avError(ret);
        d.fail("writing the trailer failed", ret);
    }
    if (d.refused > 0)
        qWarning() << "KxMuxer::close" << QString::fromStdString(d.path) << "packets refused:" << d.refused;
    d.closeContext();
    return KX_MUX_OK;
}

int KxMuxer::flush()
{
    if (!m_pImpl || !m_pImpl->ctx || !m_pImpl->ctx->pb)
        return KX_MUX_OK;
    Impl &d = *m_pImpl;
    avio_flush(d.ctx->pb);
    if (d.ctx->pb->error < 0) {
        if (!d.failed)
            qWarning() << "KxMuxer::flush" << QString::fromStdString(d.path) << "failed:" << avError(d.ctx->pb->error);
        d.fail("writing failed", d.ctx->pb->error);
        return KX_MUX_WRITE_PACKET;
    }
    return KX_MUX_OK;
}

std::string KxMuxer::failureReason() const
{
    return m_pImpl ? m_pImpl->failReason : std::string();
}

void KxMuxer::setLogOpenFailures(bool on)
{
    if (m_pImpl)
        m_pImpl->logOpenFailures = on;
}

bool KxMuxer::isOpen() const
{
    return m_pImpl && m_pImpl->ctx;
}

bool KxMuxer::failed() const
{
    return m_pImpl && m_pImpl->failed;
}

int KxMuxer::refusedPackets() const
{
    return m_pImpl ? m_pImpl->refused : 0;
}

} // namespace KxFileModule
