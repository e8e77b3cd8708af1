#include "KxCamEncoder.h"

#include "KxCamData.h"

#include "IKxMediaPacket.h"
#include "IKxModulePoolMgr.h"
#include "KxFrameBuffer.h"
#include "KxMerioErrors.h"
#include "KxModuleCamera.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

#include <QDebug>
#include <QString>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace {

const AVCodec *g_pH264 = nullptr;
bool g_bH264Found = false;
std::once_flag g_lookupOnce;

// libx264 asks for transparent huge pages on its picture buffers. A huge
// page makes a whole 2 MiB resident, and the kernel collapses the buffers it
// could not back at once in the background, filling their untouched pages:
// the resident set creeps up during the first minute of a recording and
// ends about 11 MB larger at 1280x720, for no speed-up we could measure. The
// process keeps normal pages, so its footprint is fixed once the encoder is
// open.
void keepNormalPages()
{
    if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0)
        qWarning() << "KxCamEncoder" << "cannot turn transparent huge pages off:" << strerror(errno);
}

void lookupEncoder()
{
    std::call_once(g_lookupOnce, [] {
        keepNormalPages();
        g_pH264 = avcodec_find_encoder(AV_CODEC_ID_H264);
        g_bH264Found = g_pH264 != nullptr;
        if (!g_bH264Found)
            qWarning() << "h264 encoder not found.";
    });
}

QString avError(int code)
{
    char text[1024] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// Wraps a frame buffer without taking ownership, so the encoder reads the
// picture in place instead of libavcodec copying it first.
void noFree(void *, uint8_t *) {}

} // namespace

KxCamEncoder::KxCamEncoder(KxModuleCamera *owner) : m_pOwner(owner) {}

KxCamEncoder::~KxCamEncoder()
{
    qInfo() << "KxCamEncoder::~KxCamEncoder" << "  enter";
    if (m_thread.joinable()) {
        // The owner stops the encoder first; never leave a thread running
        // over freed members.
        qWarning() << "KxCamEncoder::~KxCamEncoder" << "  thread still running, joining";
        if (auto *ev = m_pOwner->stopEvent())
            ev->set();
        m_thread.join();
    }
    closeCodec();
    av_frame_free(&m_pPicture);
    av_packet_free(&m_pPacket);
    qInfo() << "KxCamEncoder::~KxCamEncoder" << "  leave";
}

bool KxCamEncoder::encoderAvailable()
{
    lookupEncoder();
    return g_bH264Found;
}

int KxCamEncoder::init()
{
    qInfo() << "KxCamEncoder::init" << "  enter";
    if (m_bInited)
        return ErrorCode::ALREADY;
    lookupEncoder();
    if (!m_pPicture)
        m_pPicture = av_frame_alloc();
    if (!m_pPacket)
        m_pPacket = av_packet_alloc();
    if (!m_pPicture || !m_pPacket) {
        qWarning() << "KxCamEncoder::init" << "  cannot allocate the picture";
        return -1;
    }
    m_bInited = true;
    return ErrorCode::OK;
}

int KxCamEncoder::start()
{
    qInfo() << "KxCamEncoder::start" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    if (m_bRunning)
        return ErrorCode::ALREADY;
    KxHandoffQueue<KxFrameBuffer> &queue = m_pOwner->encoderQueue();
    for (KxFrameBuffer *frame : queue.drainFilled())
        queue.putFree(frame);
    m_bRunning = true;
    m_thread = std::thread(&KxCamEncoder::run, this);
    return ErrorCode::OK;
}

int KxCamEncoder::prepare(int width, int height, double frameRate)
{
    if (!m_bInited || m_bRunning || width <= 0 || height <= 0)
        return -1;
    m_iPrepareWidth = width;
    m_iPrepareHeight = height;
    m_dPrepareFrameRate = frameRate;
    return 0;
}

int KxCamEncoder::stop()
{
    qInfo() << "KxCamEncoder::stop" << "  enter";
    if (!m_bInited)
        return ErrorCode::NOT_INITED;
    if (!m_bRunning)
        return ErrorCode::ALREADY;
    if (m_thread.joinable())
        m_thread.join();
    m_bRunning = false;
    m_staging.release();
    qInfo() << "CamEncoder stop --- join ok";
    m_iOpenWidth = 0;
    m_iOpenHeight = 0;
    return ErrorCode::OK;
}

void KxCamEncoder::updateParams(int bitRateKbps, int gop)
{
    qInfo() << "KxCamEncoder::updateParams" << "  enter" << bitRateKbps << gop;
    std::lock_guard<std::mutex> guard(m_paramMutex);
    m_iPendingBitRate = kDefaultBitRateKbps;
    m_iPendingGop = kDefaultGop;
    if (bitRateKbps != 0)
        m_iPendingBitRate = bitRateKbps < 0 ? m_iBitRate : bitRateKbps;
    if (gop != 0)
        m_iPendingGop = gop < 0 ? m_iGop : gop;
    if (m_iPendingBitRate != m_iBitRate || m_iPendingGop != m_iGop)
        m_bPendingChanged = true;
}

int KxCamEncoder::bitRateKbps() const
{
    std::lock_guard<std::mutex> guard(m_paramMutex);
    return m_iBitRate;
}

int KxCamEncoder::gop() const
{
    std::lock_guard<std::mutex> guard(m_paramMutex);
    return m_iGop;
}

bool KxCamEncoder::paramsPending() const
{
    std::lock_guard<std::mutex> guard(m_paramMutex);
    return m_bPendingChanged;
}

void KxCamEncoder::closeCodec()
{
    avcodec_free_context(&m_pContext);
    m_iOpenWidth = 0;
    m_iOpenHeight = 0;
}

int KxCamEncoder::openCodec(int width, int height, float frameRate)
{
    int gop, bitRate;
    {
        std::lock_guard<std::mutex> guard(m_paramMutex);
        if (m_pContext && width == m_iOpenWidth && height == m_iOpenHeight && !m_bPendingChanged)
            return 0;
        if (m_bPendingChanged) {
            m_iGop = m_iPendingGop;
            m_iBitRate = m_iPendingBitRate;
            m_bPendingChanged = false;
        }
        gop = m_iGop;
        bitRate = m_iBitRate;
    }
    if (m_pContext) {
        // Frames still inside the encoder (x264's look-ahead holds dozens)
        // would be lost with the context: flush them out first.
        const int flushed = flushCodec();
        qInfo() << "KxCamEncoder::openCodec" << "  reopening; packets flushed:" << flushed;
    }
    closeCodec();
    if (!g_pH264)
        return -1;
    const int rate = KxCamData::timeBaseRate(frameRate);
    m_pContext = avcodec_alloc_context3(g_pH264);
    if (!m_pContext)
        return -1;
    m_pContext->codec_type = AVMEDIA_TYPE_VIDEO;
    // The intake's stamps are clock milliseconds; the frame-rate hint gives
    // rate control the camera's nominal rate.
    m_pContext->time_base = AVRational{1, KxCamData::kStampRate};
    m_pContext->framerate = AVRational{rate, 1};
    m_pContext->width = width;
    m_pContext->height = height;
    m_pContext->bit_rate = int64_t(bitRate) * 1000;
    m_pContext->gop_size = gop;
    m_pContext->pix_fmt = AV_PIX_FMT_YUV420P;
    m_pContext->thread_count = kThreads;
    m_pContext->thread_type = FF_THREAD_SLICE;

    qInfo().noquote() << "H264 bit_rate:  Kbps -- " << bitRate << " Flag: "
                      << QString::number(uint32_t(m_pContext->flags), 16) << m_pContext->qmin << m_pContext->qmax;
    const int ret = avcodec_open2(m_pContext, g_pH264, nullptr);
    if (ret < 0) {
        qWarning().noquote() << "KxCamEncoder::openCodec" << "avcodec_open2:" << avError(ret);
        avcodec_free_context(&m_pContext);
        return -1;
    }
    qInfo().noquote() << QString("tb: (%1 %2)  vbv-size: %3   fr %4 %5")
                             .arg(m_pContext->time_base.num)
                             .arg(m_pContext->time_base.den)
                             .arg(m_pContext->rc_buffer_size)
                             .arg(m_pContext->framerate.num)
                             .arg(m_pContext->framerate.den);
    m_iOpenWidth = width;
    m_iOpenHeight = height;
    m_iTimeBase = KxCamData::kStampRate;
    ++m_iOpenCount;
    return 0;
}

int KxCamEncoder::encode(KxFrameBuffer *frame)
{
    if (!frame && !m_pContext)
        return -1;
    AVBufferRef *inputRef = nullptr;
    if (frame) {
        if (openCodec(frame->m_iWidth, frame->m_iHeight, float(frame->m_dFrameRate)) != 0) {
            qWarning() << "[Do-ScrnCoder] error:  parameters may error";
            return -1;
        }
        av_frame_unref(m_pPicture);
        av_image_fill_arrays(m_pPicture->data, m_pPicture->linesize, frame->pixels(), AV_PIX_FMT_YUV420P,
                             frame->m_iWidth, frame->m_iHeight, 1);
        m_pPicture->format = AV_PIX_FMT_YUV420P;
        m_pPicture->width = frame->m_iWidth;
        m_pPicture->height = frame->m_iHeight;
        m_pPicture->pts = frame->m_iPts;
        if (!m_bCopyInput) {
            inputRef = av_buffer_create(frame->pixels(), size_t(frame->pictureSize()), noFree, nullptr,
                                        AV_BUFFER_FLAG_READONLY);
            m_pPicture->buf[0] = inputRef ? av_buffer_ref(inputRef) : nullptr;
        }
        m_dCurrentFrameRate = frame->m_dFrameRate;
    }

    int ret = avcodec_send_frame(m_pContext, frame ? m_pPicture : nullptr);
    if (frame)
        av_frame_unref(m_pPicture);
    if (ret != 0) {
        qWarning() << "[Do-ScrnCoder] error:  ret " << ret << avError(ret);
        av_buffer_unref(&inputRef);
        return -100;
    }
    int count = 0;
    const int result = receivePackets(frame ? frame->m_iFrameIndex : -1, &count);

    if (inputRef) {
        // Only our own reference may remain: the frame goes back to the free
        // list after this call and will be overwritten.
        if (av_buffer_get_ref_count(inputRef) > 1) {
            qWarning() << "KxCamEncoder::encode" << "  the encoder keeps input pictures; copying them from now on";
            m_bCopyInput = true;
        }
        av_buffer_unref(&inputRef);
    }
    if (result < 0)
        return result;
    if (count > 1)
        qInfo() << "[Do-ScrnCoder] encode video frame more packets" << count;
    return count;
}

int KxCamEncoder::receivePackets(int frameIndex, int *count)
{
    m_staging.ensureCapacity(kStagingBytes);
    m_staging.setLength(0);
    for (;;) {
        const int ret = avcodec_receive_packet(m_pContext, m_pPacket);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return 0;
        if (ret < 0) {
            qWarning().noquote() << "KxCamEncoder::encode" << "avcodec_receive_packet:" << avError(ret);
            return -100;
        }
        const int size = m_pPacket->size;
        if (m_staging.capacity() < size)
            m_staging.ensureCapacity(size);
        const int copied = std::min(size, m_staging.capacity());
        std::memcpy(m_staging.dataStart(), m_pPacket->data, size_t(copied));
        m_staging.setLength(copied);
        const bool key = (m_pPacket->flags & AV_PKT_FLAG_KEY) != 0;
        const int64_t pts = m_pPacket->pts;
        const int64_t dts = m_pPacket->dts;
        const int index = frameIndex >= 0 ? frameIndex : m_iDrainCounter;
        ++m_iDrainCounter;
        av_packet_unref(m_pPacket);
        ++*count;
        const int pushed = pushPacket(key, pts, dts, index);
        if (pushed < 0)
            return pushed;
    }
}

int KxCamEncoder::flushCodec()
{
    if (!m_pContext)
        return 0;
    const int ret = avcodec_send_frame(m_pContext, nullptr);
    if (ret != 0) {
        qWarning() << "KxCamEncoder::flushCodec" << avError(ret);
        return ret == AVERROR_EOF ? 0 : -100;
    }
    int count = 0;
    const int result = receivePackets(-1, &count);
    return result < 0 ? result : count;
}

int KxCamEncoder::pushPacket(bool keyFrame, int64_t pts, int64_t dts, int frameIndex)
{
    IKxModulePoolMgr *pool = m_pOwner->getPoolModule();
    if (!pool)
        return -1;
    // A free packet appears as soon as the file writer has taken one; while
    // recording we wait for it without limit (this throttles the encoder to
    // the writer). Once stop was requested the wait is bounded, so a stalled
    // writer cannot hang the camera's stop.
    IKxMediaPacket *packet = nullptr;
    kxsync::Event *stop = m_pOwner->stopEvent();
    const auto deadlineAfterStop = std::chrono::milliseconds(2000);
    std::chrono::steady_clock::time_point stopSeen{};
    bool stopping = false;
    while (!packet) {
        const auto asked = std::chrono::steady_clock::now();
        packet = pool->getVideoPacket(kPacketWaitMs);
        if (packet)
            break;
        // A stopped pool answers at once; waiting out the rest of the
        // period on the camera's stop keeps this loop from spinning.
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
        if (waited.count() < kPacketWaitMs && !(stop && stop->isSet())) {
            if (stop)
                stop->wait(int(kPacketWaitMs - waited.count()));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(kPacketWaitMs) - waited);
        }
        if (stop && stop->isSet()) {
            const auto now = std::chrono::steady_clock::now();
            if (!stopping) {
                stopping = true;
                stopSeen = now;
            } else if (now - stopSeen >= deadlineAfterStop) {
                qWarning() << "KxCamEncoder::pushPacket" << "  no free video packet after stop, packet dropped";
                return -2;
            }
        }
    }
    packet->setType(KX_PACKET_VIDEO);
    KxVideoInfo info;
    info.bKeyFrame = keyFrame;
    info.width = m_pContext->width;
    info.height = m_pContext->height;
    info.frameRate = int(m_dCurrentFrameRate + 0.01);
    info.unit = 1;
    info.dts = dts;
    info.pts = pts;
    // The codec's time base, the intake's clock milliseconds.
    info.timeBase = m_iTimeBase;
    packet->setVideoInfo(&info);
    const int size = m_staging.length();
    if (packet->alloc(size) < 0 || packet->setData(m_staging.dataStart(), size) < 0) {
        qWarning() << "KxCamEncoder::pushPacket" << "  cannot fill a packet of" << size << "bytes";
        packet->setSize(0);
    }
    m_pOwner->reportEncoded(frameIndex);
    const int ret = pool->pushVideoPacket(packet);
    if (ret != 0)
        qWarning() << "KxCamEncoder::pushPacket" << "  pool refused the packet:" << ret;
    return ret < 0 ? ret : 0;
}

void KxCamEncoder::run()
{
    kxsync::setCurrentThreadName("kx-h264");
    KxHandoffQueue<KxFrameBuffer> &queue = m_pOwner->encoderQueue();
    int encoded = 0;
    int lost = 0;
    if (m_iPrepareWidth > 0) {
        // Opened here rather than by the caller so that x264's worker
        // threads are children of (and named after) this thread.
        if (openCodec(m_iPrepareWidth, m_iPrepareHeight, float(m_dPrepareFrameRate)) != 0)
            qWarning() << "KxCamEncoder::run" << "  cannot open the codec ahead; the first frame retries";
        m_iPrepareWidth = 0;
    }
    for (;;) {
        // The queue's wait tests the stop event first: a stop wins over
        // waiting frames.
        KxFrameBuffer *frame = queue.takeFilled(kxsync::Infinite);
        if (!frame)
            break;
        const int index = frame->m_iFrameIndex;
        const int ret = encode(frame);
        queue.putFree(frame);
        if (ret > 0) {
            encoded += ret;
            continue;
        }
        if (ret == 0) {
            qInfo() << "Video_encode: " << index << " no-encode out!";
            continue;
        }
        ++lost;
        qWarning() << "Video_encode: error\n";
        break;
    }
    if (m_pContext) {
        const int ret = encode(nullptr);
        if (ret == 0)
            qInfo() << "Drain: " << " no-encode out!";
        else if (ret < 0)
            qWarning() << "Drain:  error \n";
        else
            encoded += ret;
        // A drained context cannot take frames again; the next start opens
        // a new one anyway.
        closeCodec();
    }
    qInfo() << "KxCamEncoder::run" << "  packets:" << encoded << " frames failed:" << lost;
    m_pOwner->reportEncoderStopped();
    qInfo() << "Cam-encoder thread exit";
}
