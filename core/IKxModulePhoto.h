#pragma once
// Contract of the photo module: saves snapshot packets as numbered .jpg
// files and hands them to the cloud module. saveMediaPacket runs on the
// pool's photo thread, everything else on the main thread.

#include <QString>
#include <QtPlugin>

class IKxMediaPacket;
class IKxModuleClound;

class IKxModulePhoto {
public:
    class ICallBack {
    public:
        virtual ~ICallBack() = default;
        virtual void onStoped() = 0;
        virtual void error(int type, const char *message) = 0;
    };

    virtual ~IKxModulePhoto() = default;
    virtual int init() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    /// Forgets the cloud module.
    virtual int destory() = 0;
    /// Folder of this recording's snapshots and their name prefix.
    virtual int config(const QString &folder, const QString &namePrefix) = 0;
    virtual int registerCallback(ICallBack *callback) = 0;
    /// Saves one photo packet: 0, or -1 for a packet that is not a photo.
    /// The packet stays the caller's.
    virtual int saveMediaPacket(IKxMediaPacket *packet) = 0;
    virtual void setCloundModule(IKxModuleClound *cloud) = 0;

    static IKxModulePhoto *createInstance();
};

#define IKxModulePhoto_iid "com.vantri.pelclass.IKxModulePhoto/1.0"
Q_DECLARE_INTERFACE(IKxModulePhoto, IKxModulePhoto_iid)
