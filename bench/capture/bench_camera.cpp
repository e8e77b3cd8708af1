// Camera path benchmark: the camera module over the virtual camera at
// 1280x720 MJPEG, compared with the ffmpeg command line doing the same work
// (decode the same MJPEG pictures, encode with libx264 at 2000 kbit/s and
// GOP 12, library defaults otherwise).
//
//   bench_camera [--seconds N] [--burst-seconds N] [--ffmpeg PATH]
//
// (a) paced at 15 fps for N seconds (default 60): CPU seconds per recorded
//     second, frames dropped, resident memory at 10 s and at the end;
// (b) unthrottled for --burst-seconds (default 10): the highest frame rate
//     the pipeline sustains.
// The same pictures go through `ffmpeg -re` for (a) and plain ffmpeg for
// (b); both figures and their ratio are printed.
//
// The pictures are encoded to JPEG once, before measuring, and the virtual
// camera loops that file, so the camera's own cost is only handing out the
// bytes; the benchmark measures the pipeline.

#include "IKxMediaPacket.h"
#include "IKxModuleLocalFile.h"
#include "KxCamData.h"
#include "KxCamDisplay.h"
#include "KxCamEncoder.h"
#include "KxMediaTime.h"
#include "KxModuleCamera.h"
#include "KxModulePoolMgr.h"
#include "camera/KxCameraDevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 15;
constexpr int kLoopFrames = 150; // ten seconds of distinct pictures

using Clock = std::chrono::steady_clock;

double cpuSeconds(int who)
{
    rusage ru{};
    getrusage(who, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long residentKb()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Counts what the pool hands to the file side, and drops it.
class CountingSink : public IKxModuleLocalFile {
public:
    int init() override { return 0; }
    int setCloundModule(IKxModuleClound *) override { return 0; }
    void registerCallback(KxToLocalFileCbk *) override {}
    int start(const KxLocalFileConfig &) override { return 0; }
    uint8_t inputMediaPacket(IKxMediaPacket *packet) override
    {
        ++packets;
        bytes += packet->getSize();
        return 0;
    }
    int stop() override { return 0; }
    int destory() override { return 0; }

    std::atomic<int> packets{0};
    std::atomic<long long> bytes{0};
};

// Times the camera's samples as the intake reports them (streaming thread).
class SampleClock : public IKxModuleCamera::ICallBack {
public:
    void error(int, const char *) override {}
    void stopped() override {}
    void statistics(int intake, int) override
    {
        // Also called from the encode thread (with an older intake count).
        std::lock_guard<std::mutex> guard(m_mutex);
        if (intake <= m_last)
            return; // an encoder report
        m_last = intake;
        const auto now = Clock::now();
        if (intake == 1)
            first = now;
        last = now;
    }
    Clock::time_point first{};
    Clock::time_point last{};

private:
    std::mutex m_mutex;
    int m_last = 0;
};

// CPU seconds of this process's live threads, summed by thread name.
std::vector<std::pair<std::string, double>> cpuByThread()
{
    std::vector<std::pair<std::string, double>> out;
    const long ticks = sysconf(_SC_CLK_TCK);
    const QStringList tasks = QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        QFile f("/proc/self/task/" + tid + "/stat");
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const int open = stat.indexOf('('), close = stat.lastIndexOf(')');
        if (open < 0 || close < 0)
            continue;
        const std::string name = stat.mid(open + 1, close - open - 1).toStdString();
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        const double cpu = double(fields[11].toLongLong() + fields[12].toLongLong()) / double(ticks);
        bool merged = false;
        for (auto &entry : out) {
            if (entry.first == name) {
                entry.second += cpu;
                merged = true;
            }
        }
        if (!merged)
            out.emplace_back(name, cpu);
    }
    return out;
}

struct PipelineResult {
    double seconds = 0;
    double streamSeconds = 0;
    double cpu = 0;
    int received = 0;
    int converted = 0;
    int packets = 0;
    int leftAtStop = 0;
    long rssAt10s = -1;
    long rssAtEnd = -1;
    std::vector<long> rssEvery10s;
    int intervals = 0; // camera intervals between the first and the last sample
    std::vector<std::pair<std::string, double>> threads;
    long long bytes = 0;
};

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

PipelineResult runPipeline(const QString &configPath, double seconds)
{
    setenv("KX_VIRTUAL_CAMERA", configPath.toUtf8().constData(), 1);
    PipelineResult r;
    auto *pool = new KxModulePoolMgr;
    pool->init();
    CountingSink sink;
    pool->setLocalFileModule(&sink);
    pool->start();
    auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    camera->init();
    camera->setPoolModule(pool);
    camera->config(1, 2000);
    SampleClock samples;
    camera->registerCallback(&samples);
    KxMediaTime clock;
    if (camera->preStart() < 0) {
        fprintf(stderr, "bench_camera: the virtual camera did not open\n");
        std::exit(2);
    }
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    clock.start();
    if (camera->start(&clock) < 0) {
        fprintf(stderr, "bench_camera: the camera module did not start\n");
        std::exit(2);
    }
    const auto streaming = Clock::now(); // the camera's first interval
    int nextSample = 10;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        if (elapsed >= nextSample) {
            r.rssEvery10s.push_back(residentKb());
            if (nextSample == 10)
                r.rssAt10s = r.rssEvery10s.back();
            nextSample += 10;
        }
        if (elapsed >= seconds)
            break;
    }
    r.rssAtEnd = residentKb();
    r.threads = cpuByThread();
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.streamSeconds = std::chrono::duration<double>(Clock::now() - streaming).count();
    camera->stop();
    // Wait (bounded) for the pool to hand over the drained packets.
    const int expected = camera->camData()->convertedCount() - camera->framesLeftAtStop();
    for (int i = 0; i < 200 && sink.packets.load() < expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    r.cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    r.received = camera->camData()->receivedCount();
    r.converted = camera->camData()->convertedCount();
    r.leftAtStop = camera->framesLeftAtStop();
    r.intervals = int(std::llround(std::chrono::duration<double>(samples.last - samples.first).count() * kFps)) + 1;
    r.packets = sink.packets.load();
    r.bytes = sink.bytes.load();
    camera->destory();
    pool->stop();
    pool->destory();
    return r;
}

// The pipeline without the camera's pacing: the intake is fed the same
// samples back to back from this thread, which stands in for the streaming
// thread (the camera is opened for its 15 fps format but does not stream).
PipelineResult runBurst(const QString &configPath, const QByteArray &mjpeg, double seconds)
{
    setenv("KX_VIRTUAL_CAMERA", configPath.toUtf8().constData(), 1);
    PipelineResult r;
    const std::vector<std::pair<size_t, size_t>> pictures = kxcam::splitJpegStream(
        reinterpret_cast<const uint8_t *>(mjpeg.constData()), size_t(mjpeg.size()));
    auto *pool = new KxModulePoolMgr;
    pool->init();
    CountingSink sink;
    pool->setLocalFileModule(&sink);
    pool->start();
    auto *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
    camera->init();
    camera->setPoolModule(pool);
    camera->config(1, 2000);
    if (camera->preStart() < 0 || pictures.empty()) {
        fprintf(stderr, "bench_camera: the virtual camera did not open\n");
        std::exit(2);
    }
    camera->stopEvent()->reset();
    camera->camData()->reset();
    camera->encoder()->start();
    camera->display()->start();
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    for (size_t n = 0;; ++n) {
        const auto &pic = pictures[n % pictures.size()];
        camera->camData()->onYUVData(reinterpret_cast<const uint8_t *>(mjpeg.constData()) + pic.first,
                                     int(pic.second));
        if ((n & 7) == 0 && std::chrono::duration<double>(Clock::now() - t0).count() >= seconds)
            break;
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    camera->stopEvent()->set();
    camera->display()->stop();
    camera->encoder()->stop();
    const int expected = camera->camData()->convertedCount() - camera->encoderQueue().filledCount() -
                         camera->displayQueue().filledCount();
    for (int i = 0; i < 200 && sink.packets.load() < expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    r.cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    r.received = camera->camData()->receivedCount();
    r.converted = camera->camData()->convertedCount();
    r.packets = sink.packets.load();
    r.bytes = sink.bytes.load();
    camera->destory();
    pool->stop();
    pool->destory();
    return r;
}

struct FfmpegResult {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
};

FfmpegResult runFfmpeg(const std::string &ffmpeg, const std::vector<std::string> &args)
{
    FfmpegResult r;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(ffmpeg.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto t0 = Clock::now();
    const int err = posix_spawn(&pid, ffmpeg.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        fprintf(stderr, "bench_camera: cannot run %s: %s\n", ffmpeg.c_str(), strerror(err));
        return r;
    }
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!r.ok)
        fprintf(stderr, "bench_camera: ffmpeg failed (status %d)\n", status);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    double seconds = 60;
    double burstSeconds = 10;
    std::string ffmpeg = "/usr/bin/ffmpeg";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--burst-seconds" && i + 1 < argc)
            burstSeconds = std::atof(argv[++i]);
        else if (a == "--ffmpeg" && i + 1 < argc)
            ffmpeg = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--seconds N] [--burst-seconds N] [--ffmpeg PATH]\n", argv[0]);
            return 1;
        }
    }
    if (!std::getenv("KX_TEST_VERBOSE"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                fprintf(stderr, "%s\n", qPrintable(msg));
        });
    unsetenv("DISPLAY"); // the preview is not part of this measurement

    QTemporaryDir dir;
    if (!dir.isValid())
        return 2;
    // The pictures: the virtual camera's test picture, as the camera unit
    // would send it (baseline JPEG 4:2:0, quality 85).
    QByteArray mjpeg;
    {
        std::vector<uint8_t> i420(size_t(kWidth) * kHeight * 3 / 2);
        std::vector<uint8_t> jpeg;
        for (int i = 0; i < kLoopFrames; ++i) {
            kxcam::renderTestPattern(kWidth, kHeight, i, i420.data());
            if (!kxcam::encodeJpegI420(i420.data(), kWidth, kHeight, 85, &jpeg))
                return 2;
            mjpeg.append(reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size()));
        }
    }
    const QString mjpegPath = QDir(dir.path()).filePath("frames.mjpeg");
    const QString pacedPath = QDir(dir.path()).filePath("paced.json");
    const char *camera = R"({"devices": [{"name": "VANTRI Multimedia Unit HD", "mjpegFile": "frames.mjpeg",
        "capabilities": [{"format": "MJPG", "width": 1280, "height": 720, "%1": %2}]}]})";
    if (!writeFile(mjpegPath, mjpeg) || !writeFile(pacedPath, QString(camera).arg("fps").arg(kFps).toUtf8()))
        return 2;

    printf("camera path benchmark: %dx%d MJPEG, H.264 2000 kbit/s GOP 12, %d cores\n", kWidth, kHeight,
           int(std::thread::hardware_concurrency()));

    // (a) paced
    const PipelineResult paced = runPipeline(pacedPath, seconds);
    // Intervals the camera had between its first and its last sample: each
    // one without a sample was dropped because the pipeline held the
    // streaming thread.
    const int expectedFrames = paced.intervals;
    const int dropped = std::max(0, expectedFrames - paced.received) + (paced.received - paced.converted) +
                        paced.leftAtStop;
    const double loops = double(kFps) * seconds / kLoopFrames;
    const FfmpegResult ffPaced =
        runFfmpeg(ffmpeg, {"-hide_banner", "-nostdin", "-re", "-stream_loop", std::to_string(int(loops) + 1), "-f",
                           "mjpeg", "-framerate", std::to_string(kFps), "-i", mjpegPath.toStdString(), "-frames:v",
                           std::to_string(int(seconds * kFps)), "-c:v", "libx264", "-b:v", "2000k", "-g", "12", "-f",
                           "null", "-"});
    printf("\n(a) paced at %d fps for %.1f s\n", kFps, paced.seconds);
    printf("  pipeline: %.3f CPU s per recorded second (%.2f CPU s), samples %d of ~%d, converted %d, encoded %d"
           " (%.0f kbit/s)\n",
           paced.cpu / paced.seconds, paced.cpu, paced.received, expectedFrames, paced.converted, paced.packets,
           double(paced.bytes) * 8 / 1000 / paced.seconds);
    printf("  pipeline: frames dropped %d (missed camera intervals, undecodable samples, left at stop %d)\n",
           dropped, paced.leftAtStop);
    printf("  pipeline: resident memory %ld kB at 10 s, %ld kB at %.0f s (growth %ld kB); every 10 s:", paced.rssAt10s,
           paced.rssAtEnd, seconds, paced.rssAtEnd - paced.rssAt10s);
    for (long kb : paced.rssEvery10s)
        printf(" %ld", kb);
    printf("\n  pipeline: CPU s by thread:");
    for (const auto &t : paced.threads) {
        if (t.second >= 0.05)
            printf(" %s %.2f;", t.first.c_str(), t.second);
    }
    printf("\n");
    if (ffPaced.ok) {
        const double ffPerSecond = ffPaced.cpu / ffPaced.seconds;
        printf("  ffmpeg:   %.3f CPU s per recorded second (%.2f CPU s over %.1f s)\n", ffPerSecond, ffPaced.cpu,
               ffPaced.seconds);
        printf("  ratio pipeline/ffmpeg CPU: %.2f\n", (paced.cpu / paced.seconds) / ffPerSecond);
    }

    // (b) unthrottled
    const PipelineResult burst = runBurst(pacedPath, mjpeg, burstSeconds);
    const double pipelineFps = burst.packets / burst.seconds;
    const int burstFrames = std::max(300, int(pipelineFps * burstSeconds));
    const FfmpegResult ffBurst = runFfmpeg(
        ffmpeg, {"-hide_banner", "-nostdin", "-stream_loop", std::to_string(burstFrames / kLoopFrames + 1), "-f",
                 "mjpeg", "-framerate", std::to_string(kFps), "-i", mjpegPath.toStdString(), "-frames:v",
                 std::to_string(burstFrames), "-c:v", "libx264", "-b:v", "2000k", "-g", "12", "-f", "null", "-"});
    printf("\n(b) unthrottled\n");
    printf("  pipeline: %.1f frames per second sustained (%d frames in %.1f s, %.2f CPU s per second)\n", pipelineFps,
           burst.packets, burst.seconds, burst.cpu / burst.seconds);
    if (ffBurst.ok) {
        const double ffFps = burstFrames / ffBurst.seconds;
        printf("  ffmpeg:   %.1f frames per second (%d frames in %.1f s)\n", ffFps, burstFrames, ffBurst.seconds);
        printf("  ratio pipeline/ffmpeg frame rate: %.2f\n", pipelineFps / ffFps);
    }
    printf("\ntargets: no dropped frame at 15 fps: %s; CPU per recorded second <= ffmpeg's: %s; no memory growth: "
           "%s\n",
           dropped == 0 ? "met" : "NOT met",
           !ffPaced.ok ? "unknown" : (paced.cpu / paced.seconds <= ffPaced.cpu / ffPaced.seconds ? "met" : "NOT met"),
           paced.rssAt10s < 0 ? "not sampled (run is shorter than 10 s)"
                              : (paced.rssAtEnd - paced.rssAt10s <= 1024 ? "met" : "NOT met (see the 10 s series)"));
    unsetenv("KX_VIRTUAL_CAMERA");
    return 0;
}
