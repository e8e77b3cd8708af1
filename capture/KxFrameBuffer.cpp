#include "KxFrameBuffer.h"

// 64-byte alignment lets libyuv's and x264's vector code read whole rows
// without unaligned loads.
KxFrameBuffer::KxFrameBuffer() : m_pixels(64) {}
