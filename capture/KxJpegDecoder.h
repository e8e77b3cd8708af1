#pragma once
// Decodes 4:2:0 JPEG pictures, as MJPEG cameras send them, straight into
// I420 planes. One libjpeg decompressor serves every picture of a stream,
// so a picture costs neither set-up nor allocations nor a copy of the
// decoded planes, and it uses libjpeg's accurate transform. Pictures in
// another layout are left to the caller.
//
// Not thread-safe: one decoder per streaming thread.

#include <cstddef>
#include <cstdint>
#include <memory>

class KxJpegDecoder {
public:
    KxJpegDecoder();
    ~KxJpegDecoder();
    KxJpegDecoder(const KxJpegDecoder &) = delete;
    KxJpegDecoder &operator=(const KxJpegDecoder &) = delete;

    enum Result { Decoded = 1, NotHandled = 0, Failed = -1 };

    /// Decodes a width x height picture into packed I420 planes (strides
    /// width and width / 2). NotHandled: another sampling, size or colour
    /// space, nothing written; Failed: the data is broken or cut short
    /// (the planes may hold part of a picture).
    Result decodeI420(const uint8_t *jpeg, size_t size, uint8_t *y, uint8_t *u, uint8_t *v, int width,
                      int height);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
