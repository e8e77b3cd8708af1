#pragma once
// Contract of the packet pool manager: lends preallocated packets to the
// producers and feeds them to the consumers on its own two threads.

class IKxMediaPacket;
class IKxModulePhoto;
class IKxModuleLocalFile;

class IKxModulePoolMgr {
public:
    class ICallBack {
    public:
        virtual ~ICallBack() = default;
    };

    virtual ~IKxModulePoolMgr() = default;
    /// Creates the queues and all packets; ALREADY when done before.
    virtual int init() = 0;
    /// Starts the output and photo threads; NOT_INITED before init,
    /// ALREADY while started.
    virtual int start() = 0;
    /// Stops and joins the threads; NOT_INITED unless initialised and started.
    virtual int stop() = 0;
    /// Delivers every packet pushed so far to its consumer, waiting at most
    /// timeoutMs, then stops as stop() does. Used at the end of a recording,
    /// after the producers have stopped, so that their last packets reach the
    /// files. OK when everything was delivered; OPERATION_FAILURE when the
    /// time ran out (what was left is kept out of the next recording);
    /// NOT_INITED unless initialised and started.
    virtual int stopAfterDrain(int timeoutMs) = 0;
    /// Frees every packet and deletes the manager (stopping it first when
    /// it runs); NOT_INITED before init (the manager then stays).
    virtual int destory() = 0;
    /// Not supported: -1.
    virtual int config(int key, int value) = 0;
    /// Consumer of photo packets (not owned); OK.
    virtual int setPhotoModule(IKxModulePhoto *photo) = 0;
    /// Consumer of audio and video packets (not owned); OK.
    virtual int setLocalFileModule(IKxModuleLocalFile *localFile) = 0;
    /// Not supported: -1.
    virtual int registerCallback(ICallBack *callback) = 0;

    /// Borrow an empty packet, waiting at most timeoutMs (-1: no limit).
    /// Null when none is free in time, when stopped, or before init. The
    /// borrower owns the packet until it pushes it.
    virtual IKxMediaPacket *getAudioPacket(int timeoutMs) = 0;
    virtual IKxMediaPacket *getVideoPacket(int timeoutMs) = 0;
    virtual IKxMediaPacket *getPhotoPacket(int timeoutMs) = 0;

    /// Hand a filled packet on. 0 on success (the pool owns it again);
    /// otherwise the packet stays with the caller: -1 before init,
    /// INVALID_POINTER for null, INVALID_PARAMETER for a packet of the
    /// wrong type or one the queue cannot take.
    virtual int pushAudioPacket(IKxMediaPacket *packet) = 0;
    virtual int pushVideoPacket(IKxMediaPacket *packet) = 0;
    virtual int pushPhotoPacket(IKxMediaPacket *packet) = 0;

    static IKxModulePoolMgr *createInstance();
};
