// Feeds arbitrary bytes through the camera sample conversions: MJPEG
// (libyuv's libjpeg path) and YUY2 into packed I420, and the rotating,
// scaling convert. Every input goes through every path.
//
// The same bytes then go through the frame intake of an opened camera
// module (the sample receiver the streaming thread calls), for both formats.

#include "KxBooth.h"
#include "KxCamData.h"
#include "KxFrameBuffer.h"
#include "KxModuleCamera.h"
#include "KxVideoFrame.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

KxBooth *g_mjpeg = nullptr;
KxBooth *g_yuy2 = nullptr;
std::vector<uint8_t> g_out;
std::vector<uint8_t> g_frame;

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

KxBooth *openBooth(const wchar_t *pattern)
{
    auto *booth = new KxBooth;
    if (booth->open(pattern) != 0) {
        std::fprintf(stderr, "fuzz_convert: cannot open the virtual camera\n");
        std::abort();
    }
    return booth;
}

KxModuleCamera *g_intakeMjpeg = nullptr;
KxModuleCamera *g_intakeYuy2 = nullptr;

KxModuleCamera *openModule(const wchar_t *pattern)
{
    auto *module = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    module->init();
    module->setCameraName(pattern);
    if (module->preStart() < 0) {
        std::fprintf(stderr, "fuzz_convert: cannot open the camera module\n");
        std::abort();
    }
    return module;
}

void feedIntake(const uint8_t *data, size_t size)
{
    const int length = size > 0x7fffffff ? 0x7fffffff : int(size);
    for (KxModuleCamera *module : {g_intakeMjpeg, g_intakeYuy2}) {
        module->camData()->onYUVData(data, length);
        // A converted frame goes on towards the encoder; hand it back.
        for (KxFrameBuffer *frame : module->encoderQueue().drainFilled())
            module->encoderQueue().putFree(frame);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessages);
    const std::string path = "/tmp/kx-fuzz-convert-" + std::to_string(getpid()) + ".json";
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        std::abort();
    std::fputs(R"({"devices": [
      {"name": "MJ", "capabilities": [{"format": "MJPG", "width": 160, "height": 120, "fps": 15}]},
      {"name": "YU", "capabilities": [{"format": "YUY2", "width": 64, "height": 48, "fps": 15}]}]})",
               f);
    std::fclose(f);
    setenv("KX_VIRTUAL_CAMERA", path.c_str(), 1);
    g_mjpeg = openBooth(L"^MJ$");
    g_yuy2 = openBooth(L"^YU$");
    g_intakeMjpeg = openModule(L"^MJ$");
    g_intakeYuy2 = openModule(L"^YU$");
    std::remove(path.c_str());
    g_out.assign(160 * 120 * 3 / 2, 0);
    g_frame.assign(96 * 96 * 3 / 2, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int length = size > 0x7fffffff ? 0x7fffffff : int(size);
    g_mjpeg->convertI420(data, length, g_out.data(), int(g_out.size()));
    g_yuy2->convertI420(data, length, g_out.data(), int(g_out.size()));

    // The plane-wise convert, rotated by a code taken from the input.
    KxBooth *booth = (size & 1) ? g_yuy2 : g_mjpeg;
    booth->rotate(size > 0 ? data[0] & 3 : 0);
    KxVideoFrame frame;
    frame.width = 96;
    frame.height = 96;
    frame.y = g_frame.data();
    frame.u = g_frame.data() + 96 * 96;
    frame.v = g_frame.data() + 96 * 96 * 5 / 4;
    frame.strideY = 96;
    frame.strideU = frame.strideV = 48;
    booth->convert(data, length, &frame);

    feedIntake(data, size);
    return 0;
}
