#pragma once
// libVoxtap: captures sound from one audio endpoint (a PulseAudio source, or
// a sink's monitor for loopback capture), resamples and encodes it to AAC,
// and hands the encoded access units to a receiver object of the host.
//
// Host and library share one C++ runtime: the device list is a std::list
// owned by the host and filled by the library.
//
// Threads: every export except Voxtap_ListDevices takes one process-wide
// library mutex for its whole duration, so the exports may be called from
// any thread but never run concurrently. The receiver is called without
// that mutex, from library threads (see VoxtapNotify), and must not call
// back into the library.

#include <cstdint>
#include <list>
#include <string>

#if defined(VOXTAP_BUILDING_LIBRARY)
#define VOXTAP_API __attribute__((visibility("default")))
#else
#define VOXTAP_API
#endif

/// Encoder parameters. A null pointer in place of this record means AAC,
/// 128000 bit/s, 2 channels and the encoder's supported rate closest to
/// 44100 Hz.
struct VoxtapAudioParams {
    int codecId;     ///< FFmpeg codec id; 86018 is AAC
    int bitRate;     ///< bit/s
    int channels;
    int sampleRate;  ///< Hz
};

/// One audio endpoint, as listed by Voxtap_ListDevices.
struct VoxtapDeviceInfo {
    std::string endpointId;        ///< the PulseAudio source or sink name
    std::string deviceInstanceId;  ///< bus path of the hardware, else the endpoint id
    std::string friendlyName;      ///< "Microphone (<unit>)" or "Speakers (<unit>)"
    std::string description;       ///< the sound server's description of the endpoint
    std::string service;           ///< the driver that provides the endpoint
    unsigned int state = 0;        ///< always VOXTAP_STATE_ACTIVE for listed endpoints
    int dataFlow = 0;              ///< VOXTAP_FLOW_RENDER or VOXTAP_FLOW_CAPTURE
    /// Every name the server reports for the hardware unit, best first: the
    /// product name, the ALSA card name, the card's description, the USB ids
    /// as "USB\\VID_xxxx&PID_xxxx". The first gives the friendly name. Empty
    /// where the system reports only the friendly name. A device pattern is
    /// searched in all of them (VoxtapNames.h).
    std::list<std::string> unitNames;
};

enum VoxtapDataFlow : int {
    VOXTAP_FLOW_RENDER = 0,
    VOXTAP_FLOW_CAPTURE = 1,
    VOXTAP_FLOW_ALL = 2,
};

/// Endpoint states as reported to VoxtapNotify::onDeviceState.
enum VoxtapDeviceState : int {
    VOXTAP_STATE_ACTIVE = 1,
    VOXTAP_STATE_DISABLED = 2,
    VOXTAP_STATE_NOTPRESENT = 4,
    VOXTAP_STATE_UNPLUGGED = 8,
};

/// Where the sound of the access unit being delivered stands in time, and
/// what the capture lost since Voxtap_Start. Times are steady-clock
/// microseconds (CLOCK_MONOTONIC, std::chrono::steady_clock).
struct VoxtapCaptureTiming {
    /// When the first sample a decoder gives out for this unit was captured:
    /// the encoder's priming, the server's capture latency and the
    /// library's own buffering are taken off. 0 when the engine cannot
    /// tell (the host then falls back on the arrival time).
    int64_t unitCaptureUs = 0;
    /// The server's capture latency at the last read: how long the oldest
    /// unread sound had waited. -1 when the server reported none.
    int64_t latencyUs = -1;
    /// Times the server's buffer overran (sound lost) since the start.
    int64_t overflows = 0;
    /// Reads that found sound older than 100 ms (the capture was held up)
    /// since the start; one per held-up stretch.
    int64_t stalls = 0;
};

/// Result codes of the exports.
enum VoxtapResult : int {
    VOXTAP_OK = 0,
    VOXTAP_E_GENERIC = 1,            ///< no engine, missing argument, not initialised, allocation failed
    VOXTAP_E_THREAD = 2,             ///< the capture thread could not be created
    VOXTAP_E_STARTED = 3,            ///< capture already started
    VOXTAP_E_ENUMERATOR = 0x1000001, ///< no connection to the sound server
    VOXTAP_E_ENDPOINT = 0x1000002,   ///< unknown endpoint id, or no default endpoint
    VOXTAP_E_ACTIVATE = 0x1000003,   ///< the capture stream could not be created
    VOXTAP_E_MIXFORMAT = 0x1000004,  ///< the endpoint's format could not be read
    VOXTAP_E_CLIENTINIT = 0x1000005, ///< the capture stream could not be connected
    VOXTAP_E_EVENT = 0x1000006,      ///< the data notification could not be attached
    VOXTAP_E_CLIENTSTART = 0x1000007,///< the capture stream did not start
    VOXTAP_E_CAPTURESVC = 0x1000009, ///< the capture thread could not reach the stream
    VOXTAP_E_PACKETSIZE = 0x100000a, ///< the stream's readable size could not be read
    VOXTAP_E_GETBUFFER = 0x100000b,  ///< reading from the stream failed (endpoint gone)
    VOXTAP_E_RELEASEBUFFER = 0x100000c, ///< releasing read data failed
    VOXTAP_E_VOLUME = 0x100000d,     ///< the endpoint volume could not be read
    VOXTAP_E_VOLUMEREG = 0x1000010,  ///< the volume watch could not be registered
    VOXTAP_E_VOLUMEUNREG = 0x1000011,///< the volume watch could not be unregistered
    VOXTAP_E_NOTIFYREG = 0x1000016,  ///< the endpoint watch could not be registered
    VOXTAP_E_FLOWMISSING = 0x1000019,
    VOXTAP_E_FLOWREAD = 0x100001a,
    VOXTAP_E_PERIOD = 0x100001b,
    VOXTAP_E_NOENCODER = 0x2000001,  ///< no encoder for the codec id
    VOXTAP_E_FORMAT = 0x2000002,     ///< encoder refuses planar float, or unsupported capture format
    VOXTAP_E_ENCOPEN = 0x2000003,    ///< the encoder could not be opened
    VOXTAP_E_SWRALLOC = 0x2000004,   ///< the resampler could not be allocated
    VOXTAP_E_SWRINIT = 0x2000005,    ///< the resampler could not be initialised
    VOXTAP_E_FRAMEALLOC = 0x2000006, ///< the encoder frame could not be allocated
    VOXTAP_E_FRAMEBUF = 0x2000007,   ///< the encoder frame buffer could not be allocated
};

/// Receiver of the library's output, implemented by the host and
/// registered with Voxtap_SetDataCbk (not owned by the library).
class VoxtapNotify {
public:
    virtual ~VoxtapNotify() = default;
    /// The endpoint in use changed state (VoxtapDeviceState): removed (4)
    /// or unplugged (8). Called on the library's sound-server thread.
    virtual void onDeviceState(const char *deviceId, int state) = 0;
    /// One raw AAC access unit (no ADTS header; the encoder's
    /// AudioSpecificConfig is the global header). The bytes belong to the
    /// library and are valid only during the call. Called on the library's
    /// capture thread; never after Voxtap_Stop has returned.
    virtual void onAudioData(const unsigned char *data, int length) = 0;
};

extern "C" {

/// Initialises the engine on the endpoint with this id (a source, or a
/// sink captured through its monitor). params may be null. 0 on success or
/// when already initialised (the first endpoint is kept); 1 for a null id;
/// else a VoxtapResult code, and the engine stays uninitialised.
VOXTAP_API int Voxtap_InitWithId(const char *endpointId, const VoxtapAudioParams *params);
/// Initialises the engine on the default source (useCapture non-zero) or
/// the default sink in loopback (0). Results as Voxtap_InitWithId.
VOXTAP_API int Voxtap_Init(int useCapture, const VoxtapAudioParams *params);
/// Starts capture: 1 without engine, 3 when started (also after the
/// capture thread ended on a failure, until Voxtap_Stop), 0x1000007 when
/// the stream does not start.
VOXTAP_API int Voxtap_Start();
/// Non-zero pauses (the library stops reading; the server's one-second
/// buffer overruns and old sound is lost), 0 resumes. 1 without engine.
VOXTAP_API int Voxtap_Pause(int pause);
/// Stops capture and waits for the capture thread; no onAudioData call is
/// in progress or follows once it returns. 1 without engine, else 0.
VOXTAP_API int Voxtap_Stop();
/// Registers the receiver (null unregisters). Ignored without engine.
VOXTAP_API void Voxtap_SetDataCbk(VoxtapNotify *receiver);
/// Empties the list, then appends the present endpoints of the flow
/// (VoxtapDataFlow; any value other than 0 or 1 lists both, render
/// first). 0, or the failure code at which listing stopped (the records
/// appended so far stay). Takes no library mutex and needs no engine.
VOXTAP_API int Voxtap_ListDevices(std::list<VoxtapDeviceInfo> *devices, int flow);
/// Fills timing with what the engine knows of the access unit now being
/// delivered (see VoxtapCaptureTiming). Meant to be called from inside
/// onAudioData, on the capture thread: it takes no library mutex. 0, or 1
/// without engine or argument.
VOXTAP_API int Voxtap_GetCaptureTiming(VoxtapCaptureTiming *timing);
/// Stops and destroys the engine. 0 without engine (also a second call).
VOXTAP_API int Voxtap_UnInit();

}
