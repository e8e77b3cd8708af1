// kx-camgen: writes the virtual camera's test picture as files, for the
// virtual camera's MJPEG file source, benchmarks and fuzz seeds.
//
//   kx-camgen mjpeg <out> <width>x<height> <frames> [quality] [first]
//       concatenated JPEG pictures of frames first .. first+frames-1
//   kx-camgen yuy2 <out> <width>x<height> [frame]
//       one YUY2 picture
//   kx-camgen i420 <out> <width>x<height> [frame]
//       one packed I420 picture

#include <camera/KxCameraDevice.h>

#include <libyuv/convert_from.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static int usage()
{
    std::fprintf(stderr, "usage: kx-camgen mjpeg <out> <W>x<H> <frames> [quality] [first]\n"
                         "       kx-camgen yuy2|i420 <out> <W>x<H> [frame]\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 4)
        return usage();
    const std::string mode = argv[1];
    int w = 0, h = 0;
    if (std::sscanf(argv[3], "%dx%d", &w, &h) != 2 || w < 2 || h < 2 || (w & 1) || (h & 1)) {
        std::fprintf(stderr, "kx-camgen: size must be even, e.g. 1280x720\n");
        return 2;
    }
    FILE *out = std::fopen(argv[2], "wb");
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    std::vector<uint8_t> i420(size_t(w) * h * 3 / 2);
    bool ok = true;
    if (mode == "mjpeg") {
        if (argc < 5) {
            std::fclose(out);
            return usage();
        }
        const long frames = std::atol(argv[4]);
        const int quality = argc > 5 ? std::atoi(argv[5]) : 85;
        const long first = argc > 6 ? std::atol(argv[6]) : 0;
        std::vector<uint8_t> jpeg;
        for (long n = first; ok && n < first + frames; ++n) {
            kxcam::renderTestPattern(w, h, n, i420.data());
            ok = kxcam::encodeJpegI420(i420.data(), w, h, quality, &jpeg) &&
                 std::fwrite(jpeg.data(), 1, jpeg.size(), out) == jpeg.size();
        }
    } else if (mode == "yuy2" || mode == "i420") {
        const long n = argc > 4 ? std::atol(argv[4]) : 0;
        kxcam::renderTestPattern(w, h, n, i420.data());
        if (mode == "i420") {
            ok = std::fwrite(i420.data(), 1, i420.size(), out) == i420.size();
        } else {
            std::vector<uint8_t> yuy2(size_t(w) * h * 2);
            libyuv::I420ToYUY2(i420.data(), w, i420.data() + size_t(w) * h, w / 2, i420.data() + size_t(w) * h * 5 / 4,
                               w / 2, yuy2.data(), w * 2, w, h);
            ok = std::fwrite(yuy2.data(), 1, yuy2.size(), out) == yuy2.size();
        }
    } else {
        std::fclose(out);
        return usage();
    }
    if (std::fclose(out) != 0)
        ok = false;
    if (!ok) {
        std::fprintf(stderr, "kx-camgen: writing %s failed\n", argv[2]);
        return 1;
    }
    return 0;
}
