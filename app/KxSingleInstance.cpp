#include "KxSingleInstance.h"

#include "KxPrivateFolder.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <QtEndian>

namespace {
// A message travels as a 4-byte big-endian length and that many bytes of
// UTF-8; the receiver answers with one receipt byte.
constexpr int HeaderBytes = 4;
constexpr char Receipt = '\x06';
// Between the lock and the listen of a starting first instance a connection
// is refused; the sender tries again after this pause.
constexpr int RetryPauseMs = 50;
}  // namespace

KxSingleInstance::KxSingleInstance(const QString &id, QObject *parent)
    : QObject(parent)
{
    const QString folder = privateRuntimeFolder();
    if (folder.isEmpty()) {
        qWarning() << "KxSingleInstance::KxSingleInstance" << "no private folder, running without the single-instance check";
        return;
    }
    m_serverPath = folder + QLatin1Char('/') + id + QStringLiteral(".sock");
    const QString lockPath = folder + QLatin1Char('/') + id + QStringLiteral(".lock");
    m_lock = std::make_unique<QLockFile>(lockPath);
    // Only a lock whose process is gone is stale, however old it is.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        listen();
        return;
    }
    if (m_lock->error() == QLockFile::LockFailedError) {
        m_running = true;
        qint64 pid = 0;
        QString host, app;
        m_lock->getLockInfo(&pid, &host, &app);
        qDebug() << "KxSingleInstance::KxSingleInstance" << id << "already runs as process" << pid;
        return;
    }
    qWarning() << "KxSingleInstance::KxSingleInstance" << "cannot create the lock file" << lockPath
               << "error" << m_lock->error() << "- running without the single-instance check";
}

KxSingleInstance::~KxSingleInstance()
{
    if (m_server)
        m_server->close();  // removes the socket file while the lock is still held
}

QString KxSingleInstance::privateRuntimeFolder()
{
    QString why;
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty()) {
        if (kxIsPrivateFolder(runtime, &why))
            return runtime;
        qWarning() << "KxSingleInstance::privateRuntimeFolder" << "not using XDG_RUNTIME_DIR" << runtime << why;
    }
    const QString own = QDir::tempPath() + QLatin1Char('/') + kxPerUserName(QStringLiteral("kx-runtime"));
    if (kxEnsurePrivateFolder(own, &why))
        return own;
    qWarning() << "KxSingleInstance::privateRuntimeFolder" << "refusing" << own << why;
    return QString();
}

void KxSingleInstance::listen()
{
    // We hold the lock, so a socket file left here belongs to a process that
    // died without closing it.
    QLocalServer::removeServer(m_serverPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_serverPath)) {
        qWarning() << "KxSingleInstance::listen" << m_serverPath << m_server->errorString()
                   << "- later instances cannot reach this one";
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &KxSingleInstance::onNewConnection);
}

void KxSingleInstance::onNewConnection()
{
    while (QLocalSocket *peer = m_server->nextPendingConnection()) {
        connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        if (!kxPeerIsSameUser(peer->socketDescriptor())) {
            qWarning() << "KxSingleInstance::onNewConnection" << "refusing a peer of another user";
            peer->abort();
            peer->deleteLater();
            continue;
        }
        // A peer that never finishes its message is dropped rather than kept.
        QTimer::singleShot(PeerTimeoutMs, peer, [peer] { peer->abort(); peer->deleteLater(); });
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { onPeerReadyRead(peer); });
        if (peer->bytesAvailable() > 0)
            onPeerReadyRead(peer);
    }
}

void KxSingleInstance::onPeerReadyRead(QLocalSocket *peer)
{
    if (peer->bytesAvailable() < HeaderBytes)
        return;
    char header[HeaderBytes];
    peer->peek(header, HeaderBytes);
    const quint32 size = qFromBigEndian<quint32>(header);
    if (size > quint32(MaxMessageBytes)) {
        qWarning() << "KxSingleInstance::onPeerReadyRead" << "refusing a message of" << size << "bytes";
        peer->abort();
        peer->deleteLater();
        return;
    }
    if (peer->bytesAvailable() < HeaderBytes + qint64(size))
        return;
    peer->skip(HeaderBytes);
    const QString text = QString::fromUtf8(peer->read(size));
    disconnect(peer, &QLocalSocket::readyRead, this, nullptr);
    peer->write(&Receipt, 1);
    peer->flush();
    peer->disconnectFromServer();
    emit messageReceived(text);
}

bool KxSingleInstance::sendMessage(const QString &text, int timeoutMs)
{
    if (!m_running)
        return false;
    const QByteArray body = text.toUtf8();
    if (body.size() > MaxMessageBytes) {
        qWarning() << "KxSingleInstance::sendMessage" << "message too long:" << body.size() << "bytes";
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    auto remaining = [&] { return int(qMax<qint64>(0, timeoutMs - clock.elapsed())); };

    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(m_serverPath);
        if (socket.waitForConnected(remaining()))
            break;
        if (remaining() <= RetryPauseMs) {
            qWarning() << "KxSingleInstance::sendMessage" << "cannot connect to" << m_serverPath << socket.errorString();
            return false;
        }
        socket.abort();
        QThread::msleep(RetryPauseMs);
    }
    char header[HeaderBytes];
    qToBigEndian<quint32>(quint32(body.size()), header);
    socket.write(header, HeaderBytes);
    socket.write(body);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remaining()))
            break;
    }
    while (socket.bytesAvailable() < 1 && remaining() > 0) {
        if (!socket.waitForReadyRead(remaining()))
            break;
    }
    char answer = 0;
    const bool delivered = socket.read(&answer, 1) == 1 && answer == Receipt;
    if (!delivered)
        qWarning() << "KxSingleInstance::sendMessage" << "no receipt within" << timeoutMs << "ms";
    socket.abort();
    return delivered;
}
