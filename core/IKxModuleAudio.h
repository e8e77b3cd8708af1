#pragma once
// Contract of the audio module: picks the microphone by a name pattern and
// turns the audio library's AAC output into audio packets. Operations run on
// the commander's thread; callbacks arrive on the audio library's threads.

class IKxMediaTime;
class IKxModulePoolMgr;

/// Optional audio parameters of IKxModuleAudio::init.
struct KxAudioParams {
    int bitRate = 64000;     ///< bit/s
    int channels = 2;
    int sampleRate = 44100;  ///< Hz
};

class IKxModuleAudio {
public:
    class ICallBack {
    public:
        virtual ~ICallBack() = default;
        virtual void started() = 0;
        virtual void stopped() = 0;
        /// A state change of the endpoint in use, forwarded from the library.
        virtual void deviceState(const char *endpointId, int state) = 0;
    };

    virtual ~IKxModuleAudio() = default;
    /// pattern: a regular expression matched against the capture endpoints'
    /// friendly names, in the local 8-bit encoding. params null: defaults.
    /// -1 for a null or empty pattern, -2 when nothing matches, else the
    /// library's result.
    virtual int init(const char *pattern, const KxAudioParams *params = nullptr) = 0;
    virtual int setPoolModule(IKxModulePoolMgr *pool) = 0;
    virtual int registerCallback(ICallBack *callback) = 0;
    virtual int start(IKxMediaTime *clock) = 0;
    virtual int pause() = 0;
    virtual int resume() = 0;
    virtual int stop() = 0;
    /// Releases the audio library; the object stays and is deleted by its owner.
    virtual int destory() = 0;
    /// Opens the microphone ahead of a start (during the countdown), so that
    /// the start only has to start it; a start without it opens it itself.
    virtual int prepare() { return 0; }
    /// Closes what prepare opened when no recording follows; stop closes it
    /// after a recording. The idle program holds no sound-server stream.
    virtual int release() { return 0; }

    static IKxModuleAudio *createInstance();
};
