// Camera path benchmark: the camera module over the virtual camera at
// 1280x720 MJPEG, compared with the ffmpeg command line doing the same work:
// decode the same MJPEG pictures and encode them with libx264 at the camera
// encoder's settings (2000 kbit/s, GOP 12, 4 threads in slice mode), library
// defaults otherwise. --ffmpeg-default-threading leaves ffmpeg's threading
// at its own default (frame threads) instead, for comparison.
//
//   bench_camera [--seconds N] [--rounds N] [--burst-seconds N] [--ffmpeg PATH]
//                [--ffmpeg-default-threading]
//
// (a) paced at 15 fps for N seconds (default 60): CPU seconds per recorded
//     second, frames dropped, resident memory at 10 s and at the end;
// (b) unthrottled for --burst-seconds (default 10): the highest frame rate
//     the pipeline sustains.
// The same pictures go through `ffmpeg -re` for (a) and plain ffmpeg for
// (b); both figures and their ratio are printed.
//
// CPU time on a shared or virtual machine drifts by several per cent from
// one minute to the next, more than the difference being measured, so (a)
// runs in rounds (default 3) that alternate which side goes first, and the
// targets are judged on the median of the rounds' ratios. --side-by-side
// runs ffmpeg at the same time as the pipeline instead, so that both see the
// same machine: the steadiest ratio, but each side then shares the two
// cores with the other, so dropped frames are not meaningful there.
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
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

// The camera module over the virtual camera described by configPath, its
// packets going through a real pool to a counting sink; opened for its
// format (the module's preStart), torn down with the object.
struct Rig {
    explicit Rig(const QString &configPath)
    {
        setenv("KX_VIRTUAL_CAMERA", configPath.toUtf8().constData(), 1);
        pool->init();
        pool->setLocalFileModule(&sink);
        pool->start();
        camera->init();
        camera->setPoolModule(pool);
        camera->config(1, 2000);
    }
    ~Rig()
    {
        camera->destory();
        pool->stop();
        pool->destory();
    }
    void open()
    {
        if (camera->preStart() < 0) {
            fprintf(stderr, "bench_camera: the virtual camera did not open\n");
            std::exit(2);
        }
    }
    // Waits (bounded) for the pool to hand the sink this many packets.
    void awaitPackets(int expected)
    {
        for (int i = 0; i < 200 && sink.packets.load() < expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // What every run reports the same way.
    void fill(PipelineResult &r, double cpu0) const
    {
        r.cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
        r.received = camera->camData()->receivedCount();
        r.converted = camera->camData()->convertedCount();
        r.packets = sink.packets.load();
        r.bytes = sink.bytes.load();
    }

    KxModulePoolMgr *pool = new KxModulePoolMgr;
    CountingSink sink;
    KxModuleCamera *camera = static_cast<KxModuleCamera *>(IKxModuleCamera::createInstance());
};

PipelineResult runPipeline(const QString &configPath, double seconds)
{
    PipelineResult r;
    SampleClock samples; // outlives the camera, which may report to it until destroyed
    Rig rig(configPath);
    KxModuleCamera *camera = rig.camera;
    camera->registerCallback(&samples);
    KxMediaTime clock;
    rig.open();
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
    rig.awaitPackets(camera->camData()->convertedCount() - camera->framesLeftAtStop());
    rig.fill(r, cpu0);
    r.leftAtStop = camera->framesLeftAtStop();
    r.intervals = int(std::llround(std::chrono::duration<double>(samples.last - samples.first).count() * kFps)) + 1;
    return r;
}

// The pipeline without the camera's pacing: the intake is fed the same
// samples back to back from this thread, which stands in for the streaming
// thread (the camera is opened for its 15 fps format but does not stream).
PipelineResult runBurst(const QString &configPath, const QByteArray &mjpeg, double seconds)
{
    PipelineResult r;
    const std::vector<std::pair<size_t, size_t>> pictures = kxcam::splitJpegStream(
        reinterpret_cast<const uint8_t *>(mjpeg.constData()), size_t(mjpeg.size()));
    if (pictures.empty()) {
        fprintf(stderr, "bench_camera: no pictures to feed\n");
        std::exit(2);
    }
    Rig rig(configPath);
    KxModuleCamera *camera = rig.camera;
    rig.open();
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
    rig.awaitPackets(camera->camData()->convertedCount() - camera->encoderQueue().filledCount());
    rig.fill(r, cpu0);
    return r;
}

struct FfmpegResult {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
};

struct FfmpegRun {
    pid_t pid = -1;
    Clock::time_point started;
};

FfmpegRun startFfmpeg(const std::string &ffmpeg, const std::vector<std::string> &args)
{
    FfmpegRun run;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(ffmpeg.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    run.started = Clock::now();
    run.pid = fork();
    if (run.pid < 0) {
        fprintf(stderr, "bench_camera: cannot fork: %s\n", strerror(errno));
        return run;
    }
    if (run.pid == 0) {
        // The camera encoder turned transparent huge pages off for this
        // process; ffmpeg runs with the machine's setting, as users run it.
        prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(ffmpeg.c_str(), argv.data());
        _exit(127);
    }
    return run;
}

FfmpegResult finishFfmpeg(const FfmpegRun &run, const std::string &ffmpeg)
{
    FfmpegResult r;
    int status = 0;
    rusage ru{};
    if (run.pid < 0 || wait4(run.pid, &status, 0, &ru) != run.pid)
        return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - run.started).count();
    r.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!r.ok)
        fprintf(stderr, "bench_camera: %s failed (status %d)\n", ffmpeg.c_str(), status);
    return r;
}

FfmpegResult runFfmpeg(const std::string &ffmpeg, const std::vector<std::string> &args)
{
    return finishFfmpeg(startFfmpeg(ffmpeg, args), ffmpeg);
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Frames a paced run lost while recording: camera intervals without a
// sample (the pipeline held the streaming thread) and undecodable samples.
// A frame still queued at the moment the camera stops is not encoded (the
// stop wins over queued frames); it is reported apart.
int droppedFrames(const PipelineResult &r)
{
    return std::max(0, r.intervals - r.received) + (r.received - r.converted);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    double seconds = 60;
    int rounds = 3;
    double burstSeconds = 10;
    std::string ffmpeg = "/usr/bin/ffmpeg";
    bool sameThreading = true;
    bool sideBySide = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--burst-seconds" && i + 1 < argc)
            burstSeconds = std::atof(argv[++i]);
        else if (a == "--ffmpeg" && i + 1 < argc)
            ffmpeg = argv[++i];
        else if (a == "--ffmpeg-default-threading")
            sameThreading = false;
        else if (a == "--side-by-side")
            sideBySide = true;
        else {
            fprintf(stderr,
                    "usage: %s [--seconds N] [--rounds N] [--burst-seconds N] [--ffmpeg PATH]"
                    " [--ffmpeg-default-threading] [--side-by-side]\n",
                    argv[0]);
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

    // ffmpeg reads the pictures from the file (paced or not) and encodes
    // them as the camera encoder does.
    const auto ffmpegArgs = [&](bool paced, int frames) {
        std::vector<std::string> args = {"-hide_banner", "-nostdin"};
        if (paced)
            args.push_back("-re");
        const std::vector<std::string> rest = {
            "-stream_loop", std::to_string(frames / kLoopFrames + 1), "-f", "mjpeg", "-framerate",
            std::to_string(kFps), "-i", mjpegPath.toStdString(), "-frames:v", std::to_string(frames), "-c:v",
            "libx264", "-b:v", "2000k", "-g", "12"};
        args.insert(args.end(), rest.begin(), rest.end());
        if (sameThreading)
            args.insert(args.end(), {"-threads", std::to_string(KxCamEncoder::kThreads), "-thread_type", "slice"});
        args.insert(args.end(), {"-f", "null", "-"});
        return args;
    };

    // (a) paced, in rounds
    const std::vector<std::string> ffPacedArgs = ffmpegArgs(true, int(seconds * kFps));
    printf("\n(a) paced at %d fps, %d round(s) of %.0f s\n  ffmpeg:", kFps, rounds, seconds);
    for (const std::string &a : ffPacedArgs)
        printf(" %s", a.c_str());
    printf("\n");
    std::vector<double> pipelinePerSecond, ffmpegPerSecond, ratios;
    int maxDropped = 0;
    long maxGrowth = 0;
    bool rssSampled = true, ffmpegOk = true;
    for (int round = 1; round <= rounds; ++round) {
        PipelineResult paced;
        FfmpegResult ff;
        const bool pipelineFirst = round % 2 == 1;
        if (sideBySide) {
            const FfmpegRun run = startFfmpeg(ffmpeg, ffPacedArgs);
            paced = runPipeline(pacedPath, seconds);
            ff = finishFfmpeg(run, ffmpeg);
        } else {
            if (pipelineFirst)
                paced = runPipeline(pacedPath, seconds);
            ff = runFfmpeg(ffmpeg, ffPacedArgs);
            if (!pipelineFirst)
                paced = runPipeline(pacedPath, seconds);
        }
        // Per second of video written: both sides pay for start-up and for
        // draining the encoder, neither is paid for the wall time it takes.
        const double recorded = double(paced.packets) / kFps;
        const double perSecond = recorded > 0 ? paced.cpu / recorded : 0;
        const int dropped = droppedFrames(paced);
        const long growth = paced.rssAtEnd - paced.rssAt10s;
        pipelinePerSecond.push_back(perSecond);
        maxDropped = std::max(maxDropped, dropped);
        rssSampled = rssSampled && paced.rssAt10s >= 0;
        maxGrowth = std::max(maxGrowth, growth);
        printf("  round %d (%s)\n", round,
               sideBySide ? "side by side" : pipelineFirst ? "pipeline first" : "ffmpeg first");
        printf("    pipeline: %.3f CPU s per recorded second (%.2f CPU s, %.1f s recorded), samples %d of ~%d,"
               " converted %d, encoded %d (%.0f kbit/s), frames dropped %d, in flight at stop %d\n",
               perSecond, paced.cpu, recorded, paced.received, paced.intervals, paced.converted, paced.packets,
               double(paced.bytes) * 8 / 1000 / paced.seconds, dropped, paced.leftAtStop);
        printf("    pipeline: resident memory %ld kB at 10 s, %ld kB at %.0f s (growth %ld kB); every 10 s:",
               paced.rssAt10s, paced.rssAtEnd, seconds, growth);
        for (long kb : paced.rssEvery10s)
            printf(" %ld", kb);
        printf("\n    pipeline: CPU s by thread:");
        for (const auto &t : paced.threads) {
            if (t.second >= 0.05)
                printf(" %s %.2f;", t.first.c_str(), t.second);
        }
        printf("\n");
        if (ff.ok) {
            const double ffRecorded = double(int(seconds * kFps)) / kFps;
            const double ffPerSecond = ff.cpu / ffRecorded;
            ffmpegPerSecond.push_back(ffPerSecond);
            ratios.push_back(perSecond / ffPerSecond);
            printf("    ffmpeg:   %.3f CPU s per recorded second (%.2f CPU s, %.1f s recorded, %.1f s wall); ratio %.3f\n",
                   ffPerSecond, ff.cpu, ffRecorded, ff.seconds, ratios.back());
        } else {
            ffmpegOk = false;
        }
    }
    const double medianRatio = median(ratios);
    printf("  median of %d round(s): pipeline %.3f, ffmpeg %.3f CPU s per recorded second; ratio pipeline/ffmpeg %.3f"
           " (rounds:",
           rounds, median(pipelinePerSecond), median(ffmpegPerSecond), medianRatio);
    for (double r : ratios)
        printf(" %.3f", r);
    printf(")\n");

    // (b) unthrottled
    const PipelineResult burst = runBurst(pacedPath, mjpeg, burstSeconds);
    const double pipelineFps = burst.packets / burst.seconds;
    const int burstFrames = std::max(300, int(pipelineFps * burstSeconds));
    const FfmpegResult ffBurst = runFfmpeg(ffmpeg, ffmpegArgs(false, burstFrames));
    printf("\n(b) unthrottled\n");
    printf("  pipeline: %.1f frames per second sustained (%d frames in %.1f s, %.2f CPU s per second)\n", pipelineFps,
           burst.packets, burst.seconds, burst.cpu / burst.seconds);
    if (ffBurst.ok) {
        const double ffFps = burstFrames / ffBurst.seconds;
        printf("  ffmpeg:   %.1f frames per second (%d frames in %.1f s)\n", ffFps, burstFrames, ffBurst.seconds);
        printf("  ratio pipeline/ffmpeg frame rate: %.2f\n", pipelineFps / ffFps);
    }
    if (sideBySide)
        printf("\n(side by side: dropped frames are measured under ffmpeg's load as well)");
    printf("\ntargets: no dropped frame at 15 fps: %s; CPU per recorded second <= ffmpeg's (median ratio %.3f): %s;"
           " no memory growth (largest %ld kB): %s\n",
           maxDropped == 0 ? "met" : "NOT met", medianRatio,
           !ffmpegOk || ratios.empty() ? "unknown" : (medianRatio <= 1.0 ? "met" : "NOT met"), maxGrowth,
           !rssSampled ? "not sampled (a round is shorter than 10 s)"
                       : (maxGrowth <= 1024 ? "met" : "NOT met (see the 10 s series)"));
    unsetenv("KX_VIRTUAL_CAMERA");
    return 0;
}
