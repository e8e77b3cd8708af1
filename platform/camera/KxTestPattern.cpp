// The virtual camera's picture. It is a pure function of the frame number so
// that a test can render the same frame and compare it with what came out of
// the pipeline; its content is smooth enough that JPEG and H.264 at the
// recording's bit rate keep it well above 30 dB.

#include "KxCameraDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kxcam {

namespace {

// 5x7 glyphs, one byte per row, bit 4 = leftmost column.
struct Glyph {
    char ch;
    uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0e, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0e}}, {'1', {0x04, 0x0c, 0x04, 0x04, 0x04, 0x04, 0x0e}},
    {'2', {0x0e, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1f}}, {'3', {0x1f, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0e}},
    {'4', {0x02, 0x06, 0x0a, 0x12, 0x1f, 0x02, 0x02}}, {'5', {0x1f, 0x10, 0x1e, 0x01, 0x01, 0x11, 0x0e}},
    {'6', {0x06, 0x08, 0x10, 0x1e, 0x11, 0x11, 0x0e}}, {'7', {0x1f, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0e, 0x11, 0x11, 0x0e, 0x11, 0x11, 0x0e}}, {'9', {0x0e, 0x11, 0x11, 0x0f, 0x01, 0x02, 0x0c}},
    {':', {0x00, 0x0c, 0x0c, 0x00, 0x0c, 0x0c, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x0c}},
    {'#', {0x0a, 0x0a, 0x1f, 0x0a, 0x1f, 0x0a, 0x0a}}, {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const uint8_t *glyphRows(char ch)
{
    for (const Glyph &g : kFont)
        if (g.ch == ch)
            return g.rows;
    return kFont[sizeof(kFont) / sizeof(kFont[0]) - 1].rows;
}

inline uint8_t clampByte(int v)
{
    return uint8_t(std::min(255, std::max(0, v)));
}

void fillRect(uint8_t *plane, int stride, int planeW, int planeH, int x0, int y0, int w, int h, uint8_t value)
{
    const int x1 = std::min(planeW, x0 + w), y1 = std::min(planeH, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    for (int y = y0; y < y1; ++y)
        if (x1 > x0)
            std::memset(plane + size_t(y) * stride + x0, value, size_t(x1 - x0));
}

} // namespace

void renderTestPattern(int width, int height, int64_t frameIndex, uint8_t *i420, int64_t frameDuration100ns)
{
    if (!i420 || width < 2 || height < 2)
        return;
    const int cw = width / 2, ch = height / 2;
    uint8_t *py = i420;
    uint8_t *pu = py + size_t(width) * height;
    uint8_t *pv = pu + size_t(cw) * ch;
    const double twoPi = 6.283185307179586;
    const int64_t n = frameIndex < 0 ? 0 : frameIndex;

    // Luma: a horizontal wave moving 4 pixels per frame, brighter towards
    // the bottom. Tables keep the per-pixel work to two lookups.
    thread_local std::vector<int> column, ramp, rowScale, chromaColumn;
    column.resize(size_t(width));
    ramp.resize(size_t(width));
    rowScale.resize(size_t(height));
    chromaColumn.resize(size_t(cw));
    const double period = std::max(2, width / 2);
    for (int x = 0; x < width; ++x) {
        column[size_t(x)] = int(std::lround(50.0 * (1.0 + std::sin(twoPi * double((x + 4 * n) % int64_t(period)) / period))));
        ramp[size_t(x)] = 60 + (x * 40) / width;
    }
    for (int y = 0; y < height; ++y)
        rowScale[size_t(y)] = 154 + (102 * y) / height; // 0.6 .. 1.0 in 1/256
    for (int y = 0; y < height; ++y) {
        uint8_t *row = py + size_t(y) * width;
        const int s = rowScale[size_t(y)];
        const int *col = column.data();
        const int *rp = ramp.data();
        for (int x = 0; x < width; ++x)
            row[x] = uint8_t(rp[x] + ((col[x] * s) >> 8));
    }
    // Chroma: slow waves, the red-difference one drifting with time.
    for (int x = 0; x < cw; ++x)
        chromaColumn[size_t(x)] = int(std::lround(35.0 * std::cos(twoPi * double(x + 2 * n) / double(std::max(1, cw)))));
    const double vPhase = double(n % 600) * twoPi / 600.0;
    for (int y = 0; y < ch; ++y) {
        uint8_t *urow = pu + size_t(y) * cw;
        uint8_t *vrow = pv + size_t(y) * cw;
        const int vValue = 128 + int(std::lround(35.0 * std::sin(twoPi * y / std::max(1, ch) + vPhase)));
        for (int x = 0; x < cw; ++x) {
            urow[x] = clampByte(128 + chromaColumn[size_t(x)]);
            vrow[x] = clampByte(vValue);
        }
    }

    // A box crossing the picture, 8 pixels per frame, on even coordinates.
    const int box = std::max(2, (height / 6) & ~1);
    const int travel = std::max(2, width - box);
    const int bx = int((n * 8) % travel) & ~1;
    const int by = ((height - box) / 2) & ~1;
    fillRect(py, width, width, height, bx, by, box, box, 200);
    fillRect(pu, cw, cw, ch, bx / 2, by / 2, box / 2, box / 2, 90);
    fillRect(pv, cw, cw, ch, bx / 2, by / 2, box / 2, box / 2, 190);

    // Frame number and stream time on a dark band.
    const int64_t ms = frameDuration100ns > 0 ? n * frameDuration100ns / 10000 : 0;
    char text[48];
    std::snprintf(text, sizeof text, "#%06lld %02lld:%02lld.%03lld", static_cast<long long>(n),
                  static_cast<long long>(ms / 60000), static_cast<long long>((ms / 1000) % 60),
                  static_cast<long long>(ms % 1000));
    const int scale = std::max(1, height / 180);
    const int margin = 2 * scale;
    const int len = int(std::strlen(text));
    const int bandW = (len * 6 + 1) * scale + 2 * margin, bandH = 7 * scale + 2 * margin;
    const int bandX = 8 & ~1, bandY = 8 & ~1;
    fillRect(py, width, width, height, bandX, bandY, bandW, bandH, 20);
    fillRect(pu, cw, cw, ch, bandX / 2, bandY / 2, (bandW + 1) / 2, (bandH + 1) / 2, 128);
    fillRect(pv, cw, cw, ch, bandX / 2, bandY / 2, (bandW + 1) / 2, (bandH + 1) / 2, 128);
    for (int i = 0; i < len; ++i) {
        const uint8_t *rows = glyphRows(text[i]);
        const int gx = bandX + margin + i * 6 * scale;
        for (int r = 0; r < 7; ++r)
            for (int c = 0; c < 5; ++c)
                if (rows[r] & (0x10 >> c))
                    fillRect(py, width, width, height, gx + c * scale, bandY + margin + r * scale, scale, scale, 235);
    }
}

} // namespace kxcam
