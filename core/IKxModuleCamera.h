#pragma once
// Contract of the camera module: capture, preview, snapshots and H.264
// encoding of one recording. Operations run on the commander's thread
// (preStart on a thread-pool worker); callbacks arrive on the module's own
// threads and must neither block nor call back into the module.

#include <QColor>

#include <cstdint>

class IKxMediaTime;
class IKxModulePoolMgr;

class IKxModuleCamera {
public:
    class ICallBack {
    public:
        virtual ~ICallBack() = default;
        /// A failure; code DEVICE_FAILURE (-405) means the camera stopped working.
        virtual void error(int code, const char *description) = 0;
        virtual void stopped() = 0;
        /// Frames taken in by the intake, and the sequence number of the
        /// last encoded frame.
        virtual void statistics(int intake, int encoded) = 0;
    };

    virtual ~IKxModuleCamera() = default;
    /// Creates the capture object, frame intake and encoder; ALREADY when done before.
    virtual int init() = 0;
    /// Starts preview, capture and encoding; frames are stamped against clock.
    virtual int start(IKxMediaTime *clock) = 0;
    virtual int stop() = 0;
    /// Tears everything down and deletes the module.
    virtual int destory() = 0;
    /// NOT_INITED before init; key 1 sets the encoder bit rate in kbit/s.
    virtual int config(int key, int value) = 0;
    /// OPERATION_NOT_ALLOW while running.
    virtual int setPoolModule(IKxModulePoolMgr *pool) = 0;
    virtual IKxModulePoolMgr *getPoolModule() = 0;
    /// OPERATION_NOT_ALLOW while running. The callback is not owned.
    virtual int registerCallback(ICallBack *callback) = 0;
    /// Preview target (a native window id) and background colour, kept as
    /// 0x00BBGGRR; OPERATION_NOT_ALLOW while running.
    virtual int setCameraScreen(int32_t window, QColor background) = 0;
    /// The camera name pattern used by the device search.
    virtual int setCameraName(const wchar_t *name) = 0;
    /// Whether a capture device matches name (null or empty: the configured
    /// pattern, or the default name).
    virtual bool isCameraExist(const wchar_t *name) = 0;
    /// Opens the capture device ahead of recording; ALREADY if open,
    /// DEVICE_FAILURE if opening fails.
    virtual int preStart() = 0;
    /// Requests one snapshot, served by the next captured frame;
    /// NOT_INITED before init, OPERATION_NOT_ALLOW unless running.
    virtual int clipImage() = 0;

    /// Creates the camera module; the caller owns it until destory().
    static IKxModuleCamera *createInstance();
};
