// The preview layer paints into a real X window (the test runner's Xvfb):
// the window is read back with GetImage and the picture checked pixel by
// pixel where it must be, scaled and letterboxed, and the background where
// the picture does not reach.

#include "display/KxDisplay.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// An X server without -noreset resets when its last client leaves, and
// refuses connections meanwhile. One connection held for the whole run keeps
// it up between the test's own connections.
class HoldServer : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (!std::getenv("DISPLAY"))
            return;
        for (int attempt = 0; attempt < 50; ++attempt) {
            m_conn = xcb_connect(nullptr, nullptr);
            if (!xcb_connection_has_error(m_conn))
                return;
            xcb_disconnect(m_conn);
            m_conn = nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    void TearDown() override
    {
        if (m_conn)
            xcb_disconnect(m_conn);
    }

private:
    xcb_connection_t *m_conn = nullptr;
};
const auto *const kHoldServer = ::testing::AddGlobalTestEnvironment(new HoldServer);

struct Rgb {
    int r, g, b;
};

// Four flat quadrants: red, green / blue, white. Flat areas survive YUV
// subsampling and bilinear scaling, so their centres can be compared.
const Rgb kQuadrants[4] = {{220, 30, 30}, {30, 200, 40}, {40, 50, 210}, {235, 235, 235}};

std::vector<uint8_t> quadrantPicture(int w, int h)
{
    std::vector<uint8_t> argb(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Rgb &c = kQuadrants[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)];
            uint8_t *p = &argb[(size_t(y) * w + x) * 4];
            p[0] = uint8_t(c.b);
            p[1] = uint8_t(c.g);
            p[2] = uint8_t(c.r);
            p[3] = 255;
        }
    }
    std::vector<uint8_t> i420(size_t(w) * h * 3 / 2);
    uint8_t *y = i420.data();
    uint8_t *u = y + size_t(w) * h;
    uint8_t *v = u + size_t(w / 2) * (h / 2);
    libyuv::ARGBToI420(argb.data(), w * 4, y, w, u, w / 2, v, w / 2, w, h);
    return i420;
}

class XWindow {
public:
    explicit XWindow(int w, int h)
    {
        conn = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(conn))
            return;
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        window = xcb_generate_id(conn);
        // Override-redirect keeps window managers out, and the window is
        // raised before each read-back: other tests may share the server.
        const uint32_t values[] = {0x000000, 1};
        xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, screen->root, 10, 10, uint16_t(w), uint16_t(h), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(conn, window);
        sync();
    }
    ~XWindow()
    {
        if (conn) {
            if (window)
                xcb_destroy_window(conn, window);
            xcb_disconnect(conn);
        }
    }
    bool ok() const { return conn && !xcb_connection_has_error(conn) && window; }
    void sync() { free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr)); }
    void resize(int w, int h)
    {
        const uint32_t values[] = {uint32_t(w), uint32_t(h)};
        xcb_configure_window(conn, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
        sync();
    }
    void raise()
    {
        const uint32_t values[] = {XCB_STACK_MODE_ABOVE};
        xcb_configure_window(conn, window, XCB_CONFIG_WINDOW_STACK_MODE, values);
        sync();
    }
    void destroy()
    {
        xcb_destroy_window(conn, window);
        sync();
        window = 0;
    }
    // Pixels as 0x00RRGGBB, row by row.
    std::vector<uint32_t> grab(int w, int h)
    {
        std::vector<uint32_t> out;
        xcb_get_image_reply_t *img = xcb_get_image_reply(
            conn, xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, uint16_t(w), uint16_t(h), ~0u),
            nullptr);
        if (!img)
            return out;
        const int len = xcb_get_image_data_length(img);
        if (len >= w * h * 4) {
            out.resize(size_t(w) * h);
            std::memcpy(out.data(), xcb_get_image_data(img), out.size() * 4);
            for (uint32_t &p : out)
                p &= 0xffffffu;
        }
        free(img);
        return out;
    }

    xcb_connection_t *conn = nullptr;
    xcb_window_t window = 0;
};

bool near(uint32_t pixel, Rgb c, int tolerance)
{
    const int r = int((pixel >> 16) & 0xff), g = int((pixel >> 8) & 0xff), b = int(pixel & 0xff);
    return std::abs(r - c.r) <= tolerance && std::abs(g - c.g) <= tolerance && std::abs(b - c.b) <= tolerance;
}

std::string hex(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%06x", v);
    return buf;
}

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("DISPLAY"))
            GTEST_SKIP() << "no X display";
        ASSERT_EQ(InitDisplayDevEnv(), 0);
    }
};

struct FitCase {
    const char *name;
    int winW, winH;
    int picX, picY, picW, picH; // where the picture must land
};

class DisplayFit : public DisplayTest, public ::testing::WithParamInterface<FitCase> {};

// Background 0x00BBGGRR as the preview widget hands it over: here R=0x10,
// G=0x80, B=0xf0, which must come back as 0x1080f0.
constexpr uint32_t kBackgroundBgr = 0x00f08010;
constexpr Rgb kBackgroundRgb = {0x10, 0x80, 0xf0};

TEST_P(DisplayFit, PaintsScaledPictureAndBackground)
{
    const FitCase c = GetParam();
    XWindow win(c.winW, c.winH);
    ASSERT_TRUE(win.ok());
    KxDisplayDevice dev = CreateVideoDeivce(win.window, kBackgroundBgr);
    ASSERT_NE(dev, nullptr);
    const std::vector<uint8_t> pic = quadrantPicture(1280, 720);

    std::vector<uint32_t> px;
    // Another test's window may overlap ours for a moment; paint and read
    // back again a few times before calling it a failure.
    bool good = false;
    std::string why;
    for (int attempt = 0; attempt < 3 && !good; ++attempt) {
        win.raise();
        ASSERT_EQ(DisplayYv12Video(dev, pic.data(), 1280, 720), 0);
        win.sync();
        px = win.grab(c.winW, c.winH);
        ASSERT_EQ(px.size(), size_t(c.winW) * c.winH);
        good = true;
        for (int q = 0; q < 4 && good; ++q) {
            const int x = c.picX + (q % 2 ? 3 : 1) * c.picW / 4;
            const int y = c.picY + (q / 2 ? 3 : 1) * c.picH / 4;
            const uint32_t p = px[size_t(y) * c.winW + x];
            if (!near(p, kQuadrants[q], 10)) {
                good = false;
                why = "quadrant " + std::to_string(q) + " at " + std::to_string(x) + "," + std::to_string(y) +
                      " is " + hex(p);
            }
        }
        // Bars: above/left of the picture, where there is room.
        if (good && c.picY > 0) {
            const uint32_t p = px[size_t(c.picY / 2) * c.winW + c.winW / 2];
            if (!near(p, kBackgroundRgb, 0)) {
                good = false;
                why = "top bar is " + hex(p);
            }
        }
        if (good && c.picX > 0) {
            const uint32_t p = px[size_t(c.winH / 2) * c.winW + c.picX / 2];
            if (!near(p, kBackgroundRgb, 0)) {
                good = false;
                why = "left bar is " + hex(p);
            }
        }
    }
    EXPECT_TRUE(good) << why;
    DestroyVideoDevice(dev);
}

INSTANTIATE_TEST_SUITE_P(Windows, DisplayFit,
                         ::testing::Values(FitCase{"same_size", 1280, 720, 0, 0, 1280, 720},
                                           FitCase{"half_size", 640, 360, 0, 0, 640, 360},
                                           FitCase{"letterbox", 640, 480, 0, 60, 640, 360},
                                           FitCase{"pillarbox", 800, 300, 134, 0, 532, 300},
                                           FitCase{"upscaled", 1600, 900, 0, 0, 1600, 900}),
                         [](const ::testing::TestParamInfo<FitCase> &i) { return std::string(i.param.name); });

TEST_F(DisplayTest, FollowsWindowResize)
{
    XWindow win(320, 180);
    ASSERT_TRUE(win.ok());
    KxDisplayDevice dev = CreateVideoDeivce(win.window, kBackgroundBgr);
    ASSERT_NE(dev, nullptr);
    const std::vector<uint8_t> pic = quadrantPicture(640, 360);
    ASSERT_EQ(DisplayYv12Video(dev, pic.data(), 640, 360), 0);
    win.resize(640, 480);
    bool good = false;
    for (int attempt = 0; attempt < 3 && !good; ++attempt) {
        win.raise();
        ASSERT_EQ(DisplayYv12Video(dev, pic.data(), 640, 360), 0);
        win.sync();
        const std::vector<uint32_t> px = win.grab(640, 480);
        ASSERT_EQ(px.size(), 640u * 480u);
        // The bottom-right quadrant now reaches the new size; the band below
        // the picture is background.
        good = near(px[size_t(60 + 270) * 640 + 480], kQuadrants[3], 10) &&
               near(px[size_t(450) * 640 + 320], kBackgroundRgb, 0);
    }
    EXPECT_TRUE(good);
    DestroyVideoDevice(dev);
}

TEST_F(DisplayTest, DestroyedWindowIsAnErrorNotACrash)
{
    XWindow win(320, 180);
    ASSERT_TRUE(win.ok());
    KxDisplayDevice dev = CreateVideoDeivce(win.window, 0);
    ASSERT_NE(dev, nullptr);
    const std::vector<uint8_t> pic = quadrantPicture(320, 180);
    EXPECT_EQ(DisplayYv12Video(dev, pic.data(), 320, 180), 0);
    win.destroy();
    EXPECT_LT(DisplayYv12Video(dev, pic.data(), 320, 180), 0);
    EXPECT_LT(DisplayYv12Video(dev, pic.data(), 320, 180), 0);
    DestroyVideoDevice(dev);
}

TEST_F(DisplayTest, RefusesBadTargetsAndArguments)
{
    EXPECT_EQ(CreateVideoDeivce(0, 0), nullptr);
    EXPECT_EQ(CreateVideoDeivce(0x7ffffff0u, 0), nullptr); // no such window
    DestroyVideoDevice(nullptr);

    XWindow win(64, 64);
    ASSERT_TRUE(win.ok());
    KxDisplayDevice dev = CreateVideoDeivce(win.window, 0);
    ASSERT_NE(dev, nullptr);
    const std::vector<uint8_t> pic = quadrantPicture(64, 64);
    EXPECT_LT(DisplayYv12Video(nullptr, pic.data(), 64, 64), 0);
    EXPECT_LT(DisplayYv12Video(dev, nullptr, 64, 64), 0);
    EXPECT_LT(DisplayYv12Video(dev, pic.data(), 0, 64), 0);
    EXPECT_LT(DisplayYv12Video(dev, pic.data(), 63, 64), 0);
    EXPECT_EQ(DisplayYv12Video(dev, pic.data(), 64, 64), 0);
    DestroyVideoDevice(dev);
}

TEST(DisplayEnv, NoServerIsReportedNotFatal)
{
    const char *saved = std::getenv("DISPLAY");
    const std::string keep = saved ? saved : "";
    unsetenv("DISPLAY");
    EXPECT_LT(InitDisplayDevEnv(), 0);
    EXPECT_EQ(CreateVideoDeivce(0x200001, 0), nullptr);
    setenv("DISPLAY", ":9999", 1); // nobody listens there
    EXPECT_LT(InitDisplayDevEnv(), 0);
    EXPECT_EQ(CreateVideoDeivce(0x200001, 0), nullptr);
    if (saved)
        setenv("DISPLAY", keep.c_str(), 1);
    else
        unsetenv("DISPLAY");
}

} // namespace
