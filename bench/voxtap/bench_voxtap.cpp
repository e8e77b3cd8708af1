// CPU time of libVoxtap per second of captured sound (48 kHz float stereo
// microphone -> AAC 64 kbit/s 44.1 kHz stereo), next to the same work done
// by the ffmpeg command line (-f pulse from the same source), and their
// ratio. Runs against a private PulseAudio daemon.
//
// Usage: bench_voxtap [seconds] [rounds]   (default 10 s, 3 rounds)
//
// The two runs alternate, round after round; the machine is shared, so the
// least disturbed round (the minimum) of each is compared, and the median
// is shown beside it.

#include "KxPulseFixture.h"
#include "Voxtap.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QThread>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    KxPulseDaemon daemon;
    if (!daemon.start()) {
        std::fprintf(stderr, "no PulseAudio daemon: %s\n", qPrintable(daemon.lastError()));
        return 1;
    }
    std::vector<double> library, ffmpeg;
    long long bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        const double lib = runLibrary(seconds, &bytes);
        const double ff = runFfmpeg(seconds);
        std::printf("round %d: libVoxtap %.2f ms, ffmpeg %.2f ms CPU per second of sound\n", r + 1, lib * 1000,
                    ff * 1000);
        if (lib <= 0 || ff <= 0) {
            std::fprintf(stderr, "a run failed\n");
            return 2;
        }
        library.push_back(lib);
        ffmpeg.push_back(ff);
    }
    std::sort(library.begin(), library.end());
    std::sort(ffmpeg.begin(), ffmpeg.end());
    std::printf("capture: 48 kHz float stereo -> AAC 64 kbit/s 44.1 kHz stereo, %d s per run, %d rounds\n",
                seconds, rounds);
    std::printf("libVoxtap:       %.2f ms CPU per second of sound (median %.2f; %.1f kbit/s)\n",
                library.front() * 1000, library[library.size() / 2] * 1000, bytes * 8.0 / seconds / 1000.0);
    std::printf("ffmpeg -f pulse: %.2f ms CPU per second of sound (median %.2f)\n", ffmpeg.front() * 1000,
                ffmpeg[ffmpeg.size() / 2] * 1000);
    std::printf("ratio libVoxtap / ffmpeg: %.2f (medians %.2f; target <= 1)\n", library.front() / ffmpeg.front(),
                library[library.size() / 2] / ffmpeg[ffmpeg.size() / 2]);
    daemon.stop();
    return 0;
}
