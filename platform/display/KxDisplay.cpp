// Preview painting into a native X11 window through XCB.
//
// Each device has its own X connection, so the display thread never shares
// Xlib/XCB state with Qt's connection and needs no global error handler:
// every request that can fail (the window may be resized or destroyed at
// any moment by the GUI thread) is a checked XCB request, and an X error is
// only a negative result here, never the end of the process.

#include "KxDisplay.h"

#include <xcb/xcb.h>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>

#include <QDebug>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Device {
    xcb_connection_t *conn = nullptr;
    xcb_window_t window = 0;
    xcb_gcontext_t gc = 0;
    uint8_t depth = 0;
    uint32_t backgroundArgb = 0xff000000u;
    size_t maxRequestBytes = 0;

    // Canvas of the window's size in the server's 32-bit pixel layout; the
    // picture is placed centred in it, the rest keeps the background.
    std::vector<uint8_t> canvas;
    int canvasWidth = 0;
    int canvasHeight = 0;

    // Scaled I420 picture, used when the window is not the picture's size.
    std::vector<uint8_t> scaled;
    std::vector<xcb_void_cookie_t> cookies;
};

const char *xErrorName(uint8_t code)
{
    switch (code) {
    case XCB_WINDOW: return "BadWindow";
    case XCB_MATCH: return "BadMatch";
    case XCB_DRAWABLE: return "BadDrawable";
    case XCB_G_CONTEXT: return "BadGC";
    case XCB_LENGTH: return "BadLength";
    case XCB_ALLOC: return "BadAlloc";
    case XCB_VALUE: return "BadValue";
    default: return "X error";
    }
}

const xcb_visualtype_t *findVisual(const xcb_setup_t *setup, xcb_visualid_t id, uint8_t *depthOut)
{
    for (xcb_screen_iterator_t s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
        for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(s.data); d.rem;
             xcb_depth_next(&d)) {
            for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem;
                 xcb_visualtype_next(&v)) {
                if (v.data->visual_id == id) {
                    *depthOut = d.data->depth;
                    return v.data;
                }
            }
        }
    }
    return nullptr;
}

const xcb_format_t *findPixmapFormat(const xcb_setup_t *setup, uint8_t depth)
{
    for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == depth)
            return f.data;
    }
    return nullptr;
}

// Largest rectangle of the picture's aspect ratio inside the window, with
// even sizes and offsets so that chroma planes stay aligned.
void fitRect(int picW, int picH, int winW, int winH, int *x, int *y, int *w, int *h)
{
    long long fitW = winW;
    long long fitH = (long long)winW * picH / picW;
    if (fitH > winH) {
        fitH = winH;
        fitW = (long long)winH * picW / picH;
    }
    *w = std::max(2, int(fitW) & ~1);
    *h = std::max(2, int(fitH) & ~1);
    if (*w > winW)
        *w = winW;
    if (*h > winH)
        *h = winH;
    *x = (winW - *w) / 2;
    *y = (winH - *h) / 2;
}

void fillCanvas(Device *dev)
{
    uint32_t *p = reinterpret_cast<uint32_t *>(dev->canvas.data());
    const size_t n = size_t(dev->canvasWidth) * size_t(dev->canvasHeight);
    for (size_t i = 0; i < n; ++i)
        p[i] = dev->backgroundArgb;
}

} // namespace

int InitDisplayDevEnv()
{
    const char *name = std::getenv("DISPLAY");
    if (!name || !*name) {
        qWarning() << "InitDisplayDevEnv" << "DISPLAY is not set, no preview";
        return -1;
    }
    xcb_connection_t *conn = xcb_connect(nullptr, nullptr);
    const int err = xcb_connection_has_error(conn);
    xcb_disconnect(conn);
    if (err) {
        qWarning() << "InitDisplayDevEnv" << "cannot reach the X server" << name << "error" << err;
        return -2;
    }
    return 0;
}

KxDisplayDevice CreateVideoDeivce(uint32_t window, uint32_t background)
{
    if (window == 0) {
        qWarning() << "CreateVideoDeivce" << "no window";
        return nullptr;
    }
    xcb_connection_t *conn = xcb_connect(nullptr, nullptr);
    if (int err = xcb_connection_has_error(conn)) {
        qWarning() << "CreateVideoDeivce" << "xcb_connect failed, error" << err;
        xcb_disconnect(conn);
        return nullptr;
    }
    const xcb_setup_t *setup = xcb_get_setup(conn);

    xcb_generic_error_t *error = nullptr;
    xcb_get_window_attributes_reply_t *attrs =
        xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, window), &error);
    if (!attrs) {
        qWarning() << "CreateVideoDeivce" << "window" << Qt::hex << window << Qt::dec
                   << xErrorName(error ? error->error_code : 0);
        free(error);
        xcb_disconnect(conn);
        return nullptr;
    }
    const xcb_visualid_t visualId = attrs->visual;
    free(attrs);

    uint8_t depth = 0;
    const xcb_visualtype_t *visual = findVisual(setup, visualId, &depth);
    const xcb_format_t *format = visual ? findPixmapFormat(setup, depth) : nullptr;
    // The canvas is painted in libyuv's ARGB (B, G, R, A bytes), which is the
    // server's pixel when pixels are 32-bit little-endian with red on top.
    if (!visual || !format || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR ||
        visual->red_mask != 0xff0000u || visual->green_mask != 0xff00u || visual->blue_mask != 0xffu ||
        format->bits_per_pixel != 32 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        qWarning() << "CreateVideoDeivce" << "unsupported visual, depth" << depth;
        xcb_disconnect(conn);
        return nullptr;
    }

    auto *dev = new Device;
    dev->conn = conn;
    dev->window = window;
    dev->depth = depth;
    // 0x00BBGGRR in, 0xAARRGGBB out.
    dev->backgroundArgb = 0xff000000u | ((background & 0xffu) << 16) | (background & 0xff00u) |
                          ((background >> 16) & 0xffu);
    dev->maxRequestBytes = size_t(xcb_get_maximum_request_length(conn)) * 4u;
    dev->gc = xcb_generate_id(conn);
    error = xcb_request_check(conn, xcb_create_gc_checked(conn, dev->gc, window, 0, nullptr));
    if (error) {
        qWarning() << "CreateVideoDeivce" << "xcb_create_gc" << xErrorName(error->error_code);
        free(error);
        xcb_disconnect(conn);
        delete dev;
        return nullptr;
    }
    return dev;
}

int DisplayYv12Video(KxDisplayDevice device, const uint8_t *i420, int width, int height)
{
    auto *dev = static_cast<Device *>(device);
    if (!dev || !i420 || width < 2 || height < 2 || (width & 1) || (height & 1))
        return -1;
    if (xcb_connection_has_error(dev->conn))
        return -2;

    xcb_generic_error_t *error = nullptr;
    xcb_get_geometry_reply_t *geo = xcb_get_geometry_reply(dev->conn, xcb_get_geometry(dev->conn, dev->window), &error);
    if (!geo) {
        free(error);
        return -3; // window gone
    }
    const int winW = geo->width;
    const int winH = geo->height;
    free(geo);
    if (winW < 2 || winH < 2)
        return 0;

    if (winW != dev->canvasWidth || winH != dev->canvasHeight) {
        dev->canvasWidth = winW;
        dev->canvasHeight = winH;
        dev->canvas.assign(size_t(winW) * size_t(winH) * 4u, 0);
        fillCanvas(dev);
    }

    int x, y, w, h;
    fitRect(width, height, winW, winH, &x, &y, &w, &h);
    const int stride = winW * 4;
    uint8_t *dst = dev->canvas.data() + size_t(y) * size_t(stride) + size_t(x) * 4u;

    const uint8_t *srcY = i420;
    const uint8_t *srcU = srcY + size_t(width) * size_t(height);
    const uint8_t *srcV = srcU + size_t(width / 2) * size_t(height / 2);
    if (w == width && h == height) {
        libyuv::I420ToARGB(srcY, width, srcU, width / 2, srcV, width / 2, dst, stride, w, h);
    } else {
        const size_t ySize = size_t(w) * size_t(h);
        const size_t cSize = size_t(w / 2) * size_t(h / 2);
        if (dev->scaled.size() < ySize + 2 * cSize)
            dev->scaled.resize(ySize + 2 * cSize);
        uint8_t *dY = dev->scaled.data();
        uint8_t *dU = dY + ySize;
        uint8_t *dV = dU + cSize;
        libyuv::I420Scale(srcY, width, srcU, width / 2, srcV, width / 2, width, height, dY, w, dU, w / 2, dV,
                          w / 2, w, h, libyuv::kFilterBilinear);
        libyuv::I420ToARGB(dY, w, dU, w / 2, dV, w / 2, dst, stride, w, h);
    }

    // One put-image request may not exceed the server's request size, so a
    // large window goes out in bands of whole rows.
    const size_t header = sizeof(xcb_put_image_request_t);
    int rowsPerRequest = int((dev->maxRequestBytes > header ? dev->maxRequestBytes - header : 0) / size_t(stride));
    if (rowsPerRequest < 1)
        return -1;
    dev->cookies.clear();
    for (int row = 0; row < winH; row += rowsPerRequest) {
        const int rows = std::min(rowsPerRequest, winH - row);
        dev->cookies.push_back(xcb_put_image_checked(dev->conn, XCB_IMAGE_FORMAT_Z_PIXMAP, dev->window, dev->gc,
                                                     uint16_t(winW), uint16_t(rows), 0, int16_t(row), 0, dev->depth,
                                                     uint32_t(rows) * uint32_t(stride),
                                                     dev->canvas.data() + size_t(row) * size_t(stride)));
    }
    int result = 0;
    for (xcb_void_cookie_t cookie : dev->cookies) {
        if (xcb_generic_error_t *e = xcb_request_check(dev->conn, cookie)) {
            if (result == 0)
                qWarning() << "DisplayYv12Video" << "xcb_put_image" << xErrorName(e->error_code);
            free(e);
            result = -3;
        }
    }
    return result;
}

void DestroyVideoDevice(KxDisplayDevice device)
{
    auto *dev = static_cast<Device *>(device);
    if (!dev)
        return;
    if (!xcb_connection_has_error(dev->conn)) {
        xcb_free_gc(dev->conn, dev->gc);
        xcb_flush(dev->conn);
    }
    xcb_disconnect(dev->conn);
    delete dev;
}
