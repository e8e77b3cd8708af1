// kx-avsync FILE.mp4
//
// Prints the audio/video offset of a flash/click recording (see KxAvSync.h)
// as one JSON object: {"seconds", "median_ms", "worst_ms", "offsets_ms"} of
// the sound as a player plays it, and the same under "played" and, with
// each frame at its own stamp, under "stamped".
// Exit status 0, 1 when the file cannot be measured, 2 on bad usage.

#include "KxAvSync.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kx-avsync FILE.mp4\n");
        return 2;
    }
    const kxavsync::Result result = kxavsync::measure(argv[1]);
    if (!result.ok) {
        std::fprintf(stderr, "kx-avsync: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("%s\n", kxavsync::toJson(result).c_str());
    std::fprintf(stderr, "kx-avsync: %zu flashes, %zu clicks; video %.3f s (ends %.3f), audio %.3f s (ends %.3f)\n",
                 result.flashSeconds.size(), result.played.clickSeconds.size(), result.videoSeconds,
                 result.videoEndSeconds, result.audioSeconds, result.audioEndSeconds);
    return 0;
}
