#pragma once
// A caller-owned I420 picture described plane by plane, the target of
// IKxBooth::convert.

#include <cstdint>

struct KxVideoFrame {
    uint8_t *y = nullptr;
    uint8_t *u = nullptr;
    uint8_t *v = nullptr;
    int strideY = 0;
    int strideU = 0;
    int strideV = 0;
    int width = 0;  ///< picture width in pixels (even)
    int height = 0; ///< picture height in pixels (even)
};
