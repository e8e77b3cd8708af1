#include "KxCamData.h"

#include "KxDropCounters.h"

#include "IKxBooth.h"
#include "IKxMediaPacket.h"
#include "IKxMediaTime.h"
#include "IKxModulePoolMgr.h"
#include "KxCamDisplay.h"
#include "KxFrameBuffer.h"
#include "KxModuleCamera.h"

#include <camera/KxCameraDevice.h>

#include <QDebug>
#include <QJsonObject>

#include <algorithm>

KxCamData::KxCamData(IKxBooth *booth, KxModuleCamera *module) : m_pBooth(booth), m_pModule(module) {}

void KxCamData::reset()
{
    m_iReceived = 0;
    m_iConverted = 0;
    m_iStartOffset = 0;
    m_iLastStamp = -1;
    m_iLastTakenMs = -1;
    m_iRejected = 0;
    m_iSnapshotsTaken = 0;
}

int64_t KxCamData::clockStamp(int64_t clockMs, int64_t lastStamp)
{
    const int64_t stamp = std::max<int64_t>(clockMs, 0);
    return lastStamp >= 0 && stamp <= lastStamp ? lastStamp + 1 : stamp;
}

bool KxCamData::isJpeg(const uint8_t *data, int length)
{
    return data && length >= 4 && data[0] == 0xFF && data[1] == 0xD8;
}

int KxCamData::timeBaseRate(double fps)
{
    const int rate = int(float(fps) + 0.01f);
    return rate < 1 ? 1 : rate;
}

int64_t KxCamData::captureClockMs(int64_t clockStartedUs, int64_t nowUs, int64_t capturedUs)
{
    if (clockStartedUs < 0)
        return 0;
    const bool believed = capturedUs > 0 && capturedUs <= nowUs && nowUs - capturedUs <= kMaxSampleAgeMs * 1000;
    const int64_t us = (believed ? capturedUs : nowUs) - clockStartedUs;
    // Whole milliseconds of the clock, as elapsed() reads them.
    return us >= 0 ? us / 1000 : -((-us + 999) / 1000);
}

int KxCamData::onYUVData(const uint8_t *data, int length)
{
    return onYUVSample(data, length, 0);
}

int KxCamData::onYUVSample(const uint8_t *data, int length, int64_t capturedUs)
{
    // The capture moment is read against the clock before any wait for a
    // free frame buffer.
    IKxMediaTime *clock = m_pModule->clock();
    const int64_t takenMs = captureClockMs(clock ? clock->startedAtUs() : -1, IKxMediaTime::steadyNowUs(), capturedUs);
    const int received = ++m_iReceived;
    if (!m_pBooth || !data || length <= 0) {
        ++m_iRejected;
        return 0;
    }
    m_pModule->reportCaptured(received);
    if (received % 100 == 0)
        qInfo() << "KxCamData::onYUVData" << received << " --  frame len:  " << length;

    QJsonObject format;
    if (m_pBooth->getCapFormat(format) != 0)
        return 0;
    // A camera faster than the encoder can follow at its size gives every
    // step-th sample (30 fps at 1080p: 15 of them); the others cost nothing.
    const int step = format.value(QStringLiteral("sampleStep")).toInt(1);
    if (step > 1 && (received - 1) % step != 0)
        return 0;

    KxHandoffQueue<KxFrameBuffer> &encoderQueue = m_pModule->encoderQueue();
    KxFrameBuffer *frame = encoderQueue.takeFree(0);
    if (!frame) {
        // Every buffer is queued for the encoder: the camera is fine, the
        // pipeline is behind, and the failure watch must know the difference.
        m_pModule->intakeWaitBegins();
        frame = encoderQueue.takeFree(kxsync::Infinite);
        m_pModule->intakeWaitEnds();
        if (!frame)
            return 0; // stopping
    }

    const int width = format.value(QStringLiteral("width")).toInt();
    const int height = format.value(QStringLiteral("height")).toInt();
    const double fps = format.value(QStringLiteral("fps")).toDouble();
    // Samples the camera never delivered (a full driver queue, a slow
    // intake) show as gaps of whole frame periods between capture moments.
    if (m_iLastTakenMs >= 0 && fps > 0) {
        const double periods = double(takenMs - m_iLastTakenMs) * fps / 1000.0;
        if (periods >= 1.5)
            KxDropCounters::instance().videoFramesDropped += int64_t(periods + 0.5) - 1;
    }
    m_iLastTakenMs = takenMs;
    const int pictureSize = width * height * 3 / 2;
    if (width <= 0 || height <= 0 || frame->m_pixels.ensureCapacity(2 * width * height) < 0) {
        qWarning() << "KxCamData::onYUVData" << "  unusable format" << width << height;
        encoderQueue.putFree(frame);
        return 0;
    }
    frame->m_iKind = KxFrameBuffer::kKindI420;
    frame->m_iWidth = width;
    frame->m_iHeight = height;
    frame->m_dFrameRate = double(float(fps));
    const int k = m_iConverted.load();
    frame->m_iFrameIndex = k;

    const int64_t stamp = clockStamp(takenMs, m_iLastStamp);
    frame->m_iDts = stamp;
    frame->m_iPts = stamp;

    const int result = m_pBooth->convertI420(data, length, frame->pixels(), frame->m_pixels.capacity());
    if (result != pictureSize)
        qWarning() << "error ->I420 :" << result;

    // A snapshot is the sample exactly as the camera delivered it; a sample
    // that could not be decoded would make a broken picture file, so the
    // request waits for the next good sample instead.
    if (result > 0 && m_pModule->pendingSnapshots() > 0) {
        // The camera's own picture may be larger than the encoded one.
        const int shotWidth = format.value(QStringLiteral("captureWidth")).toInt(width);
        const int shotHeight = format.value(QStringLiteral("captureHeight")).toInt(height);
        takeSnapshot(data, length, frame->pixels(), width, height, shotWidth, shotHeight, stamp);
    }

    if (result > 0) {
        if (k == 0)
            m_iStartOffset = stamp;
        m_iLastStamp = stamp;
        ++m_iConverted;
        frame->m_pixels.setLength(std::min(result, frame->m_pixels.capacity()));
        m_pModule->pictureArrived();
        // The preview takes a copy if it wants one, without waiting; the
        // frame itself goes straight on to the encoder.
        if (KxCamDisplay *display = m_pModule->display())
            display->offer(frame->pixels(), width, height, k);
        if (encoderQueue.putFilled(frame))
            return 0;
    } else {
        ++m_iRejected;
    }
    encoderQueue.putFree(frame);
    return 0;
}

void KxCamData::takeSnapshot(const uint8_t *data, int length, const uint8_t *i420, int width, int height,
                             int sampleWidth, int sampleHeight, int64_t stamp)
{
    // A photo is a JPEG file: an MJPEG sample is one already (given the
    // standard Huffman tables when the camera left them out), any other
    // sample (YUY2) is encoded from the converted picture.
    if (isJpeg(data, length)) {
        if (kxcam::jpegWithHuffmanTables(data, size_t(length), &m_jpeg) == 1) {
            data = m_jpeg.data();
            length = int(m_jpeg.size());
        }
        width = sampleWidth;
        height = sampleHeight;
    } else {
        if (!kxcam::encodeJpegI420(i420, width, height, kSnapshotQuality, &m_jpeg)) {
            qWarning() << "KxCamData::takeSnapshot" << "  JPEG encoding failed; the request waits for the next frame";
            return;
        }
        data = m_jpeg.data();
        length = int(m_jpeg.size());
    }
    IKxModulePoolMgr *pool = m_pModule->getPoolModule();
    IKxMediaPacket *packet = pool ? pool->getPhotoPacket(0) : nullptr;
    if (!packet) {
        qWarning() << "Camera Snapshot no frame! ";
    } else {
        packet->setType(KX_PACKET_PHOTO);
        if (packet->alloc(length) < 0 || packet->setData(data, length) < 0) {
            qWarning() << "KxCamData::takeSnapshot" << "  cannot hold" << length << "bytes";
            packet->setSize(0);
        }
        KxVideoInfo info;
        info.width = width;
        info.height = height;
        info.dts = stamp;
        info.pts = stamp;
        packet->setVideoInfo(&info);
        if (pool->pushPhotoPacket(packet) == 0)
            ++m_iSnapshotsTaken;
        else
            qWarning() << "KxCamData::takeSnapshot" << "  pool refused the photo packet";
    }
    // Consumed whether or not a packet was free.
    m_pModule->takeSnapshotRequest();
}
