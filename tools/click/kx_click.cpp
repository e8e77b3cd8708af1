// kx-click --sink NAME [--server ADDRESS]
//
// Plays a short click into a PulseAudio sink at each whole second of the
// system's monotonic clock (CLOCK_MONOTONIC), until terminated (SIGTERM or
// SIGINT). Together with the virtual camera's flash picture, which turns
// white in the frame covering each whole second of the same clock, it
// gives a recording whose sound and picture mark the same instants; the
// checker kx-avsync measures their offset in the file.
//
// The stream is fed in small blocks; the playback time of each block is
// its write time plus the stream's latency as the server reports it, so a
// click starts at its second within about a millisecond of the reported
// latency.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBlockFrames = kRate / 400;    // 2.5 ms
constexpr int kClickFrames = kRate / 100;    // 10 ms
constexpr double kClickHz = 2000.0;
constexpr double kClickLevel = 0.8;
constexpr long long kNsPerSecond = 1000000000LL;

volatile sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

int usage()
{
    std::fprintf(stderr, "usage: kx-click --sink NAME [--server ADDRESS]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string sink;
    const char *server = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--sink") && i + 1 < argc)
            sink = argv[++i];
        else if (!std::strcmp(argv[i], "--server") && i + 1 < argc)
            server = argv[++i];
        else
            return usage();
    }
    if (sink.empty())
        return usage();

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    // A short queue in the server: the latency stays small and steady.
    attr.tlength = static_cast<uint32_t>(sizeof(float) * kChannels * kBlockFrames * 4);
    attr.prebuf = 0;
    attr.minreq = static_cast<uint32_t>(sizeof(float) * kChannels * kBlockFrames);
    int error = 0;
    pa_simple *stream = pa_simple_new(server, "kx-click", PA_STREAM_PLAYBACK, sink.c_str(), "clicks", &spec,
                                      nullptr, &attr, &error);
    if (!stream) {
        std::fprintf(stderr, "kx-click: pa_simple_new(%s): %s\n", sink.c_str(), pa_strerror(error));
        return 1;
    }

    std::vector<float> click(kClickFrames);
    for (int i = 0; i < kClickFrames; ++i)
        click[size_t(i)] = float(kClickLevel * std::sin(2.0 * M_PI * kClickHz * i / kRate));
    std::vector<float> block(size_t(kBlockFrames) * kChannels);
    const long long frameNs = kNsPerSecond / kRate;
    long long clickStartNs = -1; // monotonic time of the click being played
    int clicks = 0;
    while (!g_stop) {
        const pa_usec_t latency = pa_simple_get_latency(stream, &error);
        if (latency == static_cast<pa_usec_t>(-1)) {
            std::fprintf(stderr, "kx-click: pa_simple_get_latency: %s\n", pa_strerror(error));
            break;
        }
        // When the first frame of this block will be heard.
        const long long playNs = monotonicNs() + static_cast<long long>(latency) * 1000;
        const long long nextSecond = (playNs / kNsPerSecond + 1) * kNsPerSecond;
        if (clickStartNs < 0 && nextSecond - playNs < kBlockFrames * frameNs)
            clickStartNs = nextSecond;
        for (int i = 0; i < kBlockFrames; ++i) {
            float v = 0;
            if (clickStartNs >= 0) {
                const long long at = (playNs + i * frameNs - clickStartNs) / frameNs;
                if (at >= 0 && at < kClickFrames)
                    v = click[size_t(at)];
            }
            block[size_t(i) * 2] = v;
            block[size_t(i) * 2 + 1] = v;
        }
        if (clickStartNs >= 0 && playNs + kBlockFrames * frameNs >= clickStartNs + kClickFrames * frameNs) {
            clickStartNs = -1;
            ++clicks;
        }
        if (pa_simple_write(stream, block.data(), block.size() * sizeof(float), &error) < 0) {
            std::fprintf(stderr, "kx-click: pa_simple_write: %s\n", pa_strerror(error));
            break;
        }
    }
    pa_simple_flush(stream, &error);
    pa_simple_free(stream);
    std::fprintf(stderr, "kx-click: %d clicks played\n", clicks);
    return 0;
}
