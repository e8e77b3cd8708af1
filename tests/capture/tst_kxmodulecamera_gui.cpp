// The camera module with a real preview window (the test runner's Xvfb):
// while it records, the display thread paints the camera picture into the
// window; the window is read back and compared with the picture the virtual
// camera sent last.

#include "KxCamData.h"
#include "KxCamDisplay.h"
#include "KxMediaTime.h"
#include "KxModuleCamera.h"
#include "KxModulePoolMgr.h"
#include "camera/KxCameraDevice.h"
#include "tst_kxcam_support.h"

#include <libyuv/convert.h>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

constexpr int kW = 1280;
constexpr int kH = 720;

class PreviewWindow {
public:
    PreviewWindow()
    {
        conn = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(conn))
            return;
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(conn)).data;
        window = xcb_generate_id(conn);
        const uint32_t values[] = {0x000000, 1};
        xcb_create_window(conn, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, kW, kH, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(conn, window);
        const uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        xcb_configure_window(conn, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
        free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    }
    ~PreviewWindow()
    {
        if (window)
            xcb_destroy_window(conn, window);
        xcb_disconnect(conn);
    }
    bool ok() const { return !xcb_connection_has_error(conn) && window; }

    // The window's luma plane.
    std::vector<uint8_t> grabLuma()
    {
        std::vector<uint8_t> y;
        xcb_get_image_reply_t *img = xcb_get_image_reply(
            conn, xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, kW, kH, ~0u), nullptr);
        if (!img)
            return y;
        if (xcb_get_image_data_length(img) >= kW * kH * 4) {
            y.resize(size_t(kW) * kH);
            std::vector<uint8_t> u(size_t(kW / 2) * (kH / 2)), v(u.size());
            libyuv::ARGBToI420(xcb_get_image_data(img), kW * 4, y.data(), kW, u.data(), kW / 2, v.data(), kW / 2,
                               kW, kH);
        }
        free(img);
        return y;
    }

    xcb_connection_t *conn = nullptr;
    xcb_window_t window = 0;
};

TEST(ModulePreview, PaintsTheCameraPictureIntoTheWindow)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "no X display";
    setenv("KX_VIRTUAL_CAMERA", "default", 1);
    PreviewWindow win;
    ASSERT_TRUE(win.ok());

    KxModulePoolMgr *pool = new KxModulePoolMgr;
    ASSERT_EQ(pool->init(), 0);
    kxtest::PacketCollector collector;
    pool->setLocalFileModule(&collector);
    ASSERT_EQ(pool->start(), 0);
    auto *module = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    ASSERT_EQ(module->init(), 0);
    module->setPoolModule(pool);
    ASSERT_EQ(module->setCameraScreen(int32_t(win.window), QColor(0, 0, 0)), 0);

    // Another test's window may cover ours for a moment while it paints;
    // record and compare again before calling it a failure.
    double best = 0;
    for (int attempt = 0; attempt < 2 && best <= 30.0; ++attempt) {
        KxMediaTime clock;
        clock.start();
        ASSERT_EQ(module->start(&clock), 0);
        ASSERT_TRUE(kxtest::waitFor([&] { return module->display()->shownFrames() >= 10; }, 20000));
        EXPECT_TRUE(module->display()->previewActive());
        ASSERT_EQ(module->stop(), 0);
        // Without rejected samples the last shown frame is the camera's
        // picture of that number.
        const int last = module->display()->lastShownIndex();
        const std::vector<uint8_t> shown = win.grabLuma();
        ASSERT_EQ(shown.size(), size_t(kW) * kH);
        std::vector<uint8_t> ref(size_t(kW) * kH * 3 / 2);
        for (int i = std::max(0, last - 1); i <= last + 1; ++i) {
            kxcam::renderTestPattern(kW, kH, i, ref.data());
            best = std::max(best, kxtest::psnrY(shown.data(), ref.data(), kW, kH));
        }
    }
    EXPECT_GT(best, 30.0) << "the window does not show the camera picture";
    EXPECT_EQ(module->destory(), 0);
    pool->stop();
    pool->destory();
    unsetenv("KX_VIRTUAL_CAMERA");
}

} // namespace
