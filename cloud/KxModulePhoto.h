#pragma once
// Photo module: writes every snapshot packet unchanged into a numbered .jpg
// file of the current recording's folder and hands the file to the cloud
// module.
//
// Threads: saveMediaPacket runs on the packet pool's photo thread, one packet
// at a time; config, start, stop, registerCallback, setCloundModule and
// destory run on the main thread while no photo packets flow. The module
// takes no lock: while packets flow only the photo thread touches the
// counter.

#include "IKxModulePhoto.h"

#include <QObject>
#include <QString>

class IKxModuleClound;

class KxModulePhoto : public QObject, public IKxModulePhoto {
    Q_OBJECT
    Q_INTERFACES(IKxModulePhoto)
public:
    explicit KxModulePhoto(QObject *parent = nullptr);
    ~KxModulePhoto() override;

    /// Logs only; returns 0.
    int init() override;
    /// Logs only; returns 0.
    int start() override;
    /// Logs only; returns 0. The callback's onStoped is not called.
    int stop() override;
    /// Forgets the cloud module: later snapshots are saved but not handed on.
    int destory() override;
    /// Folder and file-name prefix of this recording's snapshots; numbering
    /// starts again at 1. Returns 0.
    int config(const QString &folder, const QString &namePrefix) override;
    /// Stores the callback (not owned, may be null). Returns 0.
    int registerCallback(ICallBack *callback) override;
    /// Saves one photo packet as "<folder>/<prefix><n>.jpg" and offers it to
    /// the cloud module. A short write or a failed close removes the file,
    /// reports error 3 "WriteError" and offers nothing. Returns 0, or -1 (error 0 "PacketTypeError"
    /// reported, nothing written) for a null or non-photo packet. The packet
    /// stays the caller's.
    int saveMediaPacket(IKxMediaPacket *packet) override;
    /// Receiver of saved snapshots (not owned, may be null).
    void setCloundModule(IKxModuleClound *cloud) override;

    /// Number the next snapshot file will carry (for diagnostics and tests).
    int nextNumber() const { return m_iCounter; }

private:
    void saveFile(const uint8_t *data, int size);
    void reportError(int type, const char *message);

    QString m_strFolder;
    QString m_strPrefix;
    ICallBack *m_pCallback = nullptr;
    IKxModuleClound *m_pCloud = nullptr;
    int m_iCounter = 1;
};
