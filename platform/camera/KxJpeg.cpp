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

namespace kxcam {

namespace {

// The Huffman tables of ITU-T T.81 Annex K.3, which MJPEG cameras use when
// they leave the tables out of their samples: class/id byte, the 16 code
// counts, the symbols.
const uint8_t kStandardHuffmanTables[] = {
    // DC luminance
    0x00, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // AC luminance
    0x10, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d,
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
    // DC chrominance
    0x01, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
    // AC chrominance
    0x11, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77,
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa,
};

bool isStartOfFrame(uint8_t marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

} // namespace

int jpegWithHuffmanTables(const uint8_t *data, size_t size, std::vector<uint8_t> *out)
{
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return -1;
    size_t insertAt = 0;
    size_t pos = 2;
    // Walk the header segments up to the scan: tables may sit on either
    // side of the frame header.
    for (;;) {
        while (pos < size && data[pos] == 0xFF && pos + 1 < size && data[pos + 1] == 0xFF)
            ++pos; // fill bytes
        if (pos + 4 > size || data[pos] != 0xFF)
            return -1;
        const uint8_t marker = data[pos + 1];
        if (marker == 0xC4)
            return 0;
        if (marker == 0xD9)
            return -1;
        if (isStartOfFrame(marker) && insertAt == 0)
            insertAt = pos;
        if (marker == 0xDA)
            break;
        const size_t length = (size_t(data[pos + 2]) << 8) | data[pos + 3];
        if (length < 2 || pos + 2 + length > size)
            return -1;
        pos += 2 + length;
    }
    if (insertAt == 0)
        insertAt = pos; // no frame header before the scan: put them before the scan
    const size_t tableBytes = sizeof(kStandardHuffmanTables);
    out->clear();
    out->reserve(size + tableBytes + 4);
    out->insert(out->end(), data, data + insertAt);
    out->push_back(0xFF);
    out->push_back(0xC4);
    out->push_back(uint8_t((tableBytes + 2) >> 8));
    out->push_back(uint8_t((tableBytes + 2) & 0xff));
    out->insert(out->end(), kStandardHuffmanTables, kStandardHuffmanTables + tableBytes);
    out->insert(out->end(), data + insertAt, data + size);
    return 1;
}

} // namespace kxcam
