#pragma once
// One camera frame in packed I420 with its stamps: the unit that circulates
// between the frame intake and the encoder. The camera
// module creates four at init and they are reused for the whole life of the
// module.
//
// Not thread-safe: a frame belongs to whichever thread took it from a
// KxHandoffQueue until it is put on a queue again.

#include "CQueBuf.h"

#include <cstdint>

class KxFrameBuffer {
public:
    /// Kind of a frame that has not been filled yet.
    static constexpr int kKindEmpty = 3;
    /// Kind of a frame holding a converted camera picture.
    static constexpr int kKindI420 = 0;

    KxFrameBuffer();

    /// Bytes of a packed I420 picture of the frame's size.
    int pictureSize() const { return m_iWidth * m_iHeight * 3 / 2; }
    /// Start of the Y plane; U follows at width*height, V at width*height*5/4.
    uint8_t *pixels() const { return m_pixels.dataStart(); }

    int m_iKind = kKindEmpty;
    int m_iWidth = 0;
    int m_iHeight = 0;
    /// Camera frames per second, kept with single precision as the camera
    /// reports it.
    double m_dFrameRate = 25.0;
    /// Decoding and presentation stamps (always equal), in frame periods.
    int64_t m_iDts = 0;
    int64_t m_iPts = 0;
    /// Number of frames converted before this one in the current recording.
    int m_iFrameIndex = 0;
    CQueBuf m_pixels;
};
