#include "KxHttpProbe.h"

#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#include <memory>

namespace {

// Waits in short steps so that a cancel request is seen promptly.
template <class WaitFn>
bool waitStep(const QDeadlineTimer &deadline, const std::atomic<bool> *cancel, WaitFn wait)
{
    while (!deadline.hasExpired()) {
        if (cancel && cancel->load())
            return false;
        const int step = int(qBound<qint64>(1, deadline.remainingTime(), 100));
        if (wait(step))
            return true;
    }
    return false;
}

}  // namespace

bool kxProbeHttp(const KxNetrelayConfig &cfg, int timeoutMs, const std::atomic<bool> *cancel)
{
    const QUrl &url = cfg.serverUrl;
    if (!url.isValid() || url.host().isEmpty() || timeoutMs <= 0)
        return false;
    const bool tls = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    const quint16 port = quint16(url.port(tls ? 443 : 80));
    QDeadlineTimer deadline(timeoutMs);

    // Plain http through an HTTP proxy is asked of the proxy itself, in
    // absolute form, as the access manager does; https tunnels through it.
    const QNetworkProxy proxy = cfg.proxyFor(url);
    const bool viaProxy = !tls && proxy.type() == QNetworkProxy::HttpProxy;
    std::unique_ptr<QTcpSocket> socket;
    if (tls) {
        auto ssl = std::make_unique<QSslSocket>();
        ssl->setProxy(proxy);
        ssl->setSslConfiguration(cfg.sslConfiguration());
        ssl->connectToHostEncrypted(url.host(), port);
        socket = std::move(ssl);
    } else {
        socket = std::make_unique<QTcpSocket>();
        socket->setProxy(viaProxy ? QNetworkProxy(QNetworkProxy::NoProxy) : proxy);
        if (viaProxy)
            socket->connectToHost(proxy.hostName(), proxy.port());
        else
            socket->connectToHost(url.host(), port);
    }
    QTcpSocket *s = socket.get();
    if (!waitStep(deadline, cancel, [s](int ms) {
            return s->waitForConnected(ms) || s->state() == QAbstractSocket::UnconnectedState;
        }) ||
        s->state() != QAbstractSocket::ConnectedState)
        return false;
    if (tls) {
        auto *ssl = static_cast<QSslSocket *>(s);
        if (!waitStep(deadline, cancel, [ssl](int ms) {
                return ssl->waitForEncrypted(ms) || ssl->state() != QAbstractSocket::ConnectedState;
            }) ||
            !ssl->isEncrypted())
            return false;
    }
    QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    if (path.isEmpty())
        path = "/";
    QByteArray proxyAuth;
    if (viaProxy) {
        QUrl target = url.adjusted(QUrl::RemoveUserInfo);
        target.setPath(QString::fromLatin1(path));
        path = target.toEncoded();
        if (!proxy.user().isEmpty())
            proxyAuth = "Proxy-Authorization: Basic " + (proxy.user() + QLatin1Char(':') + proxy.password()).toUtf8().toBase64() + "\r\n";
    }
    const QByteArray hostHeader = url.host(QUrl::FullyEncoded).toLatin1() +
                                  (url.port() > 0 ? ":" + QByteArray::number(url.port()) : QByteArray());
    s->write("HEAD " + path + " HTTP/1.1\r\nHost: " + hostHeader + "\r\n" + proxyAuth + "Connection: close\r\n\r\n");
    QByteArray answer;
    waitStep(deadline, cancel, [s, &answer](int ms) {
        if (s->bytesToWrite() > 0)
            s->waitForBytesWritten(ms);
        else
            s->waitForReadyRead(ms);
        answer += s->readAll();
        return answer.size() >= 5 || s->state() != QAbstractSocket::ConnectedState;
    });
    answer += s->readAll();
    s->abort();
    return answer.startsWith("HTTP/");
}
