// voxtap-record --seconds N --out FILE.aac [--device PATTERN]
//
// Records the first capture endpoint whose friendly name matches PATTERN
// (ECMAScript, searched; by default the camera unit's microphone) for N
// seconds into FILE as ADTS AAC (AAC-LC, 44100 Hz, stereo, 128 kbit/s),
// through libVoxtap's exports only.
//
// Exit codes: 0 recorded; 1 bad arguments; 2 no matching microphone;
// 3 the library refused to record (its code is printed); 4 the microphone
// went away during the recording (what was recorded until then is kept);
// 5 the file could not be written.

#include "Voxtap.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <regex>
#include <string>

namespace {

constexpr int kCodecAac = 86018;
constexpr int kSampleRate = 44100;
constexpr int kChannels = 2;
constexpr int kBitRate = 128000;
const char *const kUnitPattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";

int frequencyIndex(int rate)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    for (int i = 0; i < 13; ++i)
        if (rates[i] == rate)
            return i;
    return -1;
}

/// Writes each access unit behind its ADTS header and follows the endpoint.
class AdtsWriter : public VoxtapNotify {
public:
    AdtsWriter(std::FILE *file, int rate, int channels) : m_file(file), m_rateIndex(frequencyIndex(rate)), m_channels(channels) {}

    void onAudioData(const unsigned char *data, int length) override
    {
        const int frameLength = length + 7;
        if (length <= 0 || frameLength > 0x1FFF)
            return;
        const unsigned char header[7] = {
            0xFF, 0xF1, // sync word, MPEG-4, layer 0, no CRC
            static_cast<unsigned char>((1 << 6) | (m_rateIndex << 2) | (m_channels >> 2)), // AAC-LC
            static_cast<unsigned char>(((m_channels & 3) << 6) | (frameLength >> 11)),
            static_cast<unsigned char>((frameLength >> 3) & 0xFF),
            static_cast<unsigned char>(((frameLength & 7) << 5) | 0x1F), // buffer fullness: variable
            0xFC,
        };
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::fwrite(header, 1, sizeof header, m_file) != sizeof header
            || std::fwrite(data, 1, static_cast<size_t>(length), m_file) != static_cast<size_t>(length))
            m_writeFailed = true;
        ++m_units;
    }

    void onDeviceState(const char *, int state) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_goneState = state;
        }
        m_cv.notify_all();
    }

    /// Waits until the time is up or the endpoint is gone; the state that
    /// ended the wait early, or 0.
    int waitFor(std::chrono::milliseconds duration)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, duration, [this] { return m_goneState != 0; });
        return m_goneState;
    }

    long units()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_units;
    }
    bool writeFailed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writeFailed;
    }

private:
    std::FILE *m_file;
    const int m_rateIndex;
    const int m_channels;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_units = 0;
    int m_goneState = 0;
    bool m_writeFailed = false;
};

int usage(const char *why)
{
    std::fprintf(stderr, "voxtap-record: %s\nusage: voxtap-record --seconds N --out FILE.aac [--device PATTERN]\n", why);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 0;
    std::string out;
    std::string pattern = kUnitPattern;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage(("missing value of " + arg).c_str());
        const char *value = argv[++i];
        if (arg == "--seconds") {
            char *end = nullptr;
            seconds = std::strtod(value, &end);
            if (!end || *end || !(seconds > 0) || seconds > 24 * 3600)
                return usage("--seconds takes a positive number of seconds");
        } else if (arg == "--out") {
            out = value;
        } else if (arg == "--device") {
            pattern = value;
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }
    if (seconds <= 0 || out.empty())
        return usage("--seconds and --out are required");
    std::regex expression;
    try {
        expression = std::regex(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error &e) {
        return usage(("bad device pattern: " + std::string(e.what())).c_str());
    }

    std::list<VoxtapDeviceInfo> devices;
    const int listed = Voxtap_ListDevices(&devices, VOXTAP_FLOW_CAPTURE);
    if (listed != VOXTAP_OK)
        std::fprintf(stderr, "voxtap-record: listing the microphones failed: 0x%x\n", listed);
    const VoxtapDeviceInfo *chosen = nullptr;
    for (const VoxtapDeviceInfo &d : devices) {
        if (std::regex_search(d.friendlyName, expression)) {
            chosen = &d;
            break;
        }
    }
    if (!chosen) {
        std::fprintf(stderr, "voxtap-record: no microphone matches %s; present:", pattern.c_str());
        for (const VoxtapDeviceInfo &d : devices)
            std::fprintf(stderr, " \"%s\"", d.friendlyName.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }

    std::FILE *file = std::fopen(out.c_str(), "wb");
    if (!file) {
        std::fprintf(stderr, "voxtap-record: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
        return 5;
    }
    AdtsWriter writer(file, kSampleRate, kChannels);
    const VoxtapAudioParams params{kCodecAac, kBitRate, kChannels, kSampleRate};
    int result = Voxtap_InitWithId(chosen->endpointId.c_str(), &params);
    if (result == VOXTAP_OK) {
        Voxtap_SetDataCbk(&writer);
        result = Voxtap_Start();
    }
    if (result != VOXTAP_OK) {
        std::fprintf(stderr, "voxtap-record: \"%s\" cannot be recorded: 0x%x\n", chosen->friendlyName.c_str(), result);
        Voxtap_UnInit();
        std::fclose(file);
        return 3;
    }
    std::printf("voxtap-record: recording \"%s\" for %.1f s\n", chosen->friendlyName.c_str(), seconds);
    std::fflush(stdout);
    const int gone = writer.waitFor(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    Voxtap_Stop();
    Voxtap_SetDataCbk(nullptr);
    Voxtap_UnInit();
    const bool closed = std::fclose(file) == 0;
    const long units = writer.units();
    if (!closed || writer.writeFailed()) {
        std::fprintf(stderr, "voxtap-record: writing %s failed\n", out.c_str());
        return 5;
    }
    if (gone != 0) {
        std::fprintf(stderr, "voxtap-record: the microphone went away during the recording (state %d); "
                             "%.2f s kept in %s\n",
                     gone, units * 1024.0 / kSampleRate, out.c_str());
        return 4;
    }
    std::printf("voxtap-record: %.2f s (%ld access units) in %s\n", units * 1024.0 / kSampleRate, units, out.c_str());
    return 0;
}
