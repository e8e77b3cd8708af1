#pragma once
// One running program per user: the first process with a given id takes a
// lock file and listens on a local socket; later ones find the lock taken,
// hand their message to the first over the socket and leave.
//
// Both files live in a folder only this user can enter: $XDG_RUNTIME_DIR
// when it is such a folder, else a private folder of the system temporary
// folder (see KxPrivateFolder.h). Connections from other users are refused
// as well. A lock or socket left by a process that crashed does not count:
// the lock names a process that no longer runs and is taken over, and the
// dead socket is replaced.
//
// Threads: create, query and send on one thread (the main thread in the
// program). messageReceived is emitted on the object's thread from its event
// loop.

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLocalSocket;

class KxSingleInstance : public QObject {
    Q_OBJECT
public:
    /// Checks for another instance with this id and, when there is none,
    /// starts listening for messages. Logs and runs without the check when
    /// no private folder can be had.
    explicit KxSingleInstance(const QString &id, QObject *parent = nullptr);
    ~KxSingleInstance() override;

    /// True when another process of this user holds the id.
    bool isRunning() const { return m_running; }

    /// Hands text to the running instance and waits for its receipt, for at
    /// most timeoutMs in all (blocking the calling thread). True when the
    /// receipt came; false when no instance runs or it did not answer in
    /// time.
    bool sendMessage(const QString &text, int timeoutMs);

    /// The socket's path; empty when there is no private folder.
    QString serverPath() const { return m_serverPath; }

    /// Bytes a message may have; longer ones are refused.
    static constexpr int MaxMessageBytes = 64 * 1024;
    /// How long a connected peer may take to send its message.
    static constexpr int PeerTimeoutMs = 5000;

signals:
    /// A later instance sent text.
    void messageReceived(const QString &text);

private:
    static QString privateRuntimeFolder();
    void listen();
    void onNewConnection();
    void onPeerReadyRead(QLocalSocket *peer);

    QString m_serverPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    bool m_running = false;
};
