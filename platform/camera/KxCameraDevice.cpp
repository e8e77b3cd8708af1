// Backend selection: KX_VIRTUAL_CAMERA switches the whole layer to virtual
// devices, so a machine without the camera unit runs unchanged binaries.

#include "KxCameraBackends_p.h"

#include <chrono>
#include <cstdlib>

namespace kxcam {

static std::string virtualConfig()
{
    const char *value = std::getenv("KX_VIRTUAL_CAMERA");
    return value ? std::string(value) : std::string();
}

std::vector<DeviceInfo> CaptureDevice::enumerate(int *status)
{
    const std::string config = virtualConfig();
    if (!config.empty())
        return virtualcam::enumerate(config, status);
    return v4l2::enumerate(status);
}

std::unique_ptr<CaptureDevice> CaptureDevice::open(const DeviceInfo &device, std::string *error)
{
    if (device.devicePath.rfind(virtualcam::kPathPrefix, 0) == 0) {
        const std::string config = virtualConfig();
        if (config.empty()) {
            if (error)
                *error = "virtual device without KX_VIRTUAL_CAMERA";
            return nullptr;
        }
        return virtualcam::open(config, device, error);
    }
    return v4l2::open(device, error);
}

uint32_t fourccFromV4l2(uint32_t pixelformat)
{
    if (pixelformat == fourcc('M', 'J', 'P', 'G'))
        return kFourccMJPG;
    if (pixelformat == fourcc('Y', 'U', 'Y', 'V'))
        return kFourccYUY2;
    return 0;
}

uint32_t v4l2FromFourcc(uint32_t code)
{
    if (code == kFourccMJPG)
        return fourcc('M', 'J', 'P', 'G');
    if (code == kFourccYUY2)
        return fourcc('Y', 'U', 'Y', 'V');
    return 0;
}

int64_t frameDurationFromInterval(uint32_t numerator, uint32_t denominator)
{
    if (numerator == 0 || denominator == 0)
        return 0;
    return (int64_t(numerator) * 10000000 + denominator / 2) / denominator;
}

std::string fourccText(uint32_t code)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (8 * i)) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

int64_t monotonicUs()
{
    // libstdc++'s steady_clock reads CLOCK_MONOTONIC.
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace kxcam
