// V4L2 backend: /dev/video* capture nodes, MJPG and YUYV, mmap streaming.

#include "KxCameraBackends_p.h"

#include <QDebug>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace kxcam {
namespace v4l2 {

namespace {

int xioctl(int fd, unsigned long request, void *arg)
{
    int r;
    do {
        r = ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

std::string sysfsName(const std::string &node)
{
    const std::string path = "/sys/class/video4linux/" + node + "/name";
    FILE *f = std::fopen(path.c_str(), "re");
    if (!f)
        return std::string();
    char buf[256] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string name(buf, n);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.pop_back();
    return name;
}

/// Whether fd is a video capture node (not metadata or output).
bool isCaptureNode(int fd, std::string *card)
{
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1)
        return false;
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING))
        return false;
    if (card)
        *card = std::string(reinterpret_cast<const char *>(cap.card),
                            strnlen(reinterpret_cast<const char *>(cap.card), sizeof cap.card));
    return true;
}

class V4l2Device : public CaptureDevice {
public:
    V4l2Device(DeviceInfo info, int fd) : m_info(std::move(info)), m_fd(fd) {}
    ~V4l2Device() override
    {
        stop();
        ::close(m_fd);
    }

    const DeviceInfo &info() const override { return m_info; }

    std::vector<Capability> capabilities() override
    {
        std::vector<Capability> caps;
        for (uint32_t i = 0;; ++i) {
            v4l2_fmtdesc fmt{};
            fmt.index = i;
            fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(m_fd, VIDIOC_ENUM_FMT, &fmt) == -1)
                break;
            const uint32_t code = fourccFromV4l2(fmt.pixelformat);
            if (!code)
                continue;
            for (uint32_t s = 0;; ++s) {
                v4l2_frmsizeenum size{};
                size.index = s;
                size.pixel_format = fmt.pixelformat;
                if (xioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &size) == -1)
                    break;
                uint32_t w, h;
                if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                    w = size.discrete.width;
                    h = size.discrete.height;
                } else { // stepwise or continuous: offer the largest size
                    w = size.stepwise.max_width;
                    h = size.stepwise.max_height;
                }
                Capability cap{Capability::KindVideoInfo, int(w), int(h), 0, code, {}};
                cap.frameDurations100ns = frameDurations(fmt.pixelformat, w, h);
                cap.frameDuration100ns = cap.frameDurations100ns.empty() ? 0 : cap.frameDurations100ns.front();
                caps.push_back(cap);
                if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE)
                    break;
            }
        }
        return caps;
    }

    int bytesPerLine() const override { return m_bytesPerLine; }

    bool setFormat(const Capability &format) override
    {
        if (m_thread.joinable())
            return false;
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = uint32_t(format.width);
        fmt.fmt.pix.height = uint32_t(format.height);
        fmt.fmt.pix.pixelformat = v4l2FromFourcc(format.fourcc);
        fmt.fmt.pix.field = V4L2_FIELD_ANY;
        if (!fmt.fmt.pix.pixelformat || xioctl(m_fd, VIDIOC_S_FMT, &fmt) == -1) {
            qWarning() << "kxcam::V4l2Device::setFormat" << "VIDIOC_S_FMT failed:" << errnoText(errno);
            return false;
        }
        if (int(fmt.fmt.pix.width) != format.width || int(fmt.fmt.pix.height) != format.height ||
            fmt.fmt.pix.pixelformat != v4l2FromFourcc(format.fourcc)) {
            qWarning() << "kxcam::V4l2Device::setFormat" << "driver chose" << fmt.fmt.pix.width
                       << fmt.fmt.pix.height;
            return false;
        }
        if (format.frameDuration100ns > 0) {
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            parm.parm.capture.timeperframe.numerator = uint32_t(format.frameDuration100ns);
            parm.parm.capture.timeperframe.denominator = 10000000;
            if (xioctl(m_fd, VIDIOC_S_PARM, &parm) == -1) // not every driver sets the rate
                qInfo() << "kxcam::V4l2Device::setFormat" << "VIDIOC_S_PARM:" << errnoText(errno);
        }
        // Rows of uncompressed samples may be padded beyond width * 2.
        m_bytesPerLine = fmt.fmt.pix.pixelformat == v4l2FromFourcc(kFourccYUY2) ? int(fmt.fmt.pix.bytesperline) : 0;
        m_formatSet = true;
        return true;
    }

    bool start(SampleSink *sink) override
    {
        if (!sink || !m_formatSet || m_thread.joinable())
            return false;
        if (!mapBuffers())
            return false;
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(m_fd, VIDIOC_STREAMON, &type) == -1) {
            qWarning() << "kxcam::V4l2Device::start" << "VIDIOC_STREAMON failed:" << errnoText(errno);
            unmapBuffers();
            return false;
        }
        m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_stopFd == -1) {
            qWarning() << "kxcam::V4l2Device::start" << "eventfd failed:" << errnoText(errno);
            xioctl(m_fd, VIDIOC_STREAMOFF, &type);
            unmapBuffers();
            return false;
        }
        m_streaming = true;
        m_thread = std::thread(&V4l2Device::run, this, sink);
        return true;
    }

    void stop() override
    {
        if (!m_thread.joinable())
            return;
        const uint64_t one = 1;
        if (::write(m_stopFd, &one, sizeof one) != sizeof one)
            qWarning() << "kxcam::V4l2Device::stop" << "eventfd write failed:" << errnoText(errno);
        m_thread.join();
        ::close(m_stopFd);
        m_stopFd = -1;
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(m_fd, VIDIOC_STREAMOFF, &type) == -1 && errno != ENODEV)
            qWarning() << "kxcam::V4l2Device::stop" << "VIDIOC_STREAMOFF failed:" << errnoText(errno);
        unmapBuffers();
        m_streaming = false;
    }

    bool isStreaming() const override { return m_streaming; }
    kxsync::Event *eventSignal() override { return m_events.signal(); }
    bool takeEvent(DeviceEvent *event) override { return m_events.take(event); }

private:
    struct Mapping {
        void *start = MAP_FAILED;
        size_t length = 0;
    };

    // The frame durations offered at one size, shortest first (a stepwise
    // range counts by its two ends).
    std::vector<int64_t> frameDurations(uint32_t pixelformat, uint32_t w, uint32_t h)
    {
        std::vector<int64_t> durations;
        for (uint32_t i = 0;; ++i) {
            v4l2_frmivalenum ival{};
            ival.index = i;
            ival.pixel_format = pixelformat;
            ival.width = w;
            ival.height = h;
            if (xioctl(m_fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) == -1)
                break;
            const bool discrete = ival.type == V4L2_FRMIVAL_TYPE_DISCRETE;
            for (const v4l2_fract &f : {discrete ? ival.discrete : ival.stepwise.min, ival.stepwise.max}) {
                const int64_t d = frameDurationFromInterval(f.numerator, f.denominator);
                if (d > 0 && std::find(durations.begin(), durations.end(), d) == durations.end())
                    durations.push_back(d);
                if (discrete)
                    break;
            }
            if (!discrete)
                break;
        }
        std::sort(durations.begin(), durations.end());
        return durations;
    }

    bool mapBuffers()
    {
        v4l2_requestbuffers req{};
        req.count = 4;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (xioctl(m_fd, VIDIOC_REQBUFS, &req) == -1 || req.count < 2) {
            qWarning() << "kxcam::V4l2Device::start" << "VIDIOC_REQBUFS failed:" << errnoText(errno);
            return false;
        }
        m_buffers.assign(req.count, Mapping());
        for (uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            buf.index = i;
            if (xioctl(m_fd, VIDIOC_QUERYBUF, &buf) == -1) {
                qWarning() << "kxcam::V4l2Device::start" << "VIDIOC_QUERYBUF failed:" << errnoText(errno);
                unmapBuffers();
                return false;
            }
            m_buffers[i].length = buf.length;
            m_buffers[i].start = mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buf.m.offset);
            if (m_buffers[i].start == MAP_FAILED || xioctl(m_fd, VIDIOC_QBUF, &buf) == -1) {
                qWarning() << "kxcam::V4l2Device::start" << "mmap/VIDIOC_QBUF failed:" << errnoText(errno);
                unmapBuffers();
                return false;
            }
        }
        return true;
    }

    void unmapBuffers()
    {
        for (Mapping &m : m_buffers)
            if (m.start != MAP_FAILED)
                munmap(m.start, m.length);
        m_buffers.clear();
        v4l2_requestbuffers req{};
        req.count = 0;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        xioctl(m_fd, VIDIOC_REQBUFS, &req);
    }

    void run(SampleSink *sink)
    {
        kxsync::setCurrentThreadName("kx-capture");
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
            const int r = poll(fds, 2, 1000);
            if (r == -1) {
                if (errno == EINTR)
                    continue;
                m_events.push(DeviceEvent::StreamError, std::string("poll: ") + std::strerror(errno));
                break;
            }
            if (fds[1].revents)
                break;
            if (r == 0)
                continue; // a camera may pause; absence is judged by the consumer
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                m_events.push(DeviceEvent::DeviceLost, "device gone");
                break;
            }
            v4l2_buffer buf{};
            buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buf.memory = V4L2_MEMORY_MMAP;
            if (xioctl(m_fd, VIDIOC_DQBUF, &buf) == -1) {
                if (errno == EAGAIN)
                    continue;
                lostOrError("VIDIOC_DQBUF", errno);
                break;
            }
            if (buf.index < m_buffers.size() && !(buf.flags & V4L2_BUF_FLAG_ERROR))
                sink->onSample(static_cast<const uint8_t *>(m_buffers[buf.index].start), int(buf.bytesused),
                               captureMoment(buf));
            if (xioctl(m_fd, VIDIOC_QBUF, &buf) == -1) {
                lostOrError("VIDIOC_QBUF", errno);
                break;
            }
        }
        m_streaming = false;
    }

    // The driver's stamp of a buffer on CLOCK_MONOTONIC (uvcvideo: the start
    // of the frame), or 0 for a driver that stamps on another clock.
    static int64_t captureMoment(const v4l2_buffer &buf)
    {
        if ((buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC)
            return 0;
        return int64_t(buf.timestamp.tv_sec) * 1000000 + int64_t(buf.timestamp.tv_usec);
    }

    void lostOrError(const char *call, int code)
    {
        if (code == ENODEV || code == EIO)
            m_events.push(DeviceEvent::DeviceLost, std::string(call) + ": " + std::strerror(code));
        else
            m_events.push(DeviceEvent::StreamError, std::string(call) + ": " + std::strerror(code));
    }

    DeviceInfo m_info;
    int m_fd;
    int m_stopFd = -1;
    bool m_formatSet = false;
    int m_bytesPerLine = 0;
    std::vector<Mapping> m_buffers;
    std::thread m_thread;
    std::atomic<bool> m_streaming{false};
    EventQueue m_events;
};

} // namespace

std::vector<DeviceInfo> enumerate(int *status)
{
    std::vector<std::pair<int, std::string>> nodes;
    if (DIR *dir = opendir("/dev")) {
        while (dirent *e = readdir(dir)) {
            int n = -1;
            char tail = 0;
            if (std::sscanf(e->d_name, "video%d%c", &n, &tail) == 1 && n >= 0)
                nodes.emplace_back(n, e->d_name);
        }
        closedir(dir);
    } else {
        qWarning() << "kxcam::CaptureDevice::enumerate" << "cannot list /dev:" << errnoText(errno);
        if (status)
            *status = -1;
        return {};
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<DeviceInfo> list;
    for (const auto &node : nodes) {
        DeviceInfo info;
        info.devicePath = "/dev/" + node.second;
        const int fd = ::open(info.devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd == -1) {
            // Listed but never used, like a device whose path cannot be read.
            info.friendlyName = sysfsName(node.second);
            info.pathReadable = false;
            list.push_back(info);
            continue;
        }
        std::string card;
        const bool capture = isCaptureNode(fd, &card);
        ::close(fd);
        if (!capture)
            continue;
        info.friendlyName = card;
        info.pathReadable = true;
        list.push_back(info);
    }
    if (status)
        *status = 0;
    return list;
}

std::unique_ptr<CaptureDevice> open(const DeviceInfo &device, std::string *error)
{
    auto fail = [&](const std::string &text) -> std::unique_ptr<CaptureDevice> {
        if (error)
            *error = text;
        qWarning() << "kxcam::CaptureDevice::open" << QString::fromStdString(device.devicePath)
                   << QString::fromStdString(text);
        return nullptr;
    };
    if (device.devicePath.rfind("/dev/video", 0) != 0)
        return fail("not a video device path");
    const int fd = ::open(device.devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        return fail(std::string("open: ") + std::strerror(errno));
    if (!isCaptureNode(fd, nullptr)) {
        ::close(fd);
        return fail("not a video capture device");
    }
    return std::unique_ptr<CaptureDevice>(new V4l2Device(device, fd));
}

} // namespace v4l2
} // namespace kxcam
