// JPEG helpers of the virtual camera: encoding its picture with libjpeg
// (raw 4:2:0 input, no colour conversion) and cutting an MJPEG file into
// pictures.

#include "KxCameraDevice.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

namespace kxcam {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
};

void errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    longjmp(err->jump, 1);
}

void silentMessage(j_common_ptr, int) {}

struct VectorDestination {
    jpeg_destination_mgr pub;
    std::vector<uint8_t> *out;
};

void initDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    dest->out->resize(std::max<size_t>(dest->out->capacity(), 64 * 1024));
    dest->pub.next_output_byte = dest->out->data();
    dest->pub.free_in_buffer = dest->out->size();
}

boolean emptyOutputBuffer(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    const size_t used = dest->out->size();
    dest->out->resize(used * 2);
    dest->pub.next_output_byte = dest->out->data() + used;
    dest->pub.free_in_buffer = dest->out->size() - used;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<VectorDestination *>(cinfo->dest);
    dest->out->resize(dest->out->size() - dest->pub.free_in_buffer);
}

} // namespace

bool encodeJpegI420(const uint8_t *i420, int width, int height, int quality, std::vector<uint8_t> *out)
{
    if (!out)
        return false;
    out->clear();
    if (!i420 || width < 2 || height < 2 || (width & 1) || (height & 1))
        return false;

    jpeg_compress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.emit_message = silentMessage;
    VectorDestination dest;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        out->clear();
        return false;
    }
    jpeg_create_compress(&cinfo);
    dest.pub.init_destination = initDestination;
    dest.pub.empty_output_buffer = emptyOutputBuffer;
    dest.pub.term_destination = termDestination;
    dest.out = out;
    cinfo.dest = &dest.pub;

    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_YCbCr);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.raw_data_in = TRUE;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&cinfo, TRUE);

    const int cw = width / 2, ch = height / 2;
    const uint8_t *py = i420;
    const uint8_t *pu = py + size_t(width) * height;
    const uint8_t *pv = pu + size_t(cw) * ch;
    JSAMPROW yRows[16], uRows[8], vRows[8];
    JSAMPARRAY planes[3] = {yRows, uRows, vRows};
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y0 = int(cinfo.next_scanline);
        // Rows past the bottom repeat the last row (heights not a multiple of 16).
        for (int i = 0; i < 16; ++i)
            yRows[i] = const_cast<JSAMPROW>(py + size_t(std::min(y0 + i, height - 1)) * width);
        for (int i = 0; i < 8; ++i) {
            const int cy = std::min(y0 / 2 + i, ch - 1);
            uRows[i] = const_cast<JSAMPROW>(pu + size_t(cy) * cw);
            vRows[i] = const_cast<JSAMPROW>(pv + size_t(cy) * cw);
        }
        jpeg_write_raw_data(&cinfo, planes, 16);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return !out->empty();
}

std::vector<std::pair<size_t, size_t>> splitJpegStream(const uint8_t *data, size_t size)
{
    std::vector<std::pair<size_t, size_t>> pictures;
    if (!data)
        return pictures;
    size_t i = 0;
    while (i + 1 < size) {
        if (!(data[i] == 0xff && data[i + 1] == 0xd8)) {
            ++i;
            continue;
        }
        const size_t start = i;
        size_t j = i + 2;
        bool ended = false;
        while (j + 1 < size) {
            if (data[j] == 0xff && data[j + 1] == 0xd9) {
                ended = true;
                break;
            }
            ++j;
        }
        if (!ended)
            break;
        pictures.emplace_back(start, j + 2 - start);
        i = j + 2;
    }
    return pictures;
}

} // namespace kxcam
