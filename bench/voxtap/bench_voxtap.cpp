// CPU time of libVoxtap per second of captured sound (48 kHz float stereo
// microphone -> AAC 64 kbit/s 44.1 kHz stereo), next to the same work done
// by the ffmpeg command line (-f pulse from the same source), and their
// ratio. Runs against a private PulseAudio daemon.
//
// Usage: bench_voxtap [seconds]   (default 10)

#include "KxPulseFixture.h"
#include "Voxtap.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QThread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double cpuSeconds(const rusage &r)
{
    return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

double selfCpu()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuSeconds(r);
}

struct CountingReceiver : VoxtapNotify {
    std::atomic<long long> units{0};
    std::atomic<long long> bytes{0};
    void onDeviceState(const char *, int) override {}
    void onAudioData(const unsigned char *, int length) override
    {
        units.fetch_add(1, std::memory_order_relaxed);
        bytes.fetch_add(length, std::memory_order_relaxed);
    }
};

/// CPU seconds per second of sound for the library; -1 on failure.
double runLibrary(int seconds, long long *bytesOut)
{
    const VoxtapAudioParams params{86018, 64000, 2, 44100};
    CountingReceiver receiver;
    const double before = selfCpu();
    if (Voxtap_InitWithId(KxPulseDaemon::kMicSource, &params) != 0)
        return -1;
    Voxtap_SetDataCbk(&receiver);
    if (Voxtap_Start() != 0)
        return -1;
    QThread::msleep(static_cast<unsigned long>(seconds) * 1000);
    Voxtap_Stop();
    Voxtap_UnInit();
    const double cpu = selfCpu() - before;
    const double sound = receiver.units.load() * 1024.0 / 44100.0;
    *bytesOut = receiver.bytes.load();
    return sound > 0 ? cpu / sound : -1;
}

/// CPU seconds per second of sound for ffmpeg; -1 on failure.
double runFfmpeg(int seconds)
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        return -1;
    const std::string program = ffmpeg.toStdString();
    const std::string duration = std::to_string(seconds);
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execl(program.c_str(), "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "pulse",
              "-i", KxPulseDaemon::kMicSource, "-t", duration.c_str(), "-c:a", "aac", "-b:a", "64k", "-ar",
              "44100", "-ac", "2", "-f", "adts", "-y", "/dev/null", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    // Bounded: ffmpeg gets the capture time plus a margin, then is killed.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid)
            break;
        if (timer.elapsed() > (seconds + 30) * 1000LL) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            return -1;
        }
        QThread::msleep(20);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return cpuSeconds(usage) / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    KxPulseDaemon daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "no PulseAudio daemon: %s\n", qPrintable(daemon.lastError()));
        return 1;
    }
    long long bytes = 0;
    const double library = runLibrary(seconds, &bytes);
    const double ffmpeg = runFfmpeg(seconds);
    std::printf("capture: 48 kHz float stereo -> AAC 64 kbit/s 44.1 kHz stereo, %d s each\n", seconds);
    std::printf("libVoxtap: %.2f ms CPU per second of sound (%lld AAC bytes, %.1f kbit/s)\n", library * 1000,
                bytes, bytes * 8.0 / seconds / 1000.0);
    std::printf("ffmpeg -f pulse: %.2f ms CPU per second of sound\n", ffmpeg * 1000);
    if (library > 0 && ffmpeg > 0)
        std::printf("ratio libVoxtap / ffmpeg: %.2f (target <= 1)\n", library / ffmpeg);
    daemon.stop();
    return library > 0 && ffmpeg > 0 ? 0 : 2;
}
