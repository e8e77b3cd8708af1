#pragma once
// Internal to the camera layer: the two backends and the event queue they
// share.

#include "KxCameraDevice.h"

#include <deque>
#include <mutex>

namespace kxcam {

/// Device events queued by the streaming thread and taken by the owner.
class EventQueue {
public:
    void push(int code, const std::string &text)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(DeviceEvent{code, text});
        }
        m_signal.set();
    }
    bool take(DeviceEvent *event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_events.empty())
            return false;
        if (event)
            *event = m_events.front();
        m_events.pop_front();
        return true;
    }
    kxsync::Event *signal() { return &m_signal; }

private:
    std::mutex m_mutex;
    std::deque<DeviceEvent> m_events;
    kxsync::Event m_signal{false, false};
};

namespace v4l2 {
std::vector<DeviceInfo> enumerate(int *status);
std::unique_ptr<CaptureDevice> open(const DeviceInfo &device, std::string *error);
} // namespace v4l2

namespace virtualcam {
constexpr const char *kPathPrefix = "virtual:";
/// The devices described by the value of KX_VIRTUAL_CAMERA.
std::vector<DeviceInfo> enumerate(const std::string &config, int *status);
std::unique_ptr<CaptureDevice> open(const std::string &config, const DeviceInfo &device, std::string *error);
} // namespace virtualcam

} // namespace kxcam
